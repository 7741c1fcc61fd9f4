#include "app/language.h"

#include "app/scrambled_text.h"
#include "app/settings.h"
#include "tests/app/fakes.h"
#include "tests/app/language_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vostrale::app::test {
namespace {

LngContents German() {
    LngContents c;
    c.name = L"Deutsch";
    c.langId = 0x0407;
    c.messages.assign(24, L"");
    c.messages[kMsgUnmount] = L"Auswerfen";
    c.messages[kMsgDriveImage] = L"%2 in Laufwerk %1";
    c.messages[kMsgOpenError] = L"%1: %2 %3";   // asks for an insert the program never gives
    c.messages[kMsgDriveEmpty] = L"Laufwerk %1"; // fewer inserts are fine
    c.sections = {
        {50, 7, {L"Fenster 50"}},
        {kDialogAbout, 1, {L"", L"OK-Knopf", L"", L"Link", L"", L"", L"", L"", L"", L"", L"", L"",
                           L"Zwoelf"}},
        {kDialogProgress, 0, {L"Fortschritt", L"", L"", L"Indiziere %1 %2", L"%1%% fertig"}},
    };
    return c;
}

std::wstring Wide(const std::filesystem::path& path) {
    return path.wstring() + L"/";
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(Language, BuiltInTextsUntilAFileIsLoaded) {
    LanguageTable table;
    EXPECT_EQ(table.LangId(), 0);
    EXPECT_EQ(table.Message(kMsgUnmount), FindBuiltinMessage(kMsgUnmount)->text);
    wchar_t buffer[16] = L"caller's";
    table.CopyMessage(kMsgUnmount, buffer, 16);
    EXPECT_STREQ(buffer, L"caller's");
    EXPECT_EQ(table.DialogCaption(kDialogAbout), L"");
}

TEST(Language, MessagesAndSectionsOfAFile) {
    std::vector<uint8_t> bytes = WriteLng(German());
    LanguageTable table;
    ASSERT_TRUE(table.LoadBytes(bytes.data(), bytes.size()));
    EXPECT_EQ(table.LangId(), 0x0407);
    EXPECT_EQ(table.Message(kMsgUnmount), L"Auswerfen");
    // An empty slot keeps the built-in text.
    EXPECT_EQ(table.Message(kMsgExit), FindBuiltinMessage(kMsgExit)->text);
    // Inserts may change order; one the built-in text lacks makes the translation unusable.
    EXPECT_EQ(table.Format(kMsgDriveImage, {L"E", L"C:\\a.iso"}), L"C:\\a.iso in Laufwerk E");
    EXPECT_EQ(table.Message(kMsgOpenError), FindBuiltinMessage(kMsgOpenError)->text);
    EXPECT_EQ(table.Format(kMsgDriveEmpty, {L"F"}), L"Laufwerk F");

    // The buffer gets at most size - 1 characters and a terminator.
    wchar_t buffer[5];
    table.CopyMessage(kMsgUnmount, buffer, 5);
    EXPECT_STREQ(buffer, L"Ausw");

    EXPECT_EQ(table.DialogCaption(50), L"Fenster 50");
    EXPECT_EQ(table.DialogCaption(kDialogAbout), L""); // empty caption: the template's stays
    EXPECT_EQ(table.ControlText(kDialogAbout, 1), L"OK-Knopf");
    EXPECT_EQ(table.ControlText(kDialogAbout, 12), L"Zwoelf");
    EXPECT_EQ(table.ControlText(kDialogAbout, 13), L""); // past the section's strings
    EXPECT_EQ(table.ControlText(kDialogMountFailure, 1), L""); // no such section
    // A control text used as a pattern is checked against the template's text.
    std::wstring subject = L"Indexing %1";
    EXPECT_EQ(table.ControlText(kDialogProgress, 3, &subject), L"");
    std::wstring done = L"%1%% done, %2 s";
    EXPECT_EQ(table.ControlText(kDialogProgress, 4, &done), L"%1%% fertig");

    std::wstring caption;
    ASSERT_TRUE(table.CaptionByPosition(0, &caption));
    EXPECT_EQ(caption, L"Fenster 50");
    EXPECT_FALSE(table.CaptionByPosition(3, &caption));

    table.Unload();
    EXPECT_EQ(table.Message(kMsgUnmount), FindBuiltinMessage(kMsgUnmount)->text);
}

constexpr size_t kAnyCount = ~size_t(0);

TEST(Language, HostileFiles) {
    std::vector<uint8_t> good = WriteLng(German());
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool loads;
        size_t messages;
        size_t sections;
    };
    std::vector<Case> cases;
    cases.push_back({"Whole", good, true, 24, 3});
    cases.push_back({"Empty", {}, false, 0, 0});
    cases.push_back({"HeaderOnly", std::vector<uint8_t>(good.begin(), good.begin() + 103), false,
                     0, 0});
    std::vector<uint8_t> magic = good;
    magic[3] = '1';
    cases.push_back({"WrongMagic", magic, false, 0, 0});
    // Cut in the middle of the message table: the complete strings stay, no section follows.
    cases.push_back({"CutInMessages", std::vector<uint8_t>(good.begin(), good.begin() + 120), true,
                     1, 0});
    // An odd size: the stray byte is no character.
    std::vector<uint8_t> odd = good;
    odd.push_back(0x41);
    cases.push_back({"OddSize", odd, true, 24, 3});
    // The last string without its terminator.
    std::vector<uint8_t> open = good;
    open.resize(open.size() - 8); // drop the end marker
    open.resize(open.size() - 2); // and the last terminator
    cases.push_back({"NoTerminator", open, true, 24, 3});
    // Counts far beyond the file: every string up to the file's end is taken as a message.
    std::vector<uint8_t> counts = good;
    PutLe16(&counts, 102, 0xFFFF);
    cases.push_back({"HugeMessageCount", counts, true, kAnyCount, 0});
    std::vector<uint8_t> sections = good;
    PutLe16(&sections, 88, 0xFFFF);
    sections.resize(sections.size() - 8);
    cases.push_back({"HugeSectionCount", sections, true, 24, 3});
    // No message table: the sections start right after the header.
    LngContents noTable = German();
    noTable.hasMessages = false;
    cases.push_back({"NoMessageTable", WriteLng(noTable), true, 0, 3});
    // Too large a file.
    std::vector<uint8_t> large = good;
    large.resize(kMaxLanguageFileBytes + 2, 0);
    cases.push_back({"TooLarge", large, false, 0, 0});

    for (const Case& c : cases) {
        LanguageFile file;
        bool loads = ParseLanguageFile(c.bytes.data(), c.bytes.size(), &file);
        EXPECT_EQ(loads, c.loads) << c.name;
        if (!loads)
            continue;
        if (c.messages == kAnyCount)
            EXPECT_LE(file.messages.size(), c.bytes.size() / 2) << c.name;
        else
            EXPECT_EQ(file.messages.size(), c.messages) << c.name;
        EXPECT_EQ(file.sections.size(), c.sections) << c.name;
    }

    // The name is bounded by its 32 characters even when the file never ends it.
    std::vector<uint8_t> name = good;
    for (size_t at = 8; at < 72; at += 2)
        PutLe16(&name, at, 'x');
    uint16_t langId = 0;
    std::wstring display;
    ASSERT_TRUE(ReadLanguageHeader(name.data(), name.size(), &langId, &display));
    EXPECT_EQ(display, std::wstring(32, L'x'));
    EXPECT_EQ(langId, 0x0407);
}

// The program stores its built-in messages scrambled; unscrambled they are exactly the texts
// written in the source, in the same order, each found by its number.
TEST(Language, BuiltinTableUnscramblesToTheSourceTexts) {
#define VOSTRALE_MESSAGE(id, kind, text) {id, TextKind::kind, text},
    const BuiltinText intended[] = {
#include "app/builtin_messages.inc"
    };
#undef VOSTRALE_MESSAGE
    std::span<const BuiltinText> table = BuiltinMessages();
    ASSERT_EQ(table.size(), std::size(intended));
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(intended[i].id);
        EXPECT_EQ(table[i].id, intended[i].id);
        EXPECT_EQ(table[i].kind, intended[i].kind);
        EXPECT_EQ(std::wstring(table[i].text), std::wstring(intended[i].text));
        EXPECT_EQ(FindBuiltinMessage(intended[i].id), &table[i]);
    }
    // The settings sheet's caption and column have texts of their own.
    for (uint32_t id : {kMsgSettingsCaption, kMsgExtensionColumn})
        EXPECT_NE(FindBuiltinMessage(id), nullptr) << id;
    EXPECT_EQ(FindBuiltinMessage(2), nullptr);
}

// Whether `needle` occurs in the object's bytes as UTF-16LE or as 8-bit text.
bool HoldsPlain(const void* object, size_t size, const std::wstring& needle) {
    const uint8_t* bytes = static_cast<const uint8_t*>(object);
    std::vector<uint8_t> wide, narrow;
    for (wchar_t c : needle) {
        wide.push_back(uint8_t(c & 0xFF));
        wide.push_back(uint8_t((c >> 8) & 0xFF));
        narrow.push_back(uint8_t(c & 0xFF));
    }
    auto holds = [&](const std::vector<uint8_t>& pattern) {
        return std::search(bytes, bytes + size, pattern.begin(), pattern.end()) != bytes + size;
    };
    return holds(wide) || holds(narrow);
}

TEST(ScrambledText, StoresNoPlainCopyAndGivesTheTextBack) {
    static constexpr ScrambledText sentence = L"Mount the recorded images again at start";
    EXPECT_EQ(sentence.Plain(), L"Mount the recorded images again at start");
    EXPECT_FALSE(HoldsPlain(&sentence, sizeof(sentence), L"recorded"));
    EXPECT_FALSE(HoldsPlain(&sentence, sizeof(sentence), L"images"));
    // Equal letters are stored differently at each position.
    static constexpr ScrambledText same = L"aaaaaaaa";
    EXPECT_EQ(same.Plain(), L"aaaaaaaa");
    EXPECT_FALSE(HoldsPlain(&same, sizeof(same), L"aa"));
    // Empty, full-length and non-ASCII texts come back whole.
    static constexpr ScrambledText empty = L"";
    EXPECT_EQ(empty.Plain(), L"");
    static constexpr auto kFull = [] {
        std::array<wchar_t, ScrambledText::kCapacity + 1> text{};
        for (size_t i = 0; i < ScrambledText::kCapacity; ++i)
            text[i] = wchar_t(L'a' + i % 26);
        return text;
    }();
    static constexpr ScrambledText full = kFull.data();
    EXPECT_EQ(full.Size(), ScrambledText::kCapacity);
    EXPECT_EQ(full.Plain(), std::wstring(kFull.data()));
    static constexpr ScrambledText umlauts = L"\u00dcber \u00c4rger, 100%% \u2192 \uffff";
    EXPECT_EQ(umlauts.Plain(), L"\u00dcber \u00c4rger, 100%% \u2192 \uffff");
}

TEST(Language, Inserts) {
    EXPECT_EQ(ExpandInserts(L"%1 and %2, 100%%", {L"a", L"b"}), L"a and b, 100%");
    // Inserts without an argument and other percent sequences stay as they are.
    EXPECT_EQ(ExpandInserts(L"%3 %!x! %", {L"a"}), L"%3 %!x! %");
    EXPECT_EQ(ExpandInserts(L"%1", {L"%2"}), L"%2"); // an argument is never expanded again
    EXPECT_TRUE(InsertsCompatible(L"%1 %2", L"%2 %1"));
    EXPECT_TRUE(InsertsCompatible(L"%1 %2", L"nothing"));
    EXPECT_FALSE(InsertsCompatible(L"%1", L"%1 %2"));
    EXPECT_TRUE(InsertsCompatible(L"100%%", L"%% %%"));
}

TEST(Language, ClassesCodesAndNames) {
    for (const wchar_t* name : {L"Button", L"STATIC", L"syslink"})
        EXPECT_TRUE(IsTranslatableClass(name));
    for (const wchar_t* name : {L"Edit", L"ComboBox", L"SysLinkXYZW", L"", L"Butto"})
        EXPECT_FALSE(IsTranslatableClass(name));
    EXPECT_EQ(PackLanguageCode(L"deu"), uint32_t('d' | 'e' << 8 | 'u' << 16));
    EXPECT_EQ(UnpackLanguageCode(PackLanguageCode(L"fra")), L"fra");
    EXPECT_TRUE(IsLanguageCode(L"Deu"));
    for (const wchar_t* code : {L"de", L"deut", L"d.u", L"..\\", L"d\u00e9u"})
        EXPECT_FALSE(IsLanguageCode(code));
    EXPECT_EQ(LanguageFileName(L"C:\\P\\Language\\", L"vostrale", L"deu"),
              L"C:\\P\\Language\\vostrale_deu.lng");
}

class LanguageFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder = m_harness.folder / "Language";
        std::filesystem::create_directories(m_folder);
    }
    void Add(const std::string& file, const std::wstring& name, uint16_t langId) {
        LngContents c = German();
        c.name = name;
        c.langId = langId;
        WriteFile(m_folder / file, WriteLng(c));
    }
    Harness m_harness;
    std::filesystem::path m_folder;
};

TEST_F(LanguageFolderTest, ListingChoosingAndStartUp) {
    Add("vostrale_deu.lng", L"Deutsch", 0x0407);
    Add("vostrale_fra.lng", L"Fran\u00e7ais", 0x040C);
    Add("vostrale_cym.lng", L"Cymraeg", 0x0452);
    Add("vostrale_xx.lng", L"Short code", 0x0409);
    Add("other_ita.lng", L"Italiano", 0x0410);
    WriteFile(m_folder / "vostrale_bad.lng", {'N', 'O', 'P', 'E'});
    std::filesystem::create_directories(m_folder / "vostrale_dir.lng");

    std::vector<LanguageChoice> list = ListLanguages(m_folder, kLanguagePrefix);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].displayName, L"Cymraeg");
    EXPECT_EQ(list[1].displayName, L"Deutsch");
    EXPECT_EQ(list[2].code, L"fra");

    FakeRegistry& registry = m_harness.registry;
    LanguageTable table;
    table.CreateIn(&registry, Wide(m_folder), kLanguagePrefix);
    EXPECT_EQ(table.LangId(), 0);
    ASSERT_TRUE(table.Choose(&registry, L"fra"));
    EXPECT_EQ(table.LangId(), 0x040C);
    std::wstring stored;
    ASSERT_TRUE(registry.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"fra");
    // A code that is no file, or no code at all, changes nothing stored.
    EXPECT_FALSE(table.Choose(&registry, L"ita"));
    EXPECT_FALSE(table.Choose(&registry, L"..\\x"));
    ASSERT_TRUE(registry.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"fra");

    // Start-up loads the stored choice; a stored value that is no code loads nothing.
    LanguageTable again;
    again.CreateIn(&registry, Wide(m_folder), kLanguagePrefix);
    EXPECT_EQ(again.LangId(), 0x040C);
    registry.SetString(kSettingsKey, kLanguageValue, L"../deu");
    LanguageTable refused;
    refused.CreateIn(&registry, Wide(m_folder), kLanguagePrefix);
    EXPECT_EQ(refused.LangId(), 0);
}

TEST_F(LanguageFolderTest, InstallTimeChoice) {
    Add("vostrale_deu.lng", L"Deutsch", 0x0407);
    Add("vostrale_dea.lng", L"Deutsch (AT)", 0x0407);
    Add("vostrale_fra.lng", L"Francais", 0x040C);
    FakeRegistry& registry = m_harness.registry;
    std::wstring stored;

    // The UI language comes first; of two files of one language the first by name wins.
    ASSERT_TRUE(ChooseInstallLanguage(&registry, Wide(m_folder), 0x0407, 0x040C));
    ASSERT_TRUE(registry.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"dea");
    // A stored choice is kept.
    EXPECT_FALSE(ChooseInstallLanguage(&registry, Wide(m_folder), 0x040C, 0x040C));
    ASSERT_TRUE(registry.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"dea");
    // Without a file of the UI language the default language is tried; with neither nothing.
    registry.values.clear();
    ASSERT_TRUE(ChooseInstallLanguage(&registry, Wide(m_folder), 0x0411, 0x040C));
    ASSERT_TRUE(registry.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"fra");
    registry.values.clear();
    EXPECT_FALSE(ChooseInstallLanguage(&registry, Wide(m_folder), 0x0411, 0x0412));
    EXPECT_FALSE(registry.Has(kSettingsKey, kLanguageValue));
}

} // namespace
} // namespace vostrale::app::test

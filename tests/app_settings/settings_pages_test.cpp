#include "app/settings_pages.h"

#include "app/text.h"
#include "tests/app/fakes.h"
#include "tests/app/language_writer.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

TEST(GeneralPage, StartsFromRunValueAndConfigAndAppliesBoth) {
    FakeRegistry r;
    FakeSystem system;
    Settings settings; // 0x160: remount off, 0x100 on
    GeneralPage page = LoadGeneralPage(&r, &system, settings);
    EXPECT_FALSE(page.runAtLogon);
    EXPECT_FALSE(page.remount);
    EXPECT_TRUE(page.generalOption);

    page.runAtLogon = true;
    page.remount = true;
    page.generalOption = false;
    ApplyGeneralPage(&r, &system, &settings, page);
    EXPECT_EQ(settings.config, 0x70u);
    uint32_t stored = 0;
    ASSERT_TRUE(ReadDwordValue(&r, RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, &stored));
    EXPECT_EQ(stored, 0x70u);
    EXPECT_TRUE(LoadGeneralPage(&r, &system, settings).runAtLogon);
    page.runAtLogon = false;
    ApplyGeneralPage(&r, &system, &settings, page);
    EXPECT_FALSE(r.Has(kRunKey, kRunValue));
}

TEST(AssociationPage, RowsStartFromWhatTheShellOpensAndOnlyDifferencesCount) {
    Settings settings;
    auto page = LoadAssociationPage(settings, [](const std::wstring& ext) {
        return ext == L".iso" || ext == L".cue";
    });
    ASSERT_EQ(page.rows.size(), 6u);
    EXPECT_TRUE(page.option); // 0x40 is in the default
    EXPECT_TRUE(page.rows[1].checked && page.rows[1].startChecked); // .cue
    EXPECT_TRUE(PendingChanges(page).empty());

    page.rows[2].checked = false; // .iso off
    page.rows[5].checked = true;  // .nrg on
    page.rows[0].checked = true;  // .ccd on ...
    page.rows[0].checked = false; // ... and off again: no change
    FakeRegistry r;
    page.option = false;
    auto changes = ApplyAssociationPage(&r, &settings, page);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].extension, L".iso");
    EXPECT_FALSE(changes[0].on);
    EXPECT_EQ(changes[1].extension, L".nrg");
    EXPECT_TRUE(changes[1].on);
    EXPECT_EQ(settings.config, 0x120u);
    EXPECT_EQ(FormatChangeFile(changes), ".iso=0\n.nrg=1\n");
    // Apply reaches the page again on OK: after the first the states are the starting ones.
    MarkApplied(&page);
    EXPECT_TRUE(ApplyAssociationPage(&r, &settings, page).empty());
}

TEST(AssociationPage, OnlyCheckBoxChangesCount) {
    const uint32_t unchecked = 0x1000, checked = 0x2000, selected = 0x0002, focused = 0x0001;
    struct Case {
        bool filling;
        uint32_t mask, oldState, newState;
        bool counts;
    } cases[] = {
        {false, 0x8, unchecked, checked, true},
        {false, 0x8, checked | selected, unchecked | selected, true},
        {false, 0x8, unchecked, unchecked | selected | focused, false}, // plain selection
        {true, 0x8, 0, checked, false},                                 // filling the list
        {false, 0x1, unchecked, checked, false},                        // not a state change
    };
    for (const Case& c : cases)
        EXPECT_EQ(RowChangeCounts(c.filling, c.mask, c.oldState, c.newState), c.counts)
            << c.oldState << " " << c.newState;
    EXPECT_TRUE(StateImageChecked(checked | selected));
    EXPECT_FALSE(StateImageChecked(unchecked));
    EXPECT_FALSE(StateImageChecked(0));
}

// Two language files in a folder of their own; message 8 tells which one is loaded.
struct LanguageFolder {
    LanguageFolder() {
        folder = std::filesystem::temp_directory_path() /
                 ("vostrale_lang_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(folder);
        Write(L"deu", L"Einstellungen");
        Write(L"fra", L"Paramètres");
    }
    ~LanguageFolder() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    void Write(const std::wstring& code, const std::wstring& settingsText) {
        LngContents c;
        c.messages.assign(9, L"");
        c.messages[8] = settingsText;
        std::vector<uint8_t> bytes = WriteLng(c);
        std::ofstream(folder / ("vostrale_" + std::string(code.begin(), code.end()) + ".lng"),
                      std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::wstring Prefix() const {
        std::wstring text = folder.wstring();
#ifdef _WIN32
        return text + L"\\";
#else
        return text + L"/";
#endif
    }
    std::filesystem::path folder;
};

TEST(LanguagePreview, PreviewCommitAndRevert) {
    LanguageFolder files;
    FakeRegistry r;
    r.SetString(kSettingsKey, kLanguageValue, L"deu");
    LanguageTable table;
    table.CreateIn(&r, files.Prefix(), kLanguagePrefix);
    ASSERT_EQ(table.Message(8), L"Einstellungen");
    LanguagePreview preview;
    preview.Begin(&r);
    EXPECT_EQ(preview.Stored(), L"deu");

    preview.Preview(&table, L"fra");
    EXPECT_TRUE(preview.Pending());
    EXPECT_EQ(table.Message(8), L"Paramètres"); // shown at once
    std::wstring stored;
    ASSERT_TRUE(r.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"deu"); // but not stored
    preview.Revert(&table);    // Cancel
    EXPECT_EQ(table.Message(8), L"Einstellungen");
    EXPECT_FALSE(preview.Pending());

    preview.Preview(&table, L"fra");
    preview.Commit(&table, &r); // Apply
    ASSERT_TRUE(r.GetString(kSettingsKey, kLanguageValue, &stored));
    EXPECT_EQ(stored, L"fra");
    preview.Revert(&table); // Cancel after Apply keeps what was applied
    EXPECT_EQ(table.Message(8), L"Paramètres");
    preview.Preview(&table, L"not a code");
    EXPECT_FALSE(preview.Pending());
}

} // namespace
} // namespace vostrale::app::test

#include "app/language.h"

#include "app/scrambled_text.h"
#include "app/settings.h"
#include "app/text.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>

namespace vostrale::app {

namespace {

// The built-in texts as stored in the program: scrambled (app/scrambled_text.h).
struct StoredText {
    uint32_t id;
    TextKind kind;
    ScrambledText text;
};

#define VOSTRALE_MESSAGE(id, kind, text) {id, TextKind::kind, text},
constexpr StoredText kStoredMessages[] = {
#include "app/builtin_messages.inc"
};
#undef VOSTRALE_MESSAGE

// The plain table, unscrambled once on first use; its texts live as long as the program.
struct PlainMessages {
    std::wstring texts[std::size(kStoredMessages)];
    BuiltinText table[std::size(kStoredMessages)];
    PlainMessages() {
        for (size_t i = 0; i < std::size(kStoredMessages); ++i) {
            texts[i] = kStoredMessages[i].text.Plain();
            table[i] = {kStoredMessages[i].id, kStoredMessages[i].kind, texts[i].c_str()};
        }
    }
};

const PlainMessages& PlainTable() {
    static const PlainMessages plain; // thread-safe initialisation
    return plain;
}

constexpr uint8_t kMagic[4] = {'M', 'U', 'I', '0'};
constexpr size_t kNameOffset = 8;
constexpr size_t kLangIdOffset = 72;
constexpr size_t kSectionCountOffset = 88;
constexpr size_t kTableMarkOffset = 97;
constexpr size_t kTableCountOffset = 102;
constexpr size_t kSectionHeaderBytes = 8;
constexpr size_t kProbeBytes = 96;

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

// One NUL-terminated UTF-16LE string at *at; false when the file ends before its terminator
// (an odd last byte is no character).
bool ReadString(const uint8_t* data, size_t size, size_t* at, std::wstring* out) {
    std::wstring text;
    for (size_t p = *at; p <= size && size - p >= 2; p += 2) {
        wchar_t c = wchar_t(Le16(data + p));
        if (c == 0) {
            *at = p + 2;
            *out = std::move(text);
            return true;
        }
        text.push_back(c);
    }
    return false;
}

// Up to `count` strings; stops at the file's end.
bool ReadStrings(const uint8_t* data, size_t size, size_t* at, uint32_t count,
                 std::vector<std::wstring>* out) {
    for (uint32_t i = 0; i < count; ++i) {
        std::wstring text;
        if (!ReadString(data, size, at, &text))
            return false;
        out->push_back(std::move(text));
    }
    return true;
}

// The insert numbers a pattern uses, as a bit set (bit n for %n).
uint32_t InsertSet(const std::wstring& pattern) {
    uint32_t set = 0;
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != L'%')
            continue;
        wchar_t next = pattern[i + 1];
        if (next >= L'1' && next <= L'9')
            set |= 1u << (next - L'0');
        ++i; // "%%" and "%n" both consume the next character
    }
    return set;
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* suffix) {
    size_t n = std::wcslen(suffix);
    return text.size() >= n && StartsWithNoCase(text.substr(text.size() - n), suffix);
}

bool ReadFileBytes(const std::filesystem::path& path, size_t limit, bool whole,
                   std::vector<uint8_t>* out) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (!file)
        return false;
    uint64_t size = 0;
    bool ok = platform::FileSize(file, &size);
    if (ok && whole && size > limit)
        ok = false;
    if (ok) {
        size_t want = size_t(std::min<uint64_t>(size, limit));
        try {
            out->assign(want, 0);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        ok = ok && platform::ReadExactlyAt(file, 0, out->data(), want);
    }
    platform::CloseFile(file);
    return ok;
}

// The three letters of "<prefix>_xyz.lng", or empty when the name does not have that form.
std::wstring CodeOfFileName(const std::wstring& name, const std::wstring& prefix) {
    if (name.size() != prefix.size() + 8 || !StartsWithNoCase(name, prefix.c_str()) ||
        name[prefix.size()] != L'_' || !EndsWithNoCase(name, L".lng"))
        return {};
    return name.substr(prefix.size() + 1, 3);
}

std::vector<LanguageChoice> FindLanguageFiles(const std::filesystem::path& folder,
                                              const std::wstring& prefix) {
    std::vector<LanguageChoice> found;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::wstring name;
        try {
            if (it->is_directory())
                continue;
            name = it->path().filename().wstring();
        } catch (...) {
            continue; // a name the platform cannot show as UTF-16
        }
        LanguageChoice choice;
        choice.code = CodeOfFileName(name, prefix);
        if (choice.code.empty())
            continue;
        std::vector<uint8_t> head;
        if (!ReadFileBytes(it->path(), kProbeBytes, false, &head) ||
            !ReadLanguageHeader(head.data(), head.size(), &choice.langId, &choice.displayName))
            continue;
        choice.path = it->path();
        found.push_back(std::move(choice));
    }
    // Directory order differs between file systems: the file name decides.
    std::sort(found.begin(), found.end(), [](const LanguageChoice& a, const LanguageChoice& b) {
        return a.path.filename() < b.path.filename();
    });
    return found;
}

bool ReadStoredCode(Registry* registry, std::wstring* code) {
    return ReadStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kLanguageValue, 4,
                           code) &&
           IsLanguageCode(*code);
}

} // namespace

const BuiltinText* FindBuiltinMessage(uint32_t id) {
    for (const BuiltinText& text : PlainTable().table) {
        if (text.id == id)
            return &text;
    }
    return nullptr;
}

std::span<const BuiltinText> BuiltinMessages() {
    return PlainTable().table;
}

std::wstring ExpandInserts(const std::wstring& pattern, const std::vector<std::wstring>& args) {
    std::wstring out;
    out.reserve(pattern.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        if (c == L'%' && i + 1 < pattern.size()) {
            wchar_t next = pattern[i + 1];
            if (next == L'%') {
                out.push_back(L'%');
                ++i;
                continue;
            }
            if (next >= L'1' && next <= L'9' && size_t(next - L'0') <= args.size()) {
                out += args[size_t(next - L'1')];
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

bool InsertsCompatible(const std::wstring& builtin, const std::wstring& translated) {
    uint32_t allowed = InsertSet(builtin);
    return (InsertSet(translated) & ~allowed) == 0;
}

bool IsTranslatableClass(const std::wstring& className) {
    if (className.size() > 9)
        return false;
    return EqualNoCase(className, L"Button") || EqualNoCase(className, L"Static") ||
           EqualNoCase(className, L"SysLink");
}

uint32_t PackLanguageCode(const std::wstring& code) {
    uint32_t packed = 0;
    for (size_t i = 0; i < 3 && i < code.size(); ++i)
        packed |= (uint32_t(code[i]) & 0xFF) << (8 * i);
    return packed;
}

std::wstring UnpackLanguageCode(uint32_t packed) {
    std::wstring code;
    for (int i = 0; i < 3; ++i)
        code.push_back(wchar_t((packed >> (8 * i)) & 0xFF));
    return code;
}

bool IsLanguageCode(const std::wstring& code) {
    if (code.size() != 3)
        return false;
    for (wchar_t c : code) {
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')))
            return false;
    }
    return true;
}

bool ReadLanguageHeader(const uint8_t* data, size_t size, uint16_t* langId, std::wstring* name) {
    if (!data || size < kProbeBytes || std::memcmp(data, kMagic, sizeof(kMagic)) != 0)
        return false;
    std::wstring display;
    for (size_t i = 0; i < kLanguageNameChars; ++i) {
        wchar_t c = wchar_t(Le16(data + kNameOffset + 2 * i));
        if (c == 0)
            break;
        display.push_back(c);
    }
    *langId = Le16(data + kLangIdOffset);
    *name = std::move(display);
    return true;
}

bool ParseLanguageFile(const uint8_t* data, size_t size, LanguageFile* out) {
    if (size < kLanguageHeaderBytes || size > kMaxLanguageFileBytes)
        return false;
    LanguageFile file;
    if (!ReadLanguageHeader(data, size, &file.langId, &file.displayName))
        return false;
    uint32_t sectionCount = Le16(data + kSectionCountOffset);
    size_t at = kLanguageHeaderBytes;
    bool complete = true;
    if (data[kTableMarkOffset] == 'S')
        complete = ReadStrings(data, size, &at, Le16(data + kTableCountOffset), &file.messages);
    for (uint32_t i = 0; complete && i < sectionCount; ++i) {
        if (size - at < kSectionHeaderBytes)
            break;
        const uint8_t* header = data + at;
        if (header[1] == 'F')
            break;
        at += kSectionHeaderBytes;
        LanguageSection section;
        section.number = Le16(header + 2);
        section.extra = Le16(header + 4);
        complete = ReadStrings(data, size, &at, Le16(header + 6), &section.strings);
        file.sections.push_back(std::move(section));
    }
    *out = std::move(file);
    return true;
}

std::wstring LanguageFileName(const std::wstring& folder, const std::wstring& prefix,
                              const std::wstring& code) {
    return folder + prefix + L"_" + code + L".lng";
}

std::vector<LanguageChoice> ListLanguages(const std::filesystem::path& folder,
                                          const std::wstring& prefix) {
    std::vector<LanguageChoice> found = FindLanguageFiles(folder, prefix);
    std::stable_sort(found.begin(), found.end(),
                     [](const LanguageChoice& a, const LanguageChoice& b) {
                         return a.displayName < b.displayName;
                     });
    return found;
}

std::wstring LanguageFolder(System* system) {
    std::wstring folder = ProgramFolder(system);
    return folder.empty() ? std::wstring() : folder + L"\\Language\\";
}

void LanguageTable::Create(Registry* registry, System* system, const std::wstring& prefix) {
    CreateIn(registry, LanguageFolder(system), prefix);
}

void LanguageTable::CreateIn(Registry* registry, const std::wstring& folder,
                             const std::wstring& prefix) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_folder = folder;
        m_prefix = prefix;
    }
    std::wstring code;
    if (!m_folder.empty() && ReadStoredCode(registry, &code))
        Load(ToPath(LanguageFileName(m_folder, m_prefix, code)));
}

bool LanguageTable::Load(const std::filesystem::path& path) {
    Unload();
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(path, kMaxLanguageFileBytes, true, &bytes))
        return false;
    return LoadBytes(bytes.data(), bytes.size());
}

bool LanguageTable::LoadBytes(const uint8_t* data, size_t size) {
    auto file = std::make_shared<LanguageFile>();
    if (!ParseLanguageFile(data, size, file.get())) {
        Unload();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_file = std::move(file);
    return true;
}

void LanguageTable::Unload() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_file.reset();
}

bool LanguageTable::Choose(Registry* registry, const std::wstring& code) {
    if (!IsLanguageCode(code) || m_folder.empty())
        return false;
    if (!Load(ToPath(LanguageFileName(m_folder, m_prefix, code))))
        return false;
    return WriteStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kLanguageValue,
                            code);
}

uint16_t LanguageTable::LangId() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_file ? m_file->langId : 0;
}

void LanguageTable::CopyMessage(uint32_t id, wchar_t* buffer, size_t chars) const {
    if (!buffer || chars == 0)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_file || id >= m_file->messages.size() || m_file->messages[id].empty())
        return;
    const std::wstring& text = m_file->messages[id];
    size_t n = std::min(text.size(), chars - 1);
    std::copy(text.begin(), text.begin() + ptrdiff_t(n), buffer);
    buffer[n] = 0;
}

std::wstring LanguageTable::Message(uint32_t id) const {
    const BuiltinText* builtin = FindBuiltinMessage(id);
    std::wstring translated;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_file && id < m_file->messages.size())
            translated = m_file->messages[id];
    }
    if (translated.empty())
        return builtin ? builtin->text : L"";
    if (builtin && builtin->kind == TextKind::Inserts &&
        !InsertsCompatible(builtin->text, translated))
        return builtin->text;
    return translated;
}

std::wstring LanguageTable::Format(uint32_t id, const std::vector<std::wstring>& args) const {
    return ExpandInserts(Message(id), args);
}

const LanguageSection* LanguageTable::FindSection(uint16_t dialog) const {
    if (!m_file)
        return nullptr;
    for (const LanguageSection& section : m_file->sections) {
        if (section.number == dialog)
            return &section;
        if (section.number > dialog)
            break;
    }
    return nullptr;
}

std::wstring LanguageTable::DialogCaption(uint16_t dialog) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const LanguageSection* section = FindSection(dialog);
    return section && !section->strings.empty() ? section->strings[0] : std::wstring();
}

std::wstring LanguageTable::ControlText(uint16_t dialog, uint32_t control,
                                        const std::wstring* builtin) const {
    std::wstring text;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const LanguageSection* section = FindSection(dialog);
        if (!section || control >= section->strings.size())
            return {};
        text = section->strings[control].substr(0, kDialogTextChars - 1);
    }
    if (builtin && !InsertsCompatible(*builtin, text))
        return {};
    return text;
}

bool LanguageTable::CaptionByPosition(size_t position, std::wstring* caption) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_file || position >= m_file->sections.size())
        return false;
    const LanguageSection& section = m_file->sections[position];
    *caption = section.strings.empty() ? std::wstring() : section.strings[0];
    return true;
}

bool ChooseInstallLanguage(Registry* registry, const std::wstring& folder, uint16_t uiLanguage,
                           uint16_t defaultLanguage) {
    std::wstring stored;
    if (ReadStoredCode(registry, &stored) || folder.empty())
        return false;
    std::vector<LanguageChoice> files = FindLanguageFiles(ToPath(folder), kLanguagePrefix);
    for (uint16_t wanted : {uiLanguage, defaultLanguage}) {
        for (const LanguageChoice& file : files) {
            if (file.langId == wanted && IsLanguageCode(file.code))
                return WriteStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey,
                                        kLanguageValue, file.code);
        }
    }
    return false;
}

} // namespace vostrale::app

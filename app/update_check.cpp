#include "app/update_check.h"

#include "app/settings.h"
#include "app/text.h"

namespace vostrale::app {

namespace {

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out->push_back(uint8_t(value >> (8 * i)));
}

void PutString(std::vector<uint8_t>* out, const std::wstring& text) {
    std::vector<uint8_t> bytes = Utf16Bytes(text, true);
    out->insert(out->end(), bytes.begin(), bytes.end());
}

bool IsHttps(const std::wstring& url) {
    return StartsWithNoCase(url, L"https://") && url.size() > 8;
}

} // namespace

uint32_t DayNumber(uint64_t unixSeconds) {
    return uint32_t(unixSeconds / 86400u);
}

uint32_t ReadLastUpdate(Registry* registry) {
    uint32_t day = 0;
    if (!ReadDwordValue(registry, RegistryRoot::CurrentUser, kLastUpdateKey, kLastUpdateValue,
                        &day))
        return 0;
    return day;
}

void WriteLastUpdate(Registry* registry, uint32_t day) {
    uint8_t data[4] = {uint8_t(day), uint8_t(day >> 8), uint8_t(day >> 16), uint8_t(day >> 24)};
    registry->SetValue(RegistryRoot::CurrentUser, kLastUpdateKey, kLastUpdateValue, kRegDword,
                       data, sizeof(data));
}

std::vector<uint8_t> BuildUpdaterBlock(const std::wstring& productName,
                                       const std::wstring& applicationName,
                                       const std::wstring& programFileName,
                                       const std::vector<std::wstring>& urls, bool automatic) {
    std::vector<std::wstring> passed;
    size_t size = 8 + 2 * (productName.size() + applicationName.size() + programFileName.size()) +
                  6 + 2;
    for (const std::wstring& url : urls) {
        if (!IsHttps(url))
            continue;
        passed.push_back(url);
        size += 2 * url.size() + 2;
        if (size >= kMaxUpdaterBlockBytes)
            return {};
    }
    if (passed.empty() || size >= kMaxUpdaterBlockBytes)
        return {};
    std::vector<uint8_t> block;
    block.reserve(size);
    // The child's C runtime reads a block in lpReserved2 as inherited file descriptors, their
    // count first: a zero count keeps it from taking the rest as handles.
    PutU32(&block, 0);
    PutU32(&block, kUpdaterMagic | (automatic ? kUpdaterAutomatic : 0));
    PutString(&block, productName);
    PutString(&block, applicationName);
    PutString(&block, programFileName);
    for (const std::wstring& url : passed)
        PutString(&block, url);
    PutString(&block, L"");
    return block;
}

bool PlanUpdateCheck(Registry* registry, System* system, uint64_t nowUnixSeconds, bool forced,
                     bool automatic, bool elevated, UpdaterStart* start) {
    if (automatic && elevated)
        return false;
    const uint32_t today = DayNumber(nowUnixSeconds);
    const uint32_t last = ReadLastUpdate(registry);
    if (!forced && last != 0 && last == today)
        return false;
    WriteLastUpdate(registry, today);
    std::wstring folder = ProgramFolder(system);
    std::wstring program = system->ProgramPath();
    size_t slash = program.find_last_of(L'\\');
    if (folder.empty() || slash == std::wstring::npos)
        return false;
    std::vector<std::wstring> urls(std::begin(kUpdateFeedUrls), std::end(kUpdateFeedUrls));
    start->block = BuildUpdaterBlock(kUpdateProductName, kUpdateApplicationName,
                                     program.substr(slash + 1), urls, automatic);
    if (start->block.empty())
        return false;
    start->application = folder + L"\\" + kUpdaterFileName;
    start->commandLine = L"\"" + start->application + L"\"";
    return true;
}

} // namespace vostrale::app

// The daily update check: whether today's check is due, and the parameter block handed to the
// outside updater ("sparkle.exe" beside the program) in its start-up information.
#pragma once

#include "app/interfaces.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kUpdaterFileName = L"sparkle.exe";
inline constexpr const wchar_t* kLastUpdateKey = L"Software\\Vostrale";
inline constexpr const wchar_t* kLastUpdateValue = L"LastUpdate";
inline constexpr const wchar_t* kUpdateProductName = L"Vostrale";
inline constexpr const wchar_t* kUpdateApplicationName = L"Vostrale";
// The maker's feed; its host is configuration, kept here in one place.
inline constexpr const wchar_t* kUpdateFeedUrls[] = {
    L"https://www.vostrale.example/update_vostrale.txt",
};

constexpr uint32_t kUpdaterMagic = 0xABCD0000u;
constexpr uint32_t kUpdaterAutomatic = 1;
// cbReserved2 is 16 bits and the C runtime reserves the top values.
constexpr size_t kMaxUpdaterBlockBytes = 65534;

// Seconds since 1970-01-01 UTC divided by 86400.
uint32_t DayNumber(uint64_t unixSeconds);

// The stored day of the last check: a REG_DWORD of 4 bytes, else 0.
uint32_t ReadLastUpdate(Registry* registry);
void WriteLastUpdate(Registry* registry, uint32_t day);

// The block: u32 0, u32 magic | automatic, product, application, program file name, each URL,
// an empty string; UTF-16LE, each string terminated. Only https URLs are passed. Empty when
// no URL is left or the block would reach kMaxUpdaterBlockBytes.
std::vector<uint8_t> BuildUpdaterBlock(const std::wstring& productName,
                                       const std::wstring& applicationName,
                                       const std::wstring& programFileName,
                                       const std::vector<std::wstring>& urls, bool automatic);

struct UpdaterStart {
    std::wstring application; // full path of the updater
    std::wstring commandLine; // the same path, quoted
    std::vector<uint8_t> block;
};

// Decides today's check and prepares the start. `elevated`: an automatic check never runs
// from an elevated process. When due, today is stored as the last check before anything is
// started, so a failing updater is tried again the next day only.
bool PlanUpdateCheck(Registry* registry, System* system, uint64_t nowUnixSeconds, bool forced,
                     bool automatic, bool elevated, UpdaterStart* start);

} // namespace vostrale::app

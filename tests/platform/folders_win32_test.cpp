// Under Wine, in a prefix of its own: when the shell cannot give the documents or the common
// application data folder, there is no log and no seek-table cache, and nothing is written into
// the current folder.
#include "formats/activity_log.h"
#include "formats/flac_seek_cache.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace vostrale {
namespace {

const wchar_t kUserFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

bool SetFolder(HKEY root, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kUserFolders, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name, 0, REG_EXPAND_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 DWORD((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The prefix's usual folders, set at the start (a test run stopped half-way leaves the broken
// ones behind) and again at the end.
void UsualFolders() {
    EXPECT_TRUE(SetFolder(HKEY_CURRENT_USER, L"Personal", L"%USERPROFILE%\\Documents"));
    EXPECT_TRUE(SetFolder(HKEY_LOCAL_MACHINE, L"Common AppData", L"%ProgramData%"));
}

struct RestoreFolders {
    ~RestoreFolders() { UsualFolders(); }
};

TEST(ShellFolders, UnavailableFoldersMeanNoLogAndNoCache) {
    RestoreFolders restore;
    UsualFolders();
    EXPECT_FALSE(platform::DocumentsFolder().empty());
    EXPECT_FALSE(platform::CacheFolder().empty());

    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    std::filesystem::path here = std::filesystem::path(temp) / L"vostrale-folders-cwd";
    std::filesystem::remove_all(here);
    std::filesystem::create_directories(here);
    ASSERT_TRUE(SetCurrentDirectoryW(here.c_str()));

    // A drive that does not exist: the shell can neither find nor create the folders.
    ASSERT_TRUE(SetFolder(HKEY_CURRENT_USER, L"Personal", L"Q:\\nowhere\\Documents"));
    ASSERT_TRUE(SetFolder(HKEY_LOCAL_MACHINE, L"Common AppData", L"Q:\\nowhere\\ProgramData"));
    EXPECT_TRUE(platform::DocumentsFolder().empty());
    EXPECT_TRUE(platform::CacheFolder().empty());
    EXPECT_TRUE(DefaultLogPath().empty());
    FlacCacheKey key{};
    EXPECT_TRUE(FlacSeekCachePath(key).empty());
    ActivityLog log;
    EXPECT_FALSE(log.Open(DefaultLogPath()));
    log.WriteLine(kLogError, "Mount failed\n");
    EXPECT_TRUE(std::filesystem::is_empty(here)) << "wrote into the current folder";
}

} // namespace
} // namespace vostrale

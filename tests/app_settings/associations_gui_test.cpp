// Associations against Wine's real registry and shell, in a prefix of the test's own: the real
// program's "/XF" one-shot, and the shell opening an associated image through the class.
#include "app/associations.h"
#include "app/text.h"
#include "app/win32/associations_win32.h"
#include "app/win32/win32_services.h"
#include "tests/app_settings/child_modes.h"
#include "tests/app_settings/win32_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string>

namespace vostrale::app::test {
namespace {

const std::wstring kClasses = L"Software\\Classes\\";

std::wstring ProgramUnderTest() {
    // The build's Linux path of vostrale.exe, seen through Wine's Z: drive.
    std::string unixPath = VOSTRALE_PROGRAM;
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path.push_back(c == '/' ? L'\\' : wchar_t(c));
    return path;
}

void SetMachineString(Registry* r, const std::wstring& key, const std::wstring& name,
                      const std::wstring& text) {
    ASSERT_TRUE(WriteStringValue(r, RegistryRoot::LocalMachine, key, name, text));
}

std::wstring MachineString(Registry* r, const std::wstring& key, const std::wstring& name) {
    std::wstring text = L"<missing>";
    ReadStringValue(r, RegistryRoot::LocalMachine, key, name, 1024, &text);
    return text;
}

DWORD RunAndWait(const std::wstring& program, const std::wstring& arguments) {
    std::wstring line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return DWORD(-1);
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = DWORD(-2);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    ASSERT_TRUE(WriteChangeFile(path, bytes));
}

class XfJob : public ::testing::Test {
  protected:
    void SetUp() override {
        // A known starting point in this test's own prefix.
        registry.DeleteKey(RegistryRoot::LocalMachine, kAssociationBackupKey);
        registry.DeleteKey(RegistryRoot::LocalMachine, kClasses + L"Vostrale");
        SetMachineString(&registry, kClasses + L".iso", L"", L"isofile");
        SetMachineString(&registry, kClasses + L"isofile", L"", L"Disc image");
        SetMachineString(&registry, kClasses + L".nrg", L"", L"Vostrale");
        SetMachineString(&registry, kAssociationBackupKey, L".nrg", L"nrgfile");
        SetMachineString(&registry, kClasses + L"nrgfile", L"", L"Nero image");
        SetMachineString(&registry, kClasses + L".exe", L"", L"exefile");
        registry.DeleteKey(RegistryRoot::LocalMachine, kClasses + L".iso\\OpenWithProgids");
        registry.DeleteKey(RegistryRoot::LocalMachine, kCapabilitiesKey);
        registry.DeleteValue(RegistryRoot::LocalMachine, kRegisteredApplicationsKey, L"Vostrale");
        // .nrg was taken over earlier: announced as ours.
        registry.SetValue(RegistryRoot::LocalMachine, kClasses + L".nrg\\OpenWithProgids",
                          L"Vostrale", 0, nullptr, 0);
        SetMachineString(&registry, std::wstring(kCapabilitiesKey) + L"\\FileAssociations",
                         L".nrg", L"Vostrale");
    }
    void ExpectApplied() {
        EXPECT_EQ(MachineString(&registry, kClasses + L".iso", L""), L"Vostrale");
        EXPECT_EQ(MachineString(&registry, kAssociationBackupKey, L".iso"), L"isofile");
        EXPECT_EQ(MachineString(&registry, kClasses + L".nrg", L""), L"nrgfile");
        EXPECT_EQ(MachineString(&registry, kAssociationBackupKey, L".nrg"), L"<missing>");
        EXPECT_EQ(MachineString(&registry, kClasses + L".exe", L""), L"exefile");
        std::wstring command =
            MachineString(&registry, kClasses + L"Vostrale\\shell\\open\\command", L"");
        EXPECT_TRUE(EqualNoCase(command, L"\"" + ProgramUnderTest() + L"\" /M:0 \"%1\""))
            << std::string(command.begin(), command.end());
        // What Windows 8 and later need to offer the program for a type: its entry under the
        // extension's OpenWithProgids, its capabilities and its registered-application entry.
        EXPECT_TRUE(HasValue(kClasses + L".iso\\OpenWithProgids", L"Vostrale"));
        EXPECT_FALSE(HasValue(kClasses + L".nrg\\OpenWithProgids", L"Vostrale"));
        EXPECT_EQ(MachineString(&registry, std::wstring(kCapabilitiesKey) + L"\\FileAssociations",
                                L".iso"),
                  L"Vostrale");
        EXPECT_EQ(MachineString(&registry, std::wstring(kCapabilitiesKey) + L"\\FileAssociations",
                                L".nrg"),
                  L"<missing>");
        EXPECT_EQ(MachineString(&registry, kRegisteredApplicationsKey, L"Vostrale"),
                  kCapabilitiesKey);
    }
    bool HasValue(const std::wstring& key, const std::wstring& name) {
        uint8_t data[16];
        uint32_t type = 0, size = sizeof(data);
        return registry.QueryValue(RegistryRoot::LocalMachine, key, name, &type, data, &size) == 0;
    }
    Win32Registry registry;
};

TEST_F(XfJob, RealProgramAppliesTheNamedChangeFileAndDeletesIt) {
    std::wstring file = TempFolder() + L"named change.assoc";
    WriteBytes(file, ".iso=1\n.nrg=0\n.exe=1\n");
    EXPECT_EQ(RunAndWait(ProgramUnderTest(), L"/XF \"" + file + L"\""), 0u);
    ExpectApplied();
    EXPECT_FALSE(FileExists(file));
}

TEST_F(XfJob, WithoutArgumentTheTemporaryFolderFileIsRead) {
    std::wstring file = DefaultChangeFilePath();
    ASSERT_FALSE(file.empty());
    WriteBytes(file, ".iso=1\n.nrg=0\n");
    EXPECT_EQ(RunAndWait(ProgramUnderTest(), L"/XF"), 0u);
    ExpectApplied();
    EXPECT_FALSE(FileExists(file));
}

TEST_F(XfJob, MissingChangeFileOnlyRegistersTheClass) {
    EXPECT_EQ(RunAndWait(ProgramUnderTest(), L"/XF \"" + TempFolder() + L"none.assoc\""), 0u);
    EXPECT_EQ(MachineString(&registry, kClasses + L".iso", L""), L"isofile");
    EXPECT_NE(MachineString(&registry, kClasses + L"Vostrale\\shell\\open\\command", L""),
              L"<missing>");
}

TEST_F(XfJob, FolderInsteadOfFileIsNotRead) {
    std::wstring folder = TempFolder() + L"folder.assoc";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::string bytes;
    EXPECT_FALSE(TakeChangeFile(folder, &bytes));
    RemoveDirectoryW(folder.c_str());
}

// The class's open command, as the shell runs it for a path with a blank: the test binary
// stands in for the program and writes down the command line it got.
TEST(ShellOpen, AssociatedImageStartsTheProgramWithTheQuotedPath) {
    Win32Registry registry;
    ProgramAtSystem standIn(ThisProgram());
    registry.DeleteValue(RegistryRoot::LocalMachine, kAssociationBackupKey, L".isz");
    SetMachineString(&registry, kClasses + L".isz", L"", L"");
    RegisterDocumentClass(&registry, &standIn, true);
    ASSERT_EQ(SetAssociation(&registry, L".isz", true), AssociationResult::Done);
    EXPECT_TRUE(ShellOpensWithProgram(L".isz", ThisProgram()));

    std::wstring folder = TempFolder();
    std::wstring image = folder + L"x y.isz";
    WriteBytes(image, "image");
    std::wstring echo = folder + L"echo.txt";
    DeleteFileW(echo.c_str());
    SetEnvironmentVariableW(kEchoVariable, echo.c_str());
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = image.c_str();
    info.nShow = SW_SHOWNORMAL;
    BOOL started = ShellExecuteExW(&info);
    SetEnvironmentVariableW(kEchoVariable, nullptr);
    ASSERT_TRUE(started) << GetLastError();
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, 60000);
        CloseHandle(info.hProcess);
    }
    std::string raw = ReadWholeFile(echo);
    std::wstring line = FromUtf16Bytes(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
    wchar_t longImage[MAX_PATH] = {};
    GetLongPathNameW(image.c_str(), longImage, MAX_PATH);
    std::wstring expectedTail = L" /M:0 \"" + std::wstring(longImage) + L"\"";
    ASSERT_GE(line.size(), expectedTail.size()) << std::string(line.begin(), line.end());
    EXPECT_TRUE(EqualNoCase(line.substr(line.size() - expectedTail.size()), expectedTail))
        << std::string(line.begin(), line.end());

    // Given back: the shell no longer opens it with the program.
    ASSERT_EQ(SetAssociation(&registry, L".isz", false), AssociationResult::Done);
    EXPECT_FALSE(ShellOpensWithProgram(L".isz", ThisProgram()));
    DeleteFileW(image.c_str());
    DeleteFileW(echo.c_str());
}

} // namespace
} // namespace vostrale::app::test

// The real setup layer under Wine, in a prefix of its own: a test INF that installs no kernel
// service (Wine would hang starting one) is registered, given its driver, listed, removed and
// taken out of the driver store; files, the certificate store, the launcher's exit codes, a
// network connection that cannot be made, and the two dialogs driven from a timer.
#ifdef _WIN32
#include "app/drive_letters.h"
#include "app/launcher.h"
#include "app/network_logon.h"
#include "app/text.h"
#include "app/win32/letter_dialog.h"
#include "app/win32/logon_dialog.h"
#include "app/win32/setup_win32.h"
#include "app/win32/win32_services.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincred.h>
#include <wincrypt.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

namespace vostrale::app::test {
namespace {

const wchar_t* const kTestClass = L"{6A1F0E6D-3B55-4C8E-9F21-7D0C51E2A9B4}";
const wchar_t* const kTestHardwareId = L"root\\vostrale_test";

// A device class of its own and a null service: nothing for the kernel to load.
const char kTestInf[] = R"([Version]
Signature = "$WINDOWS NT$"
Class     = VostraleTest
ClassGUID = {6A1F0E6D-3B55-4C8E-9F21-7D0C51E2A9B4}
Provider  = %Maker%
DriverVer = 12/10/2026,1.0.0.0

[Manufacturer]
%Maker% = Models, NTamd64

[Models.NTamd64]
%Desc% = Test_Install, root\vostrale_test

[Test_Install]

[Test_Install.Services]
AddService = , 0x00000002

[Strings]
Maker = "Vostrale"
Desc  = "Vostrale setup test device"
)";

std::filesystem::path TestFolder(const char* name) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

const SetupDevice* FindDevice(const std::vector<SetupDevice>& devices, const std::wstring& id) {
    for (const SetupDevice& device : devices) {
        if (EqualNoCase(device.instanceId, id))
            return &device;
    }
    return nullptr;
}

TEST(SetupLayer, RegisterUpdateListRemoveUninstall) {
    std::filesystem::path folder = TestFolder("vostrale_setup_inf");
    std::filesystem::path inf = folder / "vostrale_test.inf";
    std::ofstream(inf, std::ios::binary) << kTestInf;

    Win32DeviceSetup setup;
    ASSERT_TRUE(setup.Available());
    std::wstring published;
    ASSERT_EQ(setup.StagePackage(inf.wstring(), &published), 0u);
    EXPECT_FALSE(published.empty());
    EXPECT_EQ(published.find(L'\\'), std::wstring::npos);

    std::wstring id;
    ASSERT_EQ(setup.RegisterDevice(inf.wstring(), kTestHardwareId, 0, &id), 0u);
    ASSERT_FALSE(id.empty());
    bool restart = true;
    ASSERT_EQ(setup.UpdateDriver(kTestHardwareId, inf.wstring(), 0, &restart), 0u);
    EXPECT_FALSE(restart);

    std::vector<SetupDevice> devices;
    ASSERT_EQ(setup.ListDevices(kTestClass, &devices), 0u);
    const SetupDevice* device = FindDevice(devices, id);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->hardwareIds, std::vector<std::wstring>{kTestHardwareId});
    EXPECT_TRUE(device->present);

    // Wine's DiUninstallDevice is a stub that would end the process: the layer says so and
    // the class installer's removal takes over, as the uninstall logic does.
    bool removeRestart = true;
    uint32_t uninstalled = setup.UninstallDevice(id, &removeRestart);
    if (uninstalled != 0) {
        EXPECT_EQ(uninstalled, kErrorProcNotFound);
        removeRestart = true;
        ASSERT_EQ(setup.RemoveDevice(id, &removeRestart), 0u);
    }
    EXPECT_FALSE(removeRestart);
    devices.clear();
    ASSERT_EQ(setup.ListDevices(kTestClass, &devices), 0u);
    EXPECT_EQ(FindDevice(devices, id), nullptr);
    EXPECT_NE(setup.RemoveDevice(id, &removeRestart), 0u); // gone: nothing to open

    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::filesystem::path stored = std::filesystem::path(windows) / "inf" / published;
    EXPECT_TRUE(std::filesystem::exists(stored));
    EXPECT_EQ(setup.UninstallPackage(published), 0u);
    EXPECT_FALSE(std::filesystem::exists(stored));

    EXPECT_EQ(setup.DeleteService(L"vostrale_no_such_service"), kErrorServiceDoesNotExist);
    std::filesystem::remove_all(folder);
}

TEST(SetupLayer, HardwareIdsAndDeviceCount) {
    // Two devices registered for the same identifier are two devices, each listed once.
    std::filesystem::path folder = TestFolder("vostrale_setup_two");
    std::filesystem::path inf = folder / "vostrale_test.inf";
    std::ofstream(inf, std::ios::binary) << kTestInf;
    Win32DeviceSetup setup;
    // Devices an interrupted earlier run left in this prefix go first.
    std::vector<SetupDevice> stale;
    ASSERT_EQ(setup.ListDevices(kTestClass, &stale), 0u);
    for (const SetupDevice& device : stale) {
        bool restart = false;
        setup.RemoveDevice(device.instanceId, &restart);
    }
    std::wstring first;
    std::wstring second;
    ASSERT_EQ(setup.RegisterDevice(inf.wstring(), kTestHardwareId, 0, &first), 0u);
    ASSERT_EQ(setup.RegisterDevice(inf.wstring(), kTestHardwareId, 0, &second), 0u);
    EXPECT_NE(first, second);
    std::vector<SetupDevice> devices;
    ASSERT_EQ(setup.ListDevices(kTestClass, &devices), 0u);
    EXPECT_NE(FindDevice(devices, first), nullptr);
    EXPECT_NE(FindDevice(devices, second), nullptr);
    for (const std::wstring& id : {first, second}) {
        bool restart = false;
        EXPECT_EQ(setup.RemoveDevice(id, &restart), 0u);
    }
    devices.clear();
    ASSERT_EQ(setup.ListDevices(kTestClass, &devices), 0u);
    EXPECT_EQ(FindDevice(devices, first), nullptr);
    EXPECT_EQ(FindDevice(devices, second), nullptr);
    EXPECT_EQ(setup.ListDevices(L"not a guid", &devices), kErrorInvalidParameter);
    std::filesystem::remove_all(folder);
}

TEST(SetupLayer, TrustedPublisherAddedAndDeleted) {
    // A throwaway self-signed certificate stands in for the product's.
    wchar_t subject[] = L"CN=Vostrale Setup Test";
    BYTE encoded[256];
    DWORD encodedSize = sizeof(encoded);
    ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, encoded,
                               &encodedSize, nullptr));
    CERT_NAME_BLOB name{encodedSize, encoded};
    PCCERT_CONTEXT made = CertCreateSelfSignCertificate(0, &name, 0, nullptr, nullptr, nullptr,
                                                        nullptr, nullptr);
    if (!made)
        GTEST_SKIP() << "no self-signed certificate: error " << GetLastError();
    std::vector<uint8_t> der(made->pbCertEncoded, made->pbCertEncoded + made->cbCertEncoded);
    CertFreeCertificateContext(made);

    auto trusted = [&] {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                         CERT_SYSTEM_STORE_LOCAL_MACHINE, L"TrustedPublisher");
        if (!store)
            return false;
        PCCERT_CONTEXT wanted =
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, wanted, nullptr);
        bool there = found != nullptr;
        if (found)
            CertFreeCertificateContext(found);
        CertFreeCertificateContext(wanted);
        CertCloseStore(store, 0);
        return there;
    };
    Win32DeviceSetup setup;
    ASSERT_EQ(setup.AddTrustedPublisher(der.data(), der.size()), 0u);
    EXPECT_TRUE(trusted());
    EXPECT_EQ(setup.DeleteTrustedPublisher(der.data(), der.size()), 0u);
    EXPECT_FALSE(trusted());
    // Not there any more: still success, nothing left behind.
    EXPECT_EQ(setup.DeleteTrustedPublisher(der.data(), der.size()), 0u);
    const uint8_t junk[] = {1, 2, 3};
    EXPECT_NE(setup.AddTrustedPublisher(junk, sizeof(junk)), 0u);
}

TEST(SetupLayer, FilesAndLibraries) {
    std::filesystem::path folder = TestFolder("vostrale_setup_files");
    std::ofstream(folder / "vostrale64.dll.tmp1") << "x";
    std::ofstream(folder / "other.dll.tmp1") << "x";
    std::filesystem::create_directories(folder / "vostrale.dll.tmp2");
    std::filesystem::create_directories(folder / "x64");
    std::ofstream(folder / "x64" / "vostrale.sys") << "x";
    Win32InstallSystem files;
    std::vector<FolderEntry> entries;
    ASSERT_EQ(files.ListFolder(folder.wstring(), L"vostrale*.dll.tmp*", &entries), 0u);
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, L"vostrale.dll.tmp2");
    EXPECT_NE(entries[0].attributes & kAttributeDirectory, 0u);
    EXPECT_EQ(entries[1].name, L"vostrale64.dll.tmp1");
    entries.clear();
    EXPECT_EQ(files.ListFolder(folder.wstring(), L"none*", &entries), 0u);
    EXPECT_TRUE(entries.empty());

    std::wstring dir = (folder / "x64").wstring();
    EXPECT_NE(files.RemoveEmptyFolder(dir), 0u); // not empty
    EXPECT_EQ(files.DeleteOneFile(dir + L"\\vostrale.sys"), 0u);
    EXPECT_EQ(files.DeleteOneFile(dir + L"\\vostrale.sys"), kErrorFileNotFound);
    EXPECT_EQ(files.RemoveEmptyFolder(dir), 0u);
    uint32_t attributes = 0;
    EXPECT_NE(files.Attributes(dir, &attributes), 0u);

    EXPECT_TRUE(EqualNoCase(files.ExpandEnvironment(L"%SystemRoot%\\system32"),
                            L"C:\\windows\\system32"));
    EXPECT_EQ(files.CallRegistrationEntry((folder / "none.dll").wstring(), "DllRegisterServer"),
              kErrorFileNotFound);
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(files.CallRegistrationEntry(std::wstring(system) + L"\\kernel32.dll",
                                          "DllRegisterServer"),
              kErrorProcNotFound);
    std::filesystem::remove_all(folder);
}

TEST(SetupLayer, LauncherReadsTheWholeExitCode) {
    Win32Launcher launcher;
    for (const wchar_t* verb : {L"open", L"runas"}) {
        uint32_t code = 0;
        ASSERT_EQ(launcher.RunAndWait(L"cmd.exe", L"/c exit 9527", verb, nullptr, &code), 0u);
        EXPECT_EQ(code, 9527u) << verb;
        ASSERT_EQ(launcher.RunAndWait(L"cmd.exe", L"/c exit 100", verb, nullptr, &code), 0u);
        EXPECT_EQ(code, 100u);
    }
    uint32_t code = 7;
    EXPECT_NE(launcher.RunAndWait(L"C:\\no\\such\\program.exe", L"", L"open", nullptr, &code), 0u);
    EXPECT_EQ(code, 7u);
    Win32Elevation elevation;
    EXPECT_TRUE(elevation.IsUserAdmin()); // Wine's user is an administrator
}

TEST(SetupLayer, NetworkConnectionFailsAndSays) {
    Win32NetworkConnector connector;
    Win32System system;
    wchar_t password[] = L"secret";
    LogonAttempt attempt = ConnectShare(&connector, &system, L"\\\\?\\UNC\\127.0.0.1\\share\\a.iso",
                                        L"user", password, true, nullptr);
    EXPECT_NE(attempt.error, 0u);
    EXPECT_FALSE(attempt.message.empty());
    // Stored credentials work on their own.
    ASSERT_EQ(connector.SaveCredential(L"vostrale-test-server", L"user", password), 0u);
    PCREDENTIALW read = nullptr;
    ASSERT_TRUE(CredReadW(L"vostrale-test-server", CRED_TYPE_DOMAIN_PASSWORD, 0, &read));
    EXPECT_EQ(std::wstring(read->UserName), L"user");
    CredFree(read);
    EXPECT_TRUE(CredDeleteW(L"vostrale-test-server", CRED_TYPE_DOMAIN_PASSWORD, 0));
}

TEST(SetupLayer, MountPointsOfAMissingDrive) {
    Win32VolumeMounts mounts;
    uint32_t drives = mounts.LogicalDrives();
    EXPECT_NE(drives & (1u << ('C' - 'A')), 0u);
    wchar_t missing = 0;
    for (wchar_t letter = L'Z'; letter >= L'D' && !missing; --letter) {
        if ((drives & (1u << (letter - L'A'))) == 0)
            missing = letter;
    }
    ASSERT_NE(missing, 0);
    std::wstring volume;
    EXPECT_NE(mounts.VolumeNameOf(missing, &volume), 0u);
    EXPECT_NE(mounts.DeleteMountPoint(missing), 0u);
}

// Runs `step` from a thread timer inside the modal loop, every 100 ms until it returns true,
// giving up after 20 seconds.
class TimerScript {
  public:
    explicit TimerScript(std::function<bool()> step) {
        s_step = std::move(step);
        s_ticks = 0;
        m_timer = SetTimer(nullptr, 0, 100, Tick);
    }
    ~TimerScript() { KillTimer(nullptr, m_timer); }

  private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (!s_step || ++s_ticks > 200)
            return;
        if (s_step())
            s_step = nullptr;
    }
    static inline std::function<bool()> s_step;
    static inline int s_ticks = 0;
    UINT_PTR m_timer;
};

// The visible dialog windows (dialogs and message boxes) of this thread.
std::vector<HWND> ThreadDialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            wchar_t cls[32] = {};
            GetClassNameW(window, cls, 32);
            if (IsWindowVisible(window) && std::wstring(cls) == L"#32770")
                reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindDialog(const wchar_t* title, HWND except = nullptr) {
    for (HWND window : ThreadDialogs()) {
        wchar_t text[128] = {};
        GetWindowTextW(window, text, 128);
        if (window != except && std::wstring(text) == title)
            return window;
    }
    return nullptr;
}

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

TEST(SetupDialogs, LogonFailureKeepsTheDialogOpen) {
    Win32NetworkConnector connector;
    Win32System system;
    enum { kFill, kReadMessage, kCancel } phase = kFill;
    std::wstring prompt;
    std::wstring message;
    std::wstring passwordAfter = L"unread";
    bool passwordStyle = false;
    HWND dialog = nullptr;
    TimerScript script([&] {
        switch (phase) {
        case kFill:
            dialog = FindDialog(L"Vostrale");
            if (!dialog)
                return false;
            prompt = ControlText(dialog, kLogonPromptControl);
            passwordStyle = (GetWindowLongW(GetDlgItem(dialog, kLogonPasswordControl), GWL_STYLE) &
                             ES_PASSWORD) != 0;
            SetDlgItemTextW(dialog, kLogonUserControl, L"user");
            SetDlgItemTextW(dialog, kLogonPasswordControl, L"secret");
            CheckDlgButton(dialog, kLogonRememberControl, BST_CHECKED);
            phase = kReadMessage;
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            return false;
        case kReadMessage: {
            // The message box: the other dialog window with the product caption.
            HWND box = FindDialog(L"Vostrale", dialog);
            if (!box)
                return false;
            message = ControlText(box, 0xFFFF);
            passwordAfter = ControlText(dialog, kLogonPasswordControl);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            phase = kCancel;
            return false;
        }
        case kCancel:
            if (!IsWindowVisible(dialog))
                return true;
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            return true;
        }
        return true;
    });
    LogonResult result =
        NetworkLogonDialog(nullptr, L"\\\\127.0.0.1\\share\\dir\\a.iso", &connector, &system);
    EXPECT_EQ(result, LogonResult::Cancelled);
    EXPECT_NE(prompt.find(L"127.0.0.1"), std::wstring::npos) << prompt;
    EXPECT_TRUE(passwordStyle);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(passwordAfter, L""); // the password is not kept in the field after a try
}

TEST(SetupDialogs, LetterDialogOffersFreeLettersAndStartsTheMove) {
    Harness h;
    uint32_t drives = GetLogicalDrives();
    wchar_t own = 0;
    wchar_t target = 0;
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
        if ((drives & (1u << (letter - L'A'))) == 0) {
            if (!own)
                own = letter;
            else if (!target)
                target = letter;
        }
    }
    ASSERT_TRUE(own && target);
    for (int round = 0; round < 2; ++round) {
        std::vector<std::wstring> items;
        std::wstring selected;
        wchar_t pick = round == 0 ? own : target;
        TimerScript script([&] {
            HWND dialog = FindDialog(L"Vostrale");
            if (!dialog)
                return false;
            HWND list = GetDlgItem(dialog, kLetterListControl);
            int count = int(SendMessageW(list, CB_GETCOUNT, 0, 0));
            for (int i = 0; i < count; ++i) {
                wchar_t text[8] = {};
                SendMessageW(list, CB_GETLBTEXT, i, LPARAM(text));
                items.push_back(text);
            }
            int current = int(SendMessageW(list, CB_GETCURSEL, 0, 0));
            selected = current >= 0 ? items[size_t(current)] : L"";
            std::wstring wanted{pick, L':'};
            int index = int(SendMessageW(list, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(wanted.c_str())));
            SendMessageW(list, CB_SETCURSEL, WPARAM(index), 0);
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            return true;
        });
        ChangeDriveLetterAt(*h.ctx, nullptr, own);
        EXPECT_EQ(selected, (std::wstring{own, L':'}));
        EXPECT_EQ(std::count(items.begin(), items.end(), L"A:"), 0);
        EXPECT_EQ(std::count(items.begin(), items.end(), L"B:"), 0);
        EXPECT_EQ(std::count(items.begin(), items.end(), L"C:"), 0); // in use
        EXPECT_EQ(std::count(items.begin(), items.end(), std::wstring{target, L':'}), 1);
        // Keeping the letter starts nothing; another one starts the one-shot, which here is a
        // program that does not exist, so the failure is shown.
        EXPECT_EQ(h.ui.messages.size(), round == 0 ? 0u : 1u);
    }
    // The menu hook names a drive index; no letter of this machine belongs to the driver, so
    // no dialog opens.
    ChangeDriveLetter(*h.ctx, nullptr, 0);
    EXPECT_TRUE(ThreadDialogs().empty());
}

} // namespace
} // namespace vostrale::app::test
#endif

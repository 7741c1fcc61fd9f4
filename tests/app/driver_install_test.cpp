// /XI and /XU over fakes: start states (no driver, the same or an older driver running, stale,
// foreign and phantom devices) and failing steps, each checked for the calls made, the state
// left behind and the job's result.
#include "app/driver_install.h"

#include "app/history.h"
#include "app/settings.h"
#include "tests/app/fakes.h"
#include "tests/app/setup_fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace vostrale::app::test {
namespace {

const std::wstring kFolder = L"C:\\Program Files\\Vostrale";
const std::wstring kDriverFile = L"C:\\Windows\\system32\\drivers\\vostrale.sys";
const uint8_t kCertificate[] = {0x30, 0x82, 0x05, 0x69, 0x01, 0x02};

class RecordingAssociations final : public AssociationSteps {
  public:
    void RegisterForInstall() override { steps.push_back("register"); }
    void ReleaseForUninstall() override { steps.push_back("release"); }
    std::vector<std::string> steps;
};

struct World {
    World() {
        services.setup = &setup;
        services.files = &files;
        services.associations = &associations;
        services.publisherCertificate = kCertificate;
        services.publisherCertificateSize = sizeof(kCertificate);
        files.AddFile(kFolder + L"\\vostrale.exe");
        files.AddFile(kFolder + L"\\vostrale.inf");
        files.AddFile(kFolder + L"\\vostrale.cat");
        files.AddFile(kFolder + L"\\x64", kAttributeDirectory);
        files.AddFile(kFolder + L"\\x64\\vostrale.sys");
        files.AddFile(kFolder + L"\\vostrale.dll");
        files.AddFile(kFolder + L"\\vostrale64.dll.tmp3");
    }
    void NoAdapter() { h.devices.dosDevices.clear(); }
    bool Has(const std::wstring& path) const { return files.files.count(path) != 0; }
    bool PackageCopiesGone() const {
        return !Has(kFolder + L"\\vostrale.inf") && !Has(kFolder + L"\\vostrale.cat") &&
               !Has(kFolder + L"\\x64\\vostrale.sys") && !Has(kFolder + L"\\x64") &&
               !Has(kFolder + L"\\vostrale64.dll.tmp3") && Has(kFolder + L"\\vostrale.exe");
    }
    std::wstring Recorded() {
        std::wstring name;
        return ReadStringValue(&h.registry, RegistryRoot::LocalMachine, kMachineKey,
                               kDriverPackageValue, kMaxPath, &name)
                   ? name
                   : L"";
    }
    size_t Calls(const std::wstring& prefix) const {
        return size_t(std::count_if(setup.calls.begin(), setup.calls.end(),
                                    [&](const std::wstring& c) { return c.rfind(prefix, 0) == 0; }));
    }
    Harness h;
    FakeDeviceSetup setup;
    FakeInstallSystem files;
    RecordingAssociations associations;
    InstallServices services;
};

struct JobCase {
    const char* name;
    std::function<void(World&)> arrange;
    JobResult result;
    std::function<void(World&)> check;
};

void ExpectErrorLogged(World& w, const char* text) {
    std::string log = w.h.ReadLog();
    EXPECT_NE(log.find(text), std::string::npos) << log;
}

// Install cases start with no InstallDir: the whole registration runs.
const JobCase kInstallCases[] = {
    {"FirstInstall", [](World& w) { w.NoAdapter(); }, JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.setup.calls,
                   (std::vector<std::wstring>{L"trust", L"stage " + kFolder + L"\\vostrale.inf",
                                              L"list", L"register", L"update 4711"}));
         EXPECT_EQ(w.setup.CountWithId(kHardwareId), 1u);
         EXPECT_TRUE(w.setup.certificateTrusted);
         EXPECT_EQ(w.Recorded(), L"oem7.inf");
         EXPECT_TRUE(w.PackageCopiesGone());
         EXPECT_EQ(w.files.entries,
                   (std::vector<std::string>{"DllUnregisterServer", "DllRegisterServer"}));
         EXPECT_TRUE(GetInstallDir(&w.h.registry, nullptr));
         EXPECT_TRUE(w.h.registry.Has(kRunKey, kRunValue));
         EXPECT_EQ(w.associations.steps, std::vector<std::string>{"register"});
     }},
    {"SameVersionRunning", [](World& w) { w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem7.inf"); },
     JobResult::Done,
     [](World& w) {
         EXPECT_TRUE(w.setup.calls.empty());
         EXPECT_EQ(w.setup.CountWithId(kHardwareId), 1u);
         EXPECT_TRUE(w.PackageCopiesGone());
     }},
    {"OlderVersionRunningIsUpgraded",
     [](World& w) {
         w.h.driver.versionMinor = 9;
         w.h.driver.versionMajor = 0;
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem3.inf", 2);
         w.setup.updateAsksRestart = true;
     },
     JobResult::RestartNeeded,
     [](World& w) {
         EXPECT_EQ(w.setup.calls,
                   (std::vector<std::wstring>{L"trust", L"stage " + kFolder + L"\\vostrale.inf",
                                              L"update 4711"}));
         ASSERT_EQ(w.setup.nodes.size(), 1u);
         EXPECT_EQ(w.setup.nodes[0].package, L"oem7.inf");
         EXPECT_EQ(w.Recorded(), L"oem7.inf");
         EXPECT_TRUE(w.PackageCopiesGone());
     }},
    {"UpgradeWithoutRebootAnswer",
     [](World& w) {
         w.h.driver.versionMajor = 2;
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem3.inf");
     },
     JobResult::Done, [](World& w) { EXPECT_EQ(w.setup.nodes[0].package, L"oem7.inf"); }},
    {"UpgradeFailingKeepsThePackageCopies",
     [](World& w) {
         w.h.driver.versionMajor = 0;
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem3.inf");
         w.setup.failUpdate = 5;
     },
     JobResult::Failed,
     [](World& w) {
         EXPECT_TRUE(w.Has(kFolder + L"\\vostrale.inf"));
         EXPECT_TRUE(w.Has(kFolder + L"\\x64\\vostrale.sys"));
         EXPECT_EQ(w.Recorded(), L"");
         ExpectErrorLogged(w, "Updating the driver failed: error 5");
     }},
    {"TwoAdaptersOneNotPresent",
     [](World& w) {
         w.NoAdapter();
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem3.inf", 1);
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0001", {kHardwareId}, false, L"oem3.inf");
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"uninstall "), 2u);
         EXPECT_EQ(w.Calls(L"register"), 1u);
         ASSERT_EQ(w.setup.nodes.size(), 1u);
         EXPECT_TRUE(w.setup.nodes[0].device.present);
         EXPECT_EQ(w.setup.orphanedChildren, 0);
     }},
    {"OnlyAPhantomIsReplaced",
     [](World& w) {
         w.NoAdapter();
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, false, L"oem3.inf");
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"uninstall ROOT\\SCSIADAPTER\\0000"), 1u);
         ASSERT_EQ(w.setup.nodes.size(), 1u);
         EXPECT_TRUE(w.setup.nodes[0].device.present);
     }},
    {"OnePresentDeviceOnlyGetsTheDriver",
     [](World& w) {
         w.NoAdapter();
         // Case and position among the identifiers do not matter.
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {L"vendor\\other", L"ROOT\\VOSTRALE"}, true);
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"register"), 0u);
         EXPECT_EQ(w.Calls(L"uninstall"), 0u);
         EXPECT_EQ(w.setup.nodes[0].package, L"oem7.inf");
     }},
    {"AnIdThatOnlyBeginsWithOursIsNotOurs",
     [](World& w) {
         w.NoAdapter();
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0005", {L"root\\vostrale2"}, true, L"oem9.inf");
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"uninstall"), 0u);
         EXPECT_EQ(w.Calls(L"register"), 1u);
         EXPECT_EQ(w.setup.CountWithId(L"root\\vostrale2"), 1u);
         EXPECT_EQ(w.setup.nodes[0].package, L"oem9.inf");
         EXPECT_EQ(w.setup.CountWithId(kHardwareId), 1u);
     }},
    {"UpdateFailingAfterRegisterRemovesTheNewDevice",
     [](World& w) {
         w.NoAdapter();
         w.setup.failUpdate = 0xE0000219; // ERROR_NO_DRIVER_SELECTED
     },
     JobResult::Failed,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"register"), 1u);
         EXPECT_EQ(w.Calls(L"uninstall ROOT\\SCSIADAPTER\\1000"), 1u);
         EXPECT_TRUE(w.setup.nodes.empty());
         EXPECT_TRUE(w.Has(kFolder + L"\\vostrale.inf"));
         ExpectErrorLogged(w, "Updating the driver failed: error 3758096921");
     }},
    {"RegisterFailing",
     [](World& w) {
         w.NoAdapter();
         w.setup.failRegister = 5;
     },
     JobResult::Failed,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"update"), 0u);
         ExpectErrorLogged(w, "Registering the device failed: error 5");
     }},
    {"StagingFailingRegistersNothing",
     [](World& w) {
         w.NoAdapter();
         w.setup.failStage = 2;
     },
     JobResult::Failed, [](World& w) { EXPECT_EQ(w.Calls(L"register"), 0u); }},
    {"ListingFailingRegistersNothing",
     [](World& w) {
         w.NoAdapter();
         w.setup.failList = 13;
     },
     JobResult::Failed, [](World& w) { EXPECT_EQ(w.Calls(L"register"), 0u); }},
    {"StaleDeviceThatCannotBeRemoved",
     [](World& w) {
         w.NoAdapter();
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, false);
         w.setup.Add(L"ROOT\\SCSIADAPTER\\0001", {kHardwareId}, false);
         w.setup.failUninstall = 5;
         w.setup.failRemove = 5;
     },
     JobResult::Failed, [](World& w) { EXPECT_EQ(w.Calls(L"register"), 0u); }},
    {"CertificateRefusedIsOnlyAWarning",
     [](World& w) {
         w.NoAdapter();
         w.setup.failAddCert = 5;
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.setup.CountWithId(kHardwareId), 1u);
         ExpectErrorLogged(w, "W Adding the publisher certificate failed: error 5");
     }},
    {"NoShellExtension",
     [](World& w) {
         w.NoAdapter();
         w.files.hasShellExtension = false;
     },
     JobResult::Done, [](World& w) { EXPECT_TRUE(w.files.entries.empty()); }},
    {"LinksInTheProgramFolderAreNotFollowed",
     [](World& w) {
         w.files.AddFile(kFolder + L"\\x64", kAttributeDirectory | kAttributeReparsePoint);
         w.files.AddFile(kFolder + L"\\vostrale.cat", kAttributeReparsePoint);
         w.files.AddFile(kFolder + L"\\vostrale.dll.tmp", kAttributeDirectory);
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_TRUE(w.Has(kFolder + L"\\x64\\vostrale.sys"));
         EXPECT_TRUE(w.Has(kFolder + L"\\x64"));
         EXPECT_TRUE(w.Has(kFolder + L"\\vostrale.cat"));
         EXPECT_TRUE(w.Has(kFolder + L"\\vostrale.dll.tmp"));
         EXPECT_FALSE(w.Has(kFolder + L"\\vostrale.inf"));
         EXPECT_FALSE(w.Has(kFolder + L"\\vostrale64.dll.tmp3"));
     }},
};

class InstallTable : public ::testing::TestWithParam<JobCase> {};

TEST_P(InstallTable, Runs) {
    const JobCase& c = GetParam();
    World w;
    c.arrange(w);
    EXPECT_EQ(InstallDriverJob(*w.h.ctx, w.services, 4711), c.result);
    c.check(w);
    std::string log = w.h.ReadLog();
    EXPECT_NE(log.find("I Install driver"), std::string::npos);
    EXPECT_EQ(log.find(" E ") != std::string::npos, c.result == JobResult::Failed) << log;
}

INSTANTIATE_TEST_SUITE_P(Install, InstallTable, ::testing::ValuesIn(kInstallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Install, SecondInstallKeepsTheUsersSettings) {
    World w;
    w.NoAdapter();
    ASSERT_EQ(InstallDriverJob(*w.h.ctx, w.services, 0), JobResult::Done);
    // The user turned starting at logon off; the driver now answers.
    SetRunAtLogon(&w.h.registry, &w.h.system, false);
    w.h.devices.AddAdapter(2, &w.h.driver);
    w.setup.calls.clear();
    w.files.entries.clear();
    EXPECT_EQ(InstallDriverJob(*w.h.ctx, w.services, 0), JobResult::Done);
    EXPECT_TRUE(w.setup.calls.empty());
    EXPECT_EQ(w.setup.CountWithId(kHardwareId), 1u);
    EXPECT_EQ(w.files.entries,
              (std::vector<std::string>{"DllUnregisterServer", "DllRegisterServer"}));
    EXPECT_FALSE(w.h.registry.Has(kRunKey, kRunValue));
    EXPECT_EQ(w.associations.steps, std::vector<std::string>{"register"});
}

TEST(Install, HardwareIdListWalkedWithinItsSize) {
    auto bytes = [](const std::wstring& units) {
        std::vector<uint8_t> out;
        for (wchar_t c : units) {
            out.push_back(uint8_t(c));
            out.push_back(uint8_t(c >> 8));
        }
        return out;
    };
    using Ids = std::vector<std::wstring>;
    struct Case {
        std::wstring units; // what the buffer holds
        size_t returned;    // the size the call reported, in bytes
        Ids ids;
    } cases[] = {
        {std::wstring(L"root\\vostrale\0other\0\0", 21), 42, Ids{L"root\\vostrale", L"other"}},
        // No terminators at all: the last string ends with the returned size.
        {std::wstring(L"root\\vostraleXXXX", 17), 26, Ids{L"root\\vostrale"}},
        // A size past what is filled stops at the empty string.
        {std::wstring(L"a\0\0garbage", 10), 20, Ids{L"a"}},
        // An odd byte count drops the half unit.
        {std::wstring(L"ab", 2), 3, Ids{L"a"}},
        {std::wstring(), 0, Ids{}},
        {std::wstring(L"\0a", 2), 4, Ids{}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data = bytes(c.units);
        ASSERT_LE(c.returned, data.size());
        EXPECT_EQ(SplitMultiString(data.data(), c.returned), c.ids) << c.returned;
    }
}

TEST(Install, PublishedNames) {
    for (const wchar_t* name : {L"oem0.inf", L"OEM12.INF", L"oem123456.inf"})
        EXPECT_TRUE(IsPublishedInfName(name)) << name;
    for (const wchar_t* name : {L"oem.inf", L"oem1.in", L"machine.inf", L"oem1a.inf",
                                L"..\\oem1.inf", L"oem1.inf\\x", L"", L"oem1.infx"})
        EXPECT_FALSE(IsPublishedInfName(name)) << name;
}

// Uninstall cases start from an installed system with a driver running and two drives.
void Installed(World& w) {
    w.setup.Add(L"ROOT\\SCSIADAPTER\\0000", {kHardwareId}, true, L"oem7.inf", 2);
    w.setup.Add(L"ROOT\\SCSIADAPTER\\0003", {kHardwareId}, false, L"oem3.inf");
    w.setup.Add(L"ROOT\\SCSIADAPTER\\0004", {L"root\\vostrale2"}, true, L"oem9.inf");
    w.setup.store = {L"oem7.inf", L"oem3.inf", L"oem9.inf"};
    w.setup.serviceExists = true;
    w.setup.certificateTrusted = true;
    w.setup.trustedCertificate.assign(std::begin(kCertificate), std::end(kCertificate));
    WriteStringValue(&w.h.registry, RegistryRoot::LocalMachine, kMachineKey, kDriverPackageValue,
                     L"oem7.inf");
    w.files.AddFile(kDriverFile);
    SetInstallDir(&w.h.registry, &w.h.system);
    SetRunAtLogon(&w.h.registry, &w.h.system, true);
    SetDriveImage(&w.h.registry, 1, L"C:\\a.iso");
    SaveConfig(&w.h.registry, Settings{});
}

const JobCase kUninstallCases[] = {
    {"EverythingGoes", Installed, JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.setup.calls,
                   (std::vector<std::wstring>{
                       L"list", L"uninstall ROOT\\SCSIADAPTER\\0000",
                       L"uninstall ROOT\\SCSIADAPTER\\0003", L"package oem7.inf",
                       L"package oem3.inf", L"service vostrale_storport", L"distrust"}));
         ASSERT_EQ(w.setup.nodes.size(), 1u); // the foreign adapter stays
         EXPECT_EQ(w.setup.store, std::set<std::wstring>{L"oem9.inf"});
         EXPECT_EQ(w.setup.orphanedChildren, 0);
         EXPECT_FALSE(w.setup.serviceExists);
         EXPECT_FALSE(w.setup.certificateTrusted);
         EXPECT_FALSE(w.Has(kDriverFile));
         EXPECT_TRUE(w.PackageCopiesGone());
         EXPECT_EQ(w.files.entries, std::vector<std::string>{"DllUnregisterServer"});
         EXPECT_EQ(w.Recorded(), L"");
         EXPECT_FALSE(w.h.registry.KeyExists(RegistryRoot::CurrentUser, kSettingsKey));
         EXPECT_FALSE(w.h.registry.KeyExists(RegistryRoot::CurrentUser, kStatKey));
         EXPECT_FALSE(w.h.registry.Has(kRunKey, kRunValue));
         EXPECT_EQ(w.associations.steps, std::vector<std::string>{"release"});
         // The drives went away first, not permanently.
         auto sent = std::find(w.h.driver.codes.begin(), w.h.driver.codes.end(),
                               uint32_t(kCtlSetDriveCount));
         EXPECT_NE(sent, w.h.driver.codes.end());
         EXPECT_EQ(w.h.driver.driveCount, 0u);
     }},
    {"WithoutUninstallDeviceTheClassInstallerRemoves",
     [](World& w) {
         Installed(w);
         w.setup.hasUninstallDevice = false;
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"remove "), 2u);
         EXPECT_EQ(w.setup.nodes.size(), 1u);
     }},
    {"DriverFileInUseGoesAtRestart",
     [](World& w) {
         Installed(w);
         w.files.inUse.insert(kDriverFile);
     },
     JobResult::RestartNeeded,
     [](World& w) { EXPECT_EQ(w.files.atRestart, std::vector<std::wstring>{kDriverFile}); }},
    {"DriverFileThatCannotGoEvenAtRestart",
     [](World& w) {
         Installed(w);
         w.files.inUse.insert(kDriverFile);
         w.files.failAtRestart = 5;
     },
     JobResult::Failed, [](World& w) { ExpectErrorLogged(w, "at restart failed: error 5"); }},
    {"RunningServiceGoesAtRestart",
     [](World& w) {
         Installed(w);
         w.setup.serviceRunning = true;
     },
     JobResult::RestartNeeded, [](World&) {}},
    {"RemovalAsksRestart",
     [](World& w) {
         Installed(w);
         w.setup.removalAsksRestart = true;
     },
     JobResult::RestartNeeded, [](World&) {}},
    {"PackageRefusedKeepsItsRecord",
     [](World& w) {
         Installed(w);
         w.setup.failPackage = 5;
     },
     JobResult::Failed,
     [](World& w) {
         EXPECT_EQ(w.Recorded(), L"oem7.inf");
         ExpectErrorLogged(w, "Removing driver package oem7.inf failed: error 5");
     }},
    {"ForeignPackageNameIsLeftAlone",
     [](World& w) {
         Installed(w);
         WriteStringValue(&w.h.registry, RegistryRoot::LocalMachine, kMachineKey,
                          kDriverPackageValue, L"machine.inf");
     },
     JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"package machine.inf"), 0u);
         EXPECT_EQ(w.Calls(L"package "), 2u);
     }},
    {"DeviceThatCannotBeRemoved",
     [](World& w) {
         Installed(w);
         w.setup.failUninstall = 5;
         w.setup.failRemove = 5;
     },
     JobResult::Failed,
     [](World& w) {
         EXPECT_EQ(w.setup.nodes.size(), 3u);
         ExpectErrorLogged(w, "Removing device ROOT\\SCSIADAPTER\\0000 failed: error 5");
     }},
    {"CertificateThatCannotBeDeleted",
     [](World& w) {
         Installed(w);
         w.setup.failDeleteCert = 5;
     },
     JobResult::Failed, [](World&) {}},
    {"ServiceThatCannotBeDeleted",
     [](World& w) {
         Installed(w);
         w.setup.failService = 5;
     },
     JobResult::Failed, [](World&) {}},
    {"NothingInstalledIsNoFailure", [](World& w) { w.NoAdapter(); }, JobResult::Done,
     [](World& w) {
         EXPECT_EQ(w.Calls(L"uninstall"), 0u);
         EXPECT_EQ(w.Calls(L"package"), 0u);
     }},
};

class UninstallTable : public ::testing::TestWithParam<JobCase> {};

TEST_P(UninstallTable, Runs) {
    const JobCase& c = GetParam();
    World w;
    c.arrange(w);
    EXPECT_EQ(UninstallDriverJob(*w.h.ctx, w.services), c.result);
    c.check(w);
    std::string log = w.h.ReadLog();
    EXPECT_NE(log.find("I Uninstall driver"), std::string::npos);
    EXPECT_EQ(log.find(" E ") != std::string::npos, c.result == JobResult::Failed) << log;
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallTable, ::testing::ValuesIn(kUninstallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Install, InstallThenUninstallLeavesNothing) {
    World w;
    w.NoAdapter();
    ASSERT_EQ(InstallDriverJob(*w.h.ctx, w.services, 0), JobResult::Done);
    w.files.AddFile(kDriverFile);
    ASSERT_EQ(UninstallDriverJob(*w.h.ctx, w.services), JobResult::Done);
    EXPECT_TRUE(w.setup.nodes.empty());
    EXPECT_TRUE(w.setup.store.empty());
    EXPECT_FALSE(w.setup.serviceExists);
    EXPECT_FALSE(w.setup.certificateTrusted);
    EXPECT_FALSE(w.Has(kDriverFile));
    EXPECT_EQ(w.Recorded(), L"");
    EXPECT_FALSE(w.h.registry.KeyExists(RegistryRoot::CurrentUser, kSettingsKey));
    EXPECT_EQ(w.associations.steps, (std::vector<std::string>{"register", "release"}));
}

} // namespace
} // namespace vostrale::app::test

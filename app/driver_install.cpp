#include "app/driver_install.h"

#include "app/driver_channel.h"
#include "app/language.h"
#include "app/settings.h"
#include "app/text.h"
#include "formats/activity_log.h"
#include "platform/platform.h"

#include <vector>

namespace vostrale::app {

namespace {

std::string ForLog(const std::wstring& text) {
    return platform::NarrowPath(ToPath(text));
}

bool IsOurDevice(const SetupDevice& device) {
    // Whole identifiers only: "root\vostrale2" belongs to someone else.
    for (const std::wstring& id : device.hardwareIds) {
        if (EqualNoCase(id, kHardwareId))
            return true;
    }
    return false;
}

// One run of /XI or /XU: the log, and what the steps decided.
class Job {
  public:
    Job(AppContext& ctx, const InstallServices& services, const char* title)
        : ctx(ctx), setup(services.setup), files(services.files), services(services) {
        log.Open(ctx.s.system->LogPath());
        log.WriteDateHeader();
        log.WriteLine(kLogInfo, "%s", title);
        folder = ProgramFolder(ctx.s.system);
    }

    void Fail(const char* what, uint32_t error) {
        log.WriteLine(kLogError, "%s failed: error %u", what, error);
        failed = true;
    }
    void Warn(const char* what, uint32_t error) {
        log.WriteLine(kLogWarning, "%s failed: error %u", what, error);
    }
    JobResult Result() {
        JobResult result = failed  ? JobResult::Failed
                           : restart ? JobResult::RestartNeeded
                                     : JobResult::Done;
        log.WriteLine(result == JobResult::Failed ? kLogError : kLogInfo, "%s",
                      result == JobResult::Failed          ? "Job failed"
                      : result == JobResult::RestartNeeded ? "Job done, restart needed"
                                                           : "Job done");
        return result;
    }

    AppContext& ctx;
    DeviceSetup* setup;
    InstallSystem* files;
    const InstallServices& services;
    ActivityLog log;
    std::wstring folder;
    bool failed = false;
    bool restart = false;
};

bool ListOurDevices(Job& job, std::vector<SetupDevice>* ours) {
    std::vector<SetupDevice> all;
    if (uint32_t error = job.setup->ListDevices(kScsiAdapterClass, &all)) {
        job.Fail("Listing the SCSI adapters", error);
        return false;
    }
    for (SetupDevice& device : all) {
        if (IsOurDevice(device))
            ours->push_back(std::move(device));
    }
    return true;
}

// The device and its children; the class installer's removal when that is all there is.
bool RemoveOneDevice(Job& job, const std::wstring& instanceId) {
    bool restart = false;
    uint32_t error = job.setup->UninstallDevice(instanceId, &restart);
    if (error != 0) {
        job.Warn("Uninstalling the device", error);
        restart = false;
        error = job.setup->RemoveDevice(instanceId, &restart);
    }
    if (error != 0) {
        job.log.WriteLine(kLogError, "Removing device %s failed: error %u",
                          ForLog(instanceId).c_str(), error);
        job.failed = true;
        return false;
    }
    job.log.WriteLine(kLogInfo, "Removed device %s", ForLog(instanceId).c_str());
    job.restart = job.restart || restart;
    return true;
}

void TrustPublisher(Job& job) {
    if (job.services.publisherCertificateSize == 0) {
        job.log.WriteLine(kLogWarning, "No publisher certificate in this build");
        return;
    }
    // The package may still install when its signer is trusted some other way.
    if (uint32_t error = job.setup->AddTrustedPublisher(job.services.publisherCertificate,
                                                       job.services.publisherCertificateSize))
        job.Warn("Adding the publisher certificate", error);
}

bool StagePackage(Job& job, const std::wstring& inf, std::wstring* published) {
    if (uint32_t error = job.setup->StagePackage(inf, published)) {
        job.Fail("Staging the driver package", error);
        return false;
    }
    job.log.WriteLine(kLogInfo, "Driver package %s", ForLog(*published).c_str());
    return true;
}

bool UpdateDriver(Job& job, const std::wstring& inf, uint64_t owner) {
    bool restart = false;
    if (uint32_t error = job.setup->UpdateDriver(kHardwareId, inf, owner, &restart)) {
        job.Fail("Updating the driver", error);
        return false;
    }
    job.restart = job.restart || restart;
    return true;
}

// No adapter answers: one present device of ours gets the driver; anything else (none, several,
// or only devices that are not present) is removed and one new device is registered.
bool InstallDevice(Job& job, const std::wstring& inf, uint64_t owner) {
    std::vector<SetupDevice> ours;
    if (!ListOurDevices(job, &ours))
        return false;
    if (ours.size() == 1 && ours[0].present)
        return UpdateDriver(job, inf, owner);
    for (const SetupDevice& device : ours) {
        if (!RemoveOneDevice(job, device.instanceId))
            return false;
    }
    std::wstring instanceId;
    if (uint32_t error = job.setup->RegisterDevice(inf, kHardwareId, owner, &instanceId)) {
        job.Fail("Registering the device", error);
        return false;
    }
    job.log.WriteLine(kLogInfo, "Registered device %s", ForLog(instanceId).c_str());
    if (!UpdateDriver(job, inf, owner)) {
        // A device without a driver would be a phantom adapter: take it away again.
        RemoveOneDevice(job, instanceId);
        return false;
    }
    return true;
}

void RecordPackage(Job& job, const std::wstring& published) {
    if (!WriteStringValue(job.ctx.s.registry, RegistryRoot::LocalMachine, kMachineKey,
                          kDriverPackageValue, published))
        job.log.WriteLine(kLogWarning, "Recording the driver package failed");
}

// The running driver's version decides: the same one needs nothing, another one gets the new
// package staged for its device.
bool InstallPackage(Job& job, uint64_t owner) {
    std::wstring inf = job.folder + L"\\" + kDriverInfName;
    bool running = false;
    if (std::unique_ptr<Device> adapter = job.ctx.channel.FindAdapter()) {
        running = true;
        uint8_t major = 0;
        uint8_t minor = 0;
        bool answered = GetDriverVersion(adapter.get(), &major, &minor);
        if (answered && major == kDriverMajor && minor == kDriverMinor) {
            job.log.WriteLine(kLogInfo, "Driver %u.%u is running", major, minor);
            return true;
        }
        job.log.WriteLine(kLogInfo, "Driver %u.%u is running: upgrading", major, minor);
    }
    TrustPublisher(job);
    std::wstring published;
    if (!StagePackage(job, inf, &published))
        return false;
    bool ok = running ? UpdateDriver(job, inf, owner) : InstallDevice(job, inf, owner);
    if (ok)
        RecordPackage(job, published);
    return ok;
}

void DeletePlainFile(Job& job, const std::wstring& path) {
    uint32_t attributes = 0;
    if (job.files->Attributes(path, &attributes) != 0)
        return;
    if (attributes & (kAttributeDirectory | kAttributeReparsePoint)) {
        job.log.WriteLine(kLogWarning, "Left alone (not a plain file): %s", ForLog(path).c_str());
        return;
    }
    if (uint32_t error = job.files->DeleteOneFile(path))
        job.log.WriteLine(kLogWarning, "Deleting %s failed: error %u", ForLog(path).c_str(),
                          error);
}

// The installer's copies in the program folder. Links are never followed: a junction named
// "x64" must not lead the deletion into another folder.
void CleanProgramFolder(Job& job) {
    if (job.folder.empty())
        return;
    std::vector<FolderEntry> leftovers;
    if (job.files->ListFolder(job.folder, L"vostrale*.dll.tmp*", &leftovers) == 0) {
        for (const FolderEntry& entry : leftovers)
            DeletePlainFile(job, job.folder + L"\\" + entry.name);
    }
    DeletePlainFile(job, job.folder + L"\\vostrale.inf");
    DeletePlainFile(job, job.folder + L"\\vostrale.cat");
    for (const wchar_t* arch : {L"x86", L"x64"}) {
        std::wstring dir = job.folder + L"\\" + arch;
        uint32_t attributes = 0;
        if (job.files->Attributes(dir, &attributes) != 0 ||
            (attributes & kAttributeDirectory) == 0)
            continue;
        if (attributes & kAttributeReparsePoint) {
            job.log.WriteLine(kLogWarning, "Left alone (a link): %s", ForLog(dir).c_str());
            continue;
        }
        DeletePlainFile(job, dir + L"\\vostrale.sys");
        job.files->RemoveEmptyFolder(dir);
    }
}

void CallShellExtension(Job& job, const char* entry) {
    uint32_t error =
        job.files->CallRegistrationEntry(job.folder + L"\\" + kShellExtensionName, entry);
    if (error == kErrorFileNotFound || error == kErrorProcNotFound)
        return; // the shell extension is optional
    if (error != 0)
        job.log.WriteLine(kLogWarning, "%s of the shell extension failed: error %u", entry,
                          error);
}

void RemovePackage(Job& job) {
    std::vector<SetupDevice> ours;
    std::vector<std::wstring> packages;
    std::wstring recorded;
    if (ReadStringValue(job.ctx.s.registry, RegistryRoot::LocalMachine, kMachineKey,
                        kDriverPackageValue, kMaxPath, &recorded))
        packages.push_back(recorded);
    if (ListOurDevices(job, &ours)) {
        for (const SetupDevice& device : ours) {
            std::wstring published;
            if (job.setup->DriverPackageOf(device.instanceId, &published) == 0)
                packages.push_back(published);
        }
        for (const SetupDevice& device : ours)
            RemoveOneDevice(job, device.instanceId);
    }

    bool packagesGone = true;
    std::vector<std::wstring> done;
    for (const std::wstring& name : packages) {
        bool seen = false;
        for (const std::wstring& other : done)
            seen = seen || EqualNoCase(other, name);
        if (seen)
            continue;
        done.push_back(name);
        if (!IsPublishedInfName(name)) {
            job.log.WriteLine(kLogWarning, "Not a driver-store name, left alone: %s",
                              ForLog(name).c_str());
            continue;
        }
        uint32_t error = job.setup->UninstallPackage(name);
        if (error == 0 || error == kErrorFileNotFound) {
            job.log.WriteLine(kLogInfo, "Removed driver package %s", ForLog(name).c_str());
        } else {
            job.log.WriteLine(kLogError, "Removing driver package %s failed: error %u",
                              ForLog(name).c_str(), error);
            job.failed = true;
            packagesGone = false;
        }
    }
    if (packagesGone)
        job.ctx.s.registry->DeleteValue(RegistryRoot::LocalMachine, kMachineKey,
                                        kDriverPackageValue);

    uint32_t error = job.setup->DeleteService(kDriverServiceName);
    if (error == kErrorServiceMarkedForDelete)
        job.restart = true; // it goes once the driver has stopped
    else if (error != 0 && error != kErrorServiceDoesNotExist)
        job.Fail("Deleting the driver service", error);

    std::wstring file = job.files->ExpandEnvironment(kInstalledDriverFile);
    uint32_t attributes = 0;
    if (job.files->Attributes(file, &attributes) == 0) {
        if (uint32_t busy = job.files->DeleteOneFile(file)) {
            job.log.WriteLine(kLogWarning, "Deleting %s: error %u, deleting at restart",
                              ForLog(file).c_str(), busy);
            if (uint32_t later = job.files->DeleteFileAtRestart(file))
                job.Fail("Deleting the driver file at restart", later);
            else
                job.restart = true;
        }
    }

    if (job.services.publisherCertificateSize != 0) {
        if (uint32_t error = job.setup->DeleteTrustedPublisher(
                job.services.publisherCertificate, job.services.publisherCertificateSize))
            job.Fail("Deleting the publisher certificate", error);
    }
}

} // namespace

std::vector<std::wstring> SplitMultiString(const uint8_t* data, size_t byteCount) {
    std::vector<std::wstring> strings;
    size_t units = byteCount / 2;
    size_t at = 0;
    auto unit = [&](size_t i) { return wchar_t(data[2 * i] | (data[2 * i + 1] << 8)); };
    while (at < units && unit(at) != 0) {
        size_t end = at;
        while (end < units && unit(end) != 0)
            ++end;
        strings.push_back(FromUtf16Bytes(data + 2 * at, 2 * (end - at)));
        at = end + 1;
    }
    return strings;
}

bool IsPublishedInfName(const std::wstring& name) {
    if (name.size() < 8 || !StartsWithNoCase(name, L"oem"))
        return false;
    size_t dot = name.size() - 4;
    if (!EqualNoCase(name.substr(dot), L".inf"))
        return false;
    for (size_t i = 3; i < dot; ++i) {
        if (name[i] < L'0' || name[i] > L'9')
            return false;
    }
    return true;
}

JobResult InstallDriverJob(AppContext& ctx, const InstallServices& services, uint64_t owner) {
    Job job(ctx, services, "Install driver");
    if (InstallPackage(job, owner))
        CleanProgramFolder(job); // kept after a failure, so the install can be tried again
    CallShellExtension(job, "DllUnregisterServer");
    CallShellExtension(job, "DllRegisterServer");
    // Only stored when no language was chosen yet, so an upgrade keeps the user's choice.
    ChooseInstallLanguage(ctx.s.registry, LanguageFolder(ctx.s.system), services.uiLanguage,
                          services.defaultLanguage);
    // An upgrade keeps the user's settings.
    if (GetInstallDir(ctx.s.registry, nullptr))
        return job.Result();
    SetInstallDir(ctx.s.registry, ctx.s.system);
    SetRunAtLogon(ctx.s.registry, ctx.s.system, true);
    if (services.associations)
        services.associations->RegisterForInstall();
    else
        job.log.WriteLine(kLogWarning, "File associations are not handled by this build");
    return job.Result();
}

JobResult UninstallDriverJob(AppContext& ctx, const InstallServices& services) {
    Job job(ctx, services, "Uninstall driver");
    if (std::unique_ptr<Device> adapter = ctx.channel.FindAdapter()) {
        if (!SetDriveCount(adapter.get(), 0, false))
            job.log.WriteLine(kLogWarning, "Setting the drive count to 0 failed");
    }
    RemovePackage(job);
    CleanProgramFolder(job);
    CallShellExtension(job, "DllUnregisterServer");
    DeleteInstallDir(ctx.s.registry);
    SetRunAtLogon(ctx.s.registry, ctx.s.system, false);
    uint32_t error = ctx.s.registry->DeleteKey(RegistryRoot::CurrentUser, kSettingsKey);
    if (error != 0 && error != kErrorFileNotFound)
        job.Fail("Deleting the settings key", error);
    if (services.associations)
        services.associations->ReleaseForUninstall();
    else
        job.log.WriteLine(kLogWarning, "File associations are not handled by this build");
    return job.Result();
}

} // namespace vostrale::app

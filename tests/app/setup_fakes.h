// Fakes of the setup, mount-point, network and launcher interfaces: a small device tree with a
// driver store and a service, a file system of attributes, mount points, a share that wants
// credentials, and a launcher that answers with a scripted exit code. Each records its calls
// and can be told to fail any one of them.
#pragma once

#include "app/setup_interfaces.h"
#include "app/text.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vostrale::app::test {

class FakeDeviceSetup final : public DeviceSetup {
  public:
    struct Node {
        SetupDevice device;
        std::wstring classGuid;
        std::wstring package;   // published INF of its driver; empty: none installed
        int children = 0;       // CD-ROM drives below the adapter
    };
    std::vector<Node> nodes;
    std::set<std::wstring> store; // published names in the driver store
    bool serviceExists = false;
    bool serviceRunning = false; // deleting it marks it for deletion only
    bool certificateTrusted = false;
    std::vector<uint8_t> trustedCertificate;
    int orphanedChildren = 0; // children left behind by a removal without them
    std::wstring nextPublished = L"oem7.inf";
    bool updateAsksRestart = false;
    bool removalAsksRestart = false;
    bool hasUninstallDevice = true;
    // Failures: the error code a call returns instead of working (0: works).
    uint32_t failList = 0, failStage = 0, failRegister = 0, failUpdate = 0, failUninstall = 0,
             failRemove = 0, failPackage = 0, failService = 0, failAddCert = 0,
             failDeleteCert = 0;
    std::vector<std::wstring> calls;

    Node& Add(const std::wstring& id, std::vector<std::wstring> hardwareIds, bool present,
              const std::wstring& package = L"", int children = 0,
              const std::wstring& classGuid = L"{4D36E97B-E325-11CE-BFC1-08002BE10318}") {
        Node node;
        node.device.instanceId = id;
        node.device.hardwareIds = std::move(hardwareIds);
        node.device.present = present;
        node.package = package;
        node.children = children;
        node.classGuid = classGuid;
        nodes.push_back(node);
        return nodes.back();
    }
    size_t CountWithId(const std::wstring& hardwareId) const {
        size_t n = 0;
        for (const Node& node : nodes) {
            for (const std::wstring& id : node.device.hardwareIds)
                n += EqualNoCase(id, hardwareId) ? 1 : 0;
        }
        return n;
    }

    uint32_t ListDevices(const std::wstring& classGuid,
                         std::vector<SetupDevice>* devices) override {
        calls.push_back(L"list");
        if (failList)
            return failList;
        for (const Node& node : nodes) {
            if (EqualNoCase(node.classGuid, classGuid))
                devices->push_back(node.device);
        }
        return 0;
    }
    uint32_t StagePackage(const std::wstring& infPath, std::wstring* publishedName) override {
        calls.push_back(L"stage " + infPath);
        if (failStage)
            return failStage;
        store.insert(nextPublished);
        *publishedName = nextPublished;
        return 0;
    }
    uint32_t RegisterDevice(const std::wstring& infPath, const std::wstring& hardwareId,
                            uint64_t owner, std::wstring* instanceId) override {
        calls.push_back(L"register");
        if (failRegister)
            return failRegister;
        *instanceId = L"ROOT\\SCSIADAPTER\\" + std::to_wstring(1000 + m_next++);
        Add(*instanceId, {hardwareId}, true);
        return 0;
    }
    uint32_t UpdateDriver(const std::wstring& hardwareId, const std::wstring& infPath,
                          uint64_t owner, bool* restart) override {
        calls.push_back(L"update " + std::to_wstring(owner));
        if (failUpdate)
            return failUpdate;
        // Only devices that are there can get a driver.
        bool any = false;
        for (Node& node : nodes) {
            if (!node.device.present)
                continue;
            for (const std::wstring& id : node.device.hardwareIds) {
                if (EqualNoCase(id, hardwareId)) {
                    node.package = nextPublished;
                    any = true;
                }
            }
        }
        if (!any)
            return kErrorNoSuchDevinst;
        serviceExists = true;
        *restart = updateAsksRestart;
        return 0;
    }
    uint32_t UninstallDevice(const std::wstring& instanceId, bool* restart) override {
        calls.push_back(L"uninstall " + instanceId);
        if (!hasUninstallDevice)
            return kErrorProcNotFound;
        if (failUninstall)
            return failUninstall;
        return Erase(instanceId, true, restart);
    }
    uint32_t RemoveDevice(const std::wstring& instanceId, bool* restart) override {
        calls.push_back(L"remove " + instanceId);
        if (failRemove)
            return failRemove;
        return Erase(instanceId, false, restart);
    }
    uint32_t DriverPackageOf(const std::wstring& instanceId,
                             std::wstring* publishedName) override {
        for (const Node& node : nodes) {
            if (node.device.instanceId == instanceId && !node.package.empty()) {
                *publishedName = node.package;
                return 0;
            }
        }
        return kErrorFileNotFound;
    }
    uint32_t UninstallPackage(const std::wstring& publishedName) override {
        calls.push_back(L"package " + publishedName);
        if (failPackage)
            return failPackage;
        return store.erase(publishedName) ? 0 : kErrorFileNotFound;
    }
    uint32_t DeleteService(const std::wstring& name) override {
        calls.push_back(L"service " + name);
        if (failService)
            return failService;
        if (!serviceExists)
            return kErrorServiceDoesNotExist;
        serviceExists = false;
        return serviceRunning ? kErrorServiceMarkedForDelete : 0;
    }
    uint32_t AddTrustedPublisher(const uint8_t* certificate, size_t size) override {
        calls.push_back(L"trust");
        if (failAddCert)
            return failAddCert;
        certificateTrusted = true;
        trustedCertificate.assign(certificate, certificate + size);
        return 0;
    }
    uint32_t DeleteTrustedPublisher(const uint8_t* certificate, size_t size) override {
        calls.push_back(L"distrust");
        if (failDeleteCert)
            return failDeleteCert;
        if (trustedCertificate.size() == size &&
            std::equal(trustedCertificate.begin(), trustedCertificate.end(), certificate))
            certificateTrusted = false;
        return 0;
    }

  private:
    uint32_t Erase(const std::wstring& instanceId, bool withChildren, bool* restart) {
        for (auto it = nodes.begin(); it != nodes.end(); ++it) {
            if (it->device.instanceId == instanceId) {
                if (!withChildren)
                    orphanedChildren += it->children;
                nodes.erase(it);
                *restart = removalAsksRestart;
                return 0;
            }
        }
        return kErrorNoSuchDevinst;
    }
    int m_next = 0;
};

// '*' matches any run of characters; enough for the folder patterns used here.
inline bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
    if (*pattern == 0)
        return *text == 0;
    if (*pattern == L'*')
        return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
    return *text && FoldAscii(*pattern) == FoldAscii(*text) && WildcardMatch(pattern + 1, text + 1);
}

class FakeInstallSystem final : public InstallSystem {
  public:
    std::map<std::wstring, uint32_t> files; // full path -> attributes
    std::set<std::wstring> inUse;           // deleting these fails with a sharing violation
    std::vector<std::wstring> deleted;
    std::vector<std::wstring> atRestart;
    std::vector<std::string> entries; // "DllRegisterServer" calls, in order
    bool hasShellExtension = true;
    uint32_t failAtRestart = 0;

    void AddFile(const std::wstring& path, uint32_t attributes = 0x20) { files[path] = attributes; }

    uint32_t ListFolder(const std::wstring& folder, const std::wstring& pattern,
                        std::vector<FolderEntry>* out) override {
        std::wstring prefix = folder + L"\\";
        for (const auto& [path, attributes] : files) {
            if (path.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::wstring name = path.substr(prefix.size());
            if (name.find(L'\\') == std::wstring::npos &&
                WildcardMatch(pattern.c_str(), name.c_str()))
                out->push_back({name, attributes});
        }
        return 0;
    }
    uint32_t Attributes(const std::wstring& path, uint32_t* attributes) override {
        auto found = files.find(path);
        if (found == files.end())
            return kErrorFileNotFound;
        *attributes = found->second;
        return 0;
    }
    uint32_t DeleteOneFile(const std::wstring& path) override {
        auto found = files.find(path);
        if (found == files.end())
            return kErrorFileNotFound;
        if (found->second & kAttributeDirectory)
            return kErrorAccessDenied;
        if (inUse.count(path))
            return kErrorSharingViolation;
        files.erase(found);
        deleted.push_back(path);
        return 0;
    }
    uint32_t RemoveEmptyFolder(const std::wstring& path) override {
        auto found = files.find(path);
        if (found == files.end() || (found->second & kAttributeDirectory) == 0)
            return kErrorFileNotFound;
        std::wstring prefix = path + L"\\";
        for (const auto& entry : files) {
            if (entry.first.compare(0, prefix.size(), prefix) == 0)
                return 145; // ERROR_DIR_NOT_EMPTY
        }
        files.erase(found);
        deleted.push_back(path);
        return 0;
    }
    uint32_t DeleteFileAtRestart(const std::wstring& path) override {
        if (failAtRestart)
            return failAtRestart;
        atRestart.push_back(path);
        return 0;
    }
    std::wstring ExpandEnvironment(const std::wstring& text) override {
        std::wstring out = text;
        const std::wstring root = L"%SystemRoot%";
        size_t at = out.find(root);
        if (at != std::wstring::npos)
            out.replace(at, root.size(), L"C:\\Windows");
        return out;
    }
    uint32_t CallRegistrationEntry(const std::wstring& library, const char* entry) override {
        if (!hasShellExtension)
            return kErrorFileNotFound;
        entries.push_back(entry);
        return 0;
    }
};

class FakeVolumeMounts final : public VolumeMounts {
  public:
    std::map<wchar_t, std::wstring> points; // letter -> volume name
    uint32_t otherDrives = 0;               // letters in use by other drives
    uint32_t failVolumeName = 0, failDelete = 0, failSet = 0, failRestore = 0;
    std::vector<std::wstring> calls;

    uint32_t LogicalDrives() override {
        uint32_t mask = otherDrives;
        for (const auto& point : points)
            mask |= 1u << (point.first - L'A');
        return mask;
    }
    uint32_t VolumeNameOf(wchar_t letter, std::wstring* volume) override {
        calls.push_back(std::wstring(L"name ") + letter);
        if (failVolumeName)
            return failVolumeName;
        auto found = points.find(letter);
        if (found == points.end())
            return kErrorFileNotFound;
        *volume = found->second;
        return 0;
    }
    uint32_t DeleteMountPoint(wchar_t letter) override {
        calls.push_back(std::wstring(L"delete ") + letter);
        if (failDelete)
            return failDelete;
        return points.erase(letter) ? 0 : kErrorFileNotFound;
    }
    uint32_t SetMountPoint(wchar_t letter, const std::wstring& volume) override {
        calls.push_back(std::wstring(L"set ") + letter);
        // The first set is the move, a second one the way back.
        uint32_t fail = m_sets++ == 0 ? failSet : failRestore;
        if (fail)
            return fail;
        points[letter] = volume;
        return 0;
    }

  private:
    int m_sets = 0;
};

class FakeNetwork final : public NetworkConnector {
  public:
    // The share that exists and the credentials it wants.
    std::wstring share = L"\\\\server\\share";
    std::wstring wantedUser = L"alice";
    std::wstring wantedPassword = L"secret";
    uint32_t failure = 1326; // ERROR_LOGON_FAILURE for wrong credentials
    uint32_t providerError = 0;
    std::wstring providerText;
    uint32_t failSave = 0;
    struct Connection {
        std::wstring remote;
        bool hasUser = false;
        bool hasPassword = false;
    };
    std::vector<Connection> connections;
    std::vector<std::pair<std::wstring, std::wstring>> saved; // server, user
    std::vector<std::wstring> savedPasswords;

    uint32_t AddConnection(const std::wstring& remoteName, const wchar_t* user,
                           const wchar_t* password) override {
        connections.push_back({remoteName, user != nullptr, password != nullptr});
        if (!EqualNoCase(remoteName, share))
            return 67; // ERROR_BAD_NET_NAME
        if (!user || !password || wantedUser != user || wantedPassword != password)
            return failure;
        return 0;
    }
    uint32_t LastProviderError(uint32_t* error, std::wstring* text,
                               std::wstring* provider) override {
        if (providerText.empty())
            return kErrorNotSupported;
        *error = providerError;
        *text = providerText;
        *provider = L"Microsoft Windows Network";
        return 0;
    }
    uint32_t SaveCredential(const std::wstring& server, const std::wstring& user,
                            const wchar_t* password) override {
        if (failSave)
            return failSave;
        saved.emplace_back(server, user);
        savedPasswords.emplace_back(password ? password : L"");
        return 0;
    }
};

class FakeLauncher final : public Launcher {
  public:
    struct Start {
        std::wstring program;
        std::wstring parameters;
        std::wstring verb;
    };
    std::vector<Start> starts;
    uint32_t error = 0;
    uint32_t exitCode = 0;
    uint32_t RunAndWait(const std::wstring& program, const std::wstring& parameters,
                        const wchar_t* verb, void* owner, uint32_t* code) override {
        starts.push_back({program, parameters, verb});
        if (error)
            return error;
        *code = exitCode;
        return 0;
    }
};

class FakeElevation final : public Elevation {
  public:
    bool admin = false;
    bool IsUserAdmin() override { return admin; }
};

} // namespace vostrale::app::test

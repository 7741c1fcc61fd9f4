// Fakes for the report flow: a machine registry with RegQueryValueExW's rules, machine facts,
// and a report environment over an in-memory file system.
#pragma once

#include "app/crash_report.h"
#include "app/system_report.h"

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace vostrale::app::test {

struct FakeValue {
    uint32_t type = 1;
    std::vector<uint8_t> data;
};

inline FakeValue Sz(const std::wstring& s, bool terminated = true) {
    FakeValue v;
    for (wchar_t c : s) {
        v.data.push_back(uint8_t(c));
        v.data.push_back(uint8_t(c >> 8));
    }
    if (terminated) {
        v.data.push_back(0);
        v.data.push_back(0);
    }
    return v;
}

class FakeMachineRegistry final : public MachineRegistry {
  public:
    // (view, key) -> sub-key names; (view, key, name) -> value. View Default stands for both.
    std::map<std::pair<int, std::wstring>, std::vector<std::wstring>> keys;
    std::map<std::tuple<int, std::wstring, std::wstring>, FakeValue> values;
    std::vector<int> enumeratedViews;

    bool SubKeys(const std::wstring& key, RegistryView view,
                 std::vector<std::wstring>* names) override {
        auto it = keys.find({int(view), key});
        if (it == keys.end())
            return false;
        enumeratedViews.push_back(int(view));
        *names = it->second;
        return true;
    }
    uint32_t QueryValue(const std::wstring& key, RegistryView view, const std::wstring& name,
                        uint32_t* type, void* data, uint32_t* size) override {
        auto it = values.find({int(view), key, name});
        if (it == values.end())
            return 2;
        const FakeValue& v = it->second;
        *type = v.type;
        if (data && *size < v.data.size()) {
            *size = uint32_t(v.data.size());
            return 234;
        }
        if (data)
            std::memcpy(data, v.data.data(), v.data.size());
        *size = uint32_t(v.data.size());
        return 0;
    }
};

class FakeMachineFacts final : public MachineFacts {
  public:
    bool wow64 = true;
    std::wstring driveList; // NUL-separated roots
    std::map<std::wstring, uint32_t> types;
    std::map<std::wstring, VolumeFacts> volumes;
    std::map<std::wstring, std::pair<uint64_t, uint64_t>> space;
    std::map<std::wstring, std::wstring> environment = {{L"NUMBER_OF_PROCESSORS", L"8"}};
    std::vector<uint32_t> driveListSizes;

    uint32_t SystemLocale() override { return 1033; }
    uint32_t UserLocale() override { return 1031; }
    bool HasWow64View() override { return wow64; }
    bool Environment(const std::wstring& name, std::wstring* value) override {
        auto it = environment.find(name);
        if (it == environment.end())
            return false;
        *value = it->second;
        return true;
    }
    bool Memory(uint64_t* total, uint64_t* available) override {
        *total = 8ull << 30;
        *available = (3ull << 30) + (512ull << 20) + (50ull << 10);
        return true;
    }
    uint32_t LogicalDriveStrings(uint32_t chars, wchar_t* buffer) override {
        driveListSizes.push_back(chars);
        if (driveList.size() + 1 > chars)
            return uint32_t(driveList.size() + 1);
        std::memcpy(buffer, driveList.data(), driveList.size() * sizeof(wchar_t));
        buffer[driveList.size()] = 0;
        return uint32_t(driveList.size());
    }
    uint32_t DriveType(const std::wstring& root) override {
        auto it = types.find(root);
        return it == types.end() ? 1 : it->second;
    }
    bool Volume(const std::wstring& root, VolumeFacts* facts) override {
        auto it = volumes.find(root);
        if (it == volumes.end())
            return false;
        *facts = it->second;
        return true;
    }
    bool FreeSpace(const std::wstring& root, uint64_t* total, uint64_t* free) override {
        auto it = space.find(root);
        if (it == space.end())
            return false;
        *total = it->second.first;
        *free = it->second.second;
        return true;
    }
};

class FakeReportEnvironment : public ReportEnvironment {
  public:
    ReportIdentity identity;
    bool elevated = false;
    std::wstring folder = L"C:\\Users\\me\\Documents\\Vostrale\\";
    std::map<std::wstring, std::vector<uint8_t>> files;
    std::vector<std::wstring> failWrites;
    int monitors = 2;
    std::vector<std::wstring> events; // removes, writes and starts in order
    std::wstring startedProgram;
    std::vector<uint8_t> startedBlock;
    int starts = 0;
    FakeMachineRegistry registry;
    FakeMachineFacts facts;

    FakeReportEnvironment() { identity.host = "127.0.0.1:8080"; }
    const ReportIdentity& Identity() override { return identity; }
    bool IsElevated() override { return elevated; }
    std::wstring ReportFolder() override { return folder; }
    bool ReadFile(const std::wstring& path, std::vector<uint8_t>* data) override {
        auto it = files.find(path);
        if (it == files.end())
            return false;
        *data = it->second;
        return true;
    }
    bool FileSize(const std::wstring& path, uint64_t* size) override {
        auto it = files.find(path);
        if (it == files.end())
            return false;
        *size = it->second.size();
        return true;
    }
    bool WriteNewFile(const std::wstring& path, const std::vector<uint8_t>& data) override {
        events.push_back(L"write " + path);
        for (const std::wstring& f : failWrites) {
            if (f == path)
                return false;
        }
        files[path] = data;
        return true;
    }
    bool RemoveFile(const std::wstring& path) override {
        events.push_back(L"remove " + path);
        return files.erase(path) != 0;
    }
    int CaptureScreenshots(const std::wstring& dir) override {
        for (int i = 1; i <= monitors; ++i)
            files[dir + L"screen" + std::to_wstring(i) + L".jpg"] = {0xFF, 0xD8, uint8_t(i), 0xFF, 0xD9};
        return monitors;
    }
    MachineRegistry* Registry() override { return &registry; }
    MachineFacts* Facts() override { return &facts; }
    LocalTime Now() override { return {2026, 12, 11, 12, 0, 0}; }
    std::wstring ProgramPath() override { return programPath; }
    std::wstring programPath = L"C:\\Program Files\\Vostrale\\vostrale.exe";
    bool NarrowText(const std::wstring& text, bool, std::string* out) override {
        out->clear();
        for (wchar_t c : text) {
            if (c > 0x7F)
                return false;
            out->push_back(char(c));
        }
        return true;
    }
    bool StartProcess(const std::wstring& program, const std::vector<uint8_t>& block) override {
        events.push_back(L"start " + program);
        ++starts;
        startedProgram = program;
        startedBlock = block;
        return true;
    }
};

} // namespace vostrale::app::test

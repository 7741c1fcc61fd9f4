// The in-process drive engine behind the program's device interfaces: an adapter handle or one
// drive's handle on a HostAdapter, as "\\.\Scsi1:" and the drives E:, F: and G:.
#pragma once

#include "app/interfaces.h"
#include "driver/host/host_adapter.h"

#include <memory>
#include <string>
#include <vector>

namespace vostrale::app::test {

inline constexpr uint8_t kHostDriveLetters[] = {'E', 'F', 'G'};

class HostDevice final : public Device {
  public:
    HostDevice(HostAdapter* adapter, int target) : m_adapter(adapter), m_target(target) {}
    bool Control(void* buffer, uint32_t size) override { return m_adapter->Control(buffer, size); }
    bool GetScsiAddress(ScsiAddress* address) override {
        if (m_target < 0)
            return false;
        address->targetId = uint8_t(m_target);
        return true;
    }
    bool EjectMedia() override { return false; }
    bool LoadMedia() override { return false; }

  private:
    HostAdapter* m_adapter;
    int m_target; // -1: the adapter itself
};

// The adapter is the second SCSI port; its three drives are E:, F: and G:.
class HostNamespace final : public DeviceNamespace {
  public:
    explicit HostNamespace(HostAdapter* adapter) : m_adapter(adapter) {}
    bool ListDosDevices(std::vector<std::wstring>* names) override {
        *names = {L"C:", L"Scsi0:", L"Scsi1:"};
        return true;
    }
    bool QueryDosTarget(const std::wstring& name, std::wstring* target) override {
        *target = name == L"Scsi1:" ? L"\\Device\\RaidPort1" : L"\\Device\\Ide\\IdePort0";
        return name != L"C:";
    }
    std::unique_ptr<Device> Open(const std::wstring& path) override {
        if (path == L"\\\\.\\Scsi1:")
            return std::make_unique<HostDevice>(m_adapter, -1);
        for (int i = 0; i < 3; ++i) {
            if (path == std::wstring(L"\\\\.\\") + wchar_t(kHostDriveLetters[i]) + L":")
                return std::make_unique<HostDevice>(m_adapter, i);
        }
        return nullptr;
    }
    uint32_t DriveType(wchar_t letter) override {
        return letter >= L'E' && letter <= L'G' ? kDriveCdRom : 1;
    }

  private:
    HostAdapter* m_adapter;
};

} // namespace vostrale::app::test

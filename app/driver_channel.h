// The tray program's side of the driver channel: finding and validating the driver's adapter,
// opening single virtual drives, and sending control requests.
#pragma once

#include "app/interfaces.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vostrale::app {

constexpr uint32_t kNoAdapterNumber = 0xFFFFFFFFu;
constexpr uint32_t kNoDrive = 0xFFFFFFFFu;
constexpr uint8_t kDriverMajor = 1;
constexpr uint8_t kDriverMinor = 0;

// A virtual drive opened by its letter, with its drive index (below kMaxDrives).
struct DriveHandle {
    std::unique_ptr<Device> device;
    uint32_t index = kNoDrive;
    explicit operator bool() const { return device != nullptr; }
};

// Fills the header of `buffer` (magic, code, size - 16, value) and sends it through `device`.
// The caller has zeroed the buffer and filled the body. The result is the request's success;
// the reply is in `buffer` only on success.
bool SendControlRequest(Device* device, void* buffer, uint32_t size, uint32_t code, uint32_t value);

// Drive count from the driver, at most kMaxDrives; 0 when the request fails.
uint32_t GetDriveCount(Device* device);
// Whether the drive reports a mounted image (a refused request means empty).
bool DriveHasImage(Device* device, uint32_t index);
// QueryDrive: true when the drive reports an image; *trayOpen then tells whether its tray is
// open. A refused request means an empty drive.
bool QueryDrive(Device* device, uint32_t index, bool* trayOpen);
// First free drive index, or kNoDrive when the request fails or no index below 7 comes back.
uint32_t FindFreeDrive(Device* device);
bool SetDriveCount(Device* device, uint32_t count, bool permanent);

class DriverChannel {
  public:
    explicit DriverChannel(DeviceNamespace* devices) : m_devices(devices) {}

    // "\\.\ScsiN:", accepted only when it answers Ping and the layout sizes 128 and 24.
    std::unique_ptr<Device> OpenAdapterByNumber(uint32_t number);
    // The remembered adapter number first, then every SCSI port among the DOS devices.
    std::unique_ptr<Device> FindAdapter();
    // A CD-ROM drive letter A-Z that answers the driver's Ping and names a target below 7.
    DriveHandle OpenDriveByLetter(wchar_t letter);

    uint32_t RememberedAdapter() const { return m_adapterNumber; }

  private:
    DeviceNamespace* m_devices;
    uint32_t m_adapterNumber = kNoAdapterNumber;
};

// Reads "Scsi<N>:" into N; false for anything else (including numbers that overflow).
bool ParseScsiPortName(const std::wstring& name, uint32_t* number);

// GetVersion: the driver's version bytes, only when the request succeeded.
bool GetDriverVersion(Device* device, uint8_t* major, uint8_t* minor);

// The start-up check: an adapter must exist and report version 1.0. Shows the messages.
bool CheckDriverVersion(DriverChannel* channel, Ui* ui);

bool EjectMedia(Device* drive);
bool LoadMedia(Device* drive);

} // namespace vostrale::app

#include "app/driver_channel.h"

#include "app/text.h"
#include "common/bytes.h"

#include <cstring>

namespace vostrale::app {

namespace {

constexpr uint32_t kHeaderSize = sizeof(ControlHeader);
constexpr uint32_t kLayoutSizesRequest = kHeaderSize + 8;
constexpr uint32_t kQueryDriveRequest = kHeaderSize + 8;
constexpr uint32_t kVersionRequest = kHeaderSize + 4;
constexpr uint32_t kSetDriveCountRequest = kHeaderSize + 4;

// Body offsets of the replies read here.
constexpr uint32_t kLayoutMountSize = kHeaderSize + 0;
constexpr uint32_t kLayoutTrackEntrySize = kHeaderSize + 4;
constexpr uint32_t kQueryMounted = kHeaderSize + 2;
constexpr uint32_t kQueryTrayOpen = kHeaderSize + 3;
constexpr uint32_t kVersionMajor = kHeaderSize + 2;
constexpr uint32_t kVersionMinor = kHeaderSize + 3;
constexpr uint32_t kDriveCountValue = kHeaderSize + 0;
constexpr uint32_t kDriveCountPermanent = kHeaderSize + 1;

const wchar_t kRaidPortPrefix[] = L"\\Device\\RaidPort";
const wchar_t kOwnPortPrefix[] = L"\\Device\\Scsi\\vostrale";

uint32_t HeaderValue(const uint8_t* buffer) {
    return LoadLe32(buffer + offsetof(ControlHeader, value));
}

bool IsAdapterTarget(const std::wstring& target) {
    return StartsWithNoCase(target, kRaidPortPrefix) || StartsWithNoCase(target, kOwnPortPrefix);
}

} // namespace

bool SendControlRequest(Device* device, void* buffer, uint32_t size, uint32_t code,
                        uint32_t value) {
    if (!device || size < kHeaderSize)
        return false;
    auto* bytes = static_cast<uint8_t*>(buffer);
    StoreLe32(bytes + offsetof(ControlHeader, magic), kControlMagic);
    StoreLe32(bytes + offsetof(ControlHeader, code), code);
    StoreLe32(bytes + offsetof(ControlHeader, bodyLength), size - kHeaderSize);
    StoreLe32(bytes + offsetof(ControlHeader, value), value);
    return device->Control(bytes, size);
}

uint32_t GetDriveCount(Device* device) {
    uint8_t buffer[kHeaderSize] = {};
    if (!SendControlRequest(device, buffer, sizeof(buffer), kCtlGetDriveCount, 0))
        return 0;
    uint32_t count = HeaderValue(buffer);
    return count < kMaxDrives ? count : kMaxDrives;
}

bool DriveHasImage(Device* device, uint32_t index) {
    if (index >= kMaxDrives)
        return false;
    uint8_t buffer[kQueryDriveRequest] = {};
    if (!SendControlRequest(device, buffer, sizeof(buffer), kCtlQueryDrive, index))
        return false;
    return buffer[kQueryMounted] != 0;
}

bool QueryDrive(Device* device, uint32_t index, bool* trayOpen) {
    *trayOpen = false;
    if (index >= kMaxDrives)
        return false;
    uint8_t buffer[kQueryDriveRequest] = {};
    if (!SendControlRequest(device, buffer, sizeof(buffer), kCtlQueryDrive, index) ||
        buffer[kQueryMounted] == 0)
        return false;
    *trayOpen = buffer[kQueryTrayOpen] != 0;
    return true;
}

uint32_t FindFreeDrive(Device* device) {
    uint8_t buffer[kHeaderSize] = {};
    // A refused request copies nothing back, so the header value would still be our own 0.
    if (!SendControlRequest(device, buffer, sizeof(buffer), kCtlFindFreeDrive, 0))
        return kNoDrive;
    uint32_t index = HeaderValue(buffer);
    return index < kMaxDrives ? index : kNoDrive;
}

bool SetDriveCount(Device* device, uint32_t count, bool permanent) {
    if (count > kMaxDrives)
        return false;
    uint8_t buffer[kSetDriveCountRequest] = {};
    buffer[kDriveCountValue] = uint8_t(count);
    buffer[kDriveCountPermanent] = permanent ? 1 : 0;
    return SendControlRequest(device, buffer, sizeof(buffer), kCtlSetDriveCount, 0);
}

std::unique_ptr<Device> DriverChannel::OpenAdapterByNumber(uint32_t number) {
    std::unique_ptr<Device> device =
        m_devices->Open(L"\\\\.\\Scsi" + std::to_wstring(number) + L":");
    if (!device)
        return nullptr;
    uint8_t ping[kHeaderSize] = {};
    if (!SendControlRequest(device.get(), ping, sizeof(ping), kCtlPing, 0))
        return nullptr;
    uint8_t sizes[kLayoutSizesRequest] = {};
    if (!SendControlRequest(device.get(), sizes, sizeof(sizes), kCtlGetLayoutSizes, 0))
        return nullptr;
    if (LoadLe32(sizes + kLayoutMountSize) != kMountRequestSize ||
        LoadLe32(sizes + kLayoutTrackEntrySize) != sizeof(TrackEntry))
        return nullptr;
    return device;
}

bool ParseScsiPortName(const std::wstring& name, uint32_t* number) {
    const std::wstring prefix = L"Scsi";
    if (name.compare(0, prefix.size(), prefix) != 0)
        return false;
    size_t at = prefix.size();
    uint32_t value = 0;
    size_t digits = 0;
    while (at < name.size() && name[at] >= L'0' && name[at] <= L'9') {
        uint32_t digit = uint32_t(name[at] - L'0');
        if (value > (kNoAdapterNumber - 1 - digit) / 10)
            return false;
        value = value * 10 + digit;
        ++at;
        ++digits;
    }
    if (digits == 0 || at >= name.size() || name[at] != L':')
        return false;
    *number = value;
    return true;
}

std::unique_ptr<Device> DriverChannel::FindAdapter() {
    if (m_adapterNumber != kNoAdapterNumber) {
        if (std::unique_ptr<Device> device = OpenAdapterByNumber(m_adapterNumber))
            return device;
        m_adapterNumber = kNoAdapterNumber;
    }
    std::vector<std::wstring> names;
    if (!m_devices->ListDosDevices(&names))
        return nullptr;
    for (const std::wstring& name : names) {
        uint32_t number = 0;
        if (!ParseScsiPortName(name, &number))
            continue;
        std::wstring target;
        if (!m_devices->QueryDosTarget(name, &target) || !IsAdapterTarget(target))
            continue;
        if (std::unique_ptr<Device> device = OpenAdapterByNumber(number)) {
            m_adapterNumber = number;
            return device;
        }
    }
    return nullptr;
}

DriveHandle DriverChannel::OpenDriveByLetter(wchar_t letter) {
    DriveHandle drive;
    if (letter < L'A' || letter > L'Z')
        return drive;
    if (m_devices->DriveType(letter) != kDriveCdRom)
        return drive;
    std::unique_ptr<Device> device = m_devices->Open(std::wstring(L"\\\\.\\") + letter + L":");
    if (!device)
        return drive;
    ScsiAddress address;
    if (!device->GetScsiAddress(&address))
        return drive;
    uint8_t ping[kHeaderSize] = {};
    if (!SendControlRequest(device.get(), ping, sizeof(ping), kCtlPing, 0))
        return drive;
    // The target id becomes a drive index in requests: one of 7 or more is not a drive of ours.
    if (address.targetId >= kMaxDrives)
        return drive;
    drive.device = std::move(device);
    drive.index = address.targetId;
    return drive;
}

bool GetDriverVersion(Device* device, uint8_t* major, uint8_t* minor) {
    uint8_t buffer[kVersionRequest] = {};
    if (!SendControlRequest(device, buffer, sizeof(buffer), kCtlGetVersion, 0))
        return false;
    *major = buffer[kVersionMajor];
    *minor = buffer[kVersionMinor];
    return true;
}

bool CheckDriverVersion(DriverChannel* channel, Ui* ui) {
    std::unique_ptr<Device> adapter = channel->FindAdapter();
    if (!adapter) {
        ui->ShowMessage(L"No Driver Installed", kProductCaption, MessageIcon::Stop, false);
        return false;
    }
    // A failed request leaves the zeroed body, so its version bytes cannot pass.
    uint8_t major = 0;
    uint8_t minor = 0;
    bool sent = GetDriverVersion(adapter.get(), &major, &minor);
    if (major == kDriverMajor && minor == kDriverMinor)
        return true;
    wchar_t line[64];
    FormatInto(line, sizeof(line) / sizeof(line[0]), L"%d!=%d, %d!=%d rs=%d", int(major),
               int(kDriverMajor), int(minor), int(kDriverMinor), sent ? 1 : 0);
    ui->ShowMessage(line, nullptr, MessageIcon::None, false);
    ui->ShowMessage(L"Version mismatch", kProductCaption, MessageIcon::Stop, false);
    return false;
}

bool EjectMedia(Device* drive) {
    return drive && drive->EjectMedia();
}

bool LoadMedia(Device* drive) {
    return drive && drive->LoadMedia();
}

} // namespace vostrale::app

// StorPort as the model plays it: it loads the driver, calls its registration, finds and
// starts the adapter, sends SCSI request blocks through HwStartIo and device-control requests
// through the driver's dispatch table, and checks that every request completes exactly once.
#pragma once

#include "tests/ntsim/model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

struct ScsiResult {
    uint8_t srbStatus = 0;
    uint8_t scsiStatus = 0;
    std::vector<uint8_t> sense; // the sense bytes reported (autosense)
    std::vector<uint8_t> data;  // the bytes delivered
    uint32_t retries = 0;       // resubmissions after SRB_STATUS_BUSY
};

struct ControlResult {
    int32_t status = 0;
    uint32_t bytes = 0; // bytes returned to the caller's buffer
};

struct PendingRequest;

namespace port {

constexpr uint8_t kSrbStatusSuccess = 0x01;
constexpr uint8_t kSrbStatusBusy = 0x05;
constexpr uint8_t kSrbStatusBusReset = 0x09;
constexpr uint32_t kControlCode = 0x43334;

// Maps the image and runs DriverEntry; false with a message when either fails.
bool Load(const std::string& path, std::string* error);
bool Loaded();
// Adapter discovery and start (HwFindAdapter, HwInitialize, the supported control types).
bool StartAdapter(std::string* error);
bool AdapterStarted();

// One SCSI request, sent from the calling thread; waits for its completion and resubmits it
// while the driver answers SRB_STATUS_BUSY.
ScsiResult Scsi(uint8_t target, const std::vector<uint8_t>& cdb, uint32_t transferLength,
                uint8_t senseLength = 18, uint8_t function = 0, uint8_t lun = 0);
// The same in two halves, so that requests can be queued before any completes.
PendingRequest* Submit(uint8_t target, const std::vector<uint8_t>& cdb, uint32_t transferLength,
                       uint8_t function = 0);
ScsiResult Wait(PendingRequest* request);
size_t Outstanding();

// DeviceIoControl as it reaches the driver from a thread of `sender`: METHOD_BUFFERED, the
// input copied into the system buffer, the reply copied back (at most `outputLength` bytes).
ControlResult DeviceControl(Process* sender, uint32_t code, std::vector<uint8_t>* buffer,
                            uint32_t outputLength);

// Makes the next `count` lookups of a request's system address fail.
void FailSystemAddress(uint32_t count);
// Calls HwResetBus at DISPATCH_LEVEL.
bool ResetBus();
uint32_t BusChanges();

// Adapter removal: HwFreeAdapterResources; every request must be complete afterwards and the
// device-control routine back in place.
void RemoveAdapter();
// Unmaps the image; returns what the driver still held (empty: nothing).
std::string Unload();

} // namespace port
} // namespace ntsim

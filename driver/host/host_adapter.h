// The driver's two doors in one process: control requests as the byte buffers DeviceIoControl
// carries, and SCSI requests as a miniport receives them. Each drive's requests run on that
// drive's worker, in queue order with mounts and unmounts.
#pragma once

#include "driver/core/engine.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vostrale {

struct ScsiOutcome {
    uint8_t srbStatus = 0;      // SRB status, 0x80 set when sense was delivered
    uint8_t scsiStatus = 0;     // 0 GOOD, 2 CHECK CONDITION
    std::vector<uint8_t> sense; // the sense bytes delivered (empty: none)
    uint32_t bytes = 0;         // data bytes delivered
};

class HostAdapter {
  public:
    // The drive count comes from the stored NumberOfDrives (host::SetStoredDriveCount).
    HostAdapter();
    ~HostAdapter();
    HostAdapter(const HostAdapter&) = delete;
    HostAdapter& operator=(const HostAdapter&) = delete;

    bool Valid() const { return m_adapter != nullptr; }

    // One control request: `size` bytes in, the reply in the same buffer. False: refused.
    bool Control(void* buffer, size_t size, uint32_t* bytesReturned = nullptr);

    // One SCSI request; blocks until the drive's worker has completed it.
    ScsiOutcome Scsi(uint8_t pathId, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                     size_t cdbLength, void* data, uint32_t transferLength,
                     uint8_t senseLength = 18, uint8_t function = kSrbFunctionExecuteScsi);

    // Bus-change notifications received so far.
    uint32_t BusChanges() const { return m_busChanges.load(); }

    // Called by the platform services.
    void OnBusChange() { ++m_busChanges; }

  private:
    Adapter* m_adapter = nullptr;
    std::atomic<uint32_t> m_busChanges{0};
};

} // namespace vostrale

// The drive engine's two doors: control requests (the private device-control buffer) and SCSI
// requests (one per SRB). The port layer (driver/nt or driver/host) owns the adapter object and
// translates its own request blocks into ScsiRequest.
#pragma once

#include "common/kstd.h"
#include "driver/core/platform_services.h"

namespace vostrale {

// SRB status values the engine reports.
constexpr uint8_t kSrbStatusSuccess = 0x01;
constexpr uint8_t kSrbStatusError = 0x04;
constexpr uint8_t kSrbStatusInvalidRequest = 0x06;
constexpr uint8_t kSrbStatusInvalidPathId = 0x07;
constexpr uint8_t kSrbStatusBusReset = 0x09;
constexpr uint8_t kSrbStatusDataOverrun = 0x12;
constexpr uint8_t kSrbStatusInvalidLun = 0x20;
constexpr uint8_t kSrbStatusInvalidTargetId = 0x22;
constexpr uint8_t kSrbStatusAutosenseValid = 0x80;

constexpr uint8_t kScsiStatusGood = 0x00;
constexpr uint8_t kScsiStatusCheckCondition = 0x02;

// SRB functions the engine distinguishes.
constexpr uint8_t kSrbFunctionExecuteScsi = 0x00;
constexpr uint8_t kSrbFunctionShutdown = 0x07;
constexpr uint8_t kSrbFunctionFlush = 0x08;
constexpr uint8_t kSrbFunctionPnp = 0x24;

constexpr uint32_t kSenseSize = 18;

enum WorkKind : uint8_t {
    kWorkStop = 0,
    kWorkMount = 1,
    kWorkUnmount = 2,
    kWorkScsi = 3,
    kWorkQuery = 4,
};

// One entry of a drive's queue. A SCSI request carries its own; control requests allocate one.
struct WorkItem {
    ps::QueueLink link;
    ps::Event* done; // null: nobody waits (posted)
    ScsiRequest* request;
    void* parameter; // mount: the prepared disc
    uint8_t posted;
    uint8_t result; // 1 success, 0 failure
    uint8_t kind;   // WorkKind
    uint32_t epoch; // SCSI: the drive's reset count when the request was queued
    // Waited items: 0 queued, 1 running, 2 done, 3 given up by its poster (who waited too
    // long; the worker then frees it).
    uint32_t state;
    uint8_t reply[8]; // query: the snapshot, written by the worker
};

// A SCSI request as the port hands it to the engine. The port fills the inputs, the engine
// fills the outputs and calls ps::NotifyRequestComplete exactly once.
struct ScsiRequest {
    WorkItem item; // engine-owned while the request is queued
    // Inputs.
    uint8_t function;
    uint8_t pathId;
    uint8_t targetId;
    uint8_t lun;
    uint8_t cdbLength;
    uint8_t cdb[16];
    bool autosenseDisabled;
    uint8_t senseLength;     // size of `sense`
    uint8_t* sense;          // may be null
    void* data;              // system address of the data buffer, or null
    uint32_t transferLength; // in: size of `data`; out: bytes delivered
    // Outputs.
    uint8_t srbStatus;
    uint8_t scsiStatus;
    uint8_t senseDelivered; // bytes written into `sense`
    void* portContext;      // the port's own request, untouched by the engine
};

struct Adapter;

// Creates the adapter with the drive count stored as NumberOfDrives (1 when absent, at most 7)
// and starts those drives' workers. Null when not even that could be done.
Adapter* AdapterCreate(void* port);
// Stops every worker (each detaches its disc) and frees the adapter.
void AdapterDestroy(Adapter* adapter);

// Handles one control request in the sender's context. `buffer` holds `inputLength` bytes
// of request and has room for `outputLength` bytes of reply. True: completed, with
// *replyLength bytes to return. False: refused (the port passes it on or fails it).
bool ControlRequest(Adapter* adapter, uint8_t* buffer, uint32_t inputLength, uint32_t outputLength,
                    uint32_t* replyLength);

// Entry for every SCSI request block; never waits. Completes at once or queues the request to
// its drive's worker.
void StartIo(Adapter* adapter, ScsiRequest* request);

// A bus reset: every SCSI request queued and not yet started completes with the bus-reset
// status (from its worker, in queue order), and so does the one in progress, whose file read
// is cancelled. Never waits.
void ResetBus(Adapter* adapter);

} // namespace vostrale

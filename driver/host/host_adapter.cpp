#include "driver/host/host_adapter.h"
#include "driver/host/spin_event.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace vostrale {
namespace {

struct Completion {
    host::SpinEvent done;
};

} // namespace

namespace ps {

void NotifyBusChange(void* port) {
    if (port)
        static_cast<HostAdapter*>(port)->OnBusChange();
}

void NotifyRequestComplete(void*, ScsiRequest* request) {
    static_cast<Completion*>(request->portContext)->done.Set();
}

} // namespace ps

HostAdapter::HostAdapter() {
    m_adapter = AdapterCreate(this);
}

HostAdapter::~HostAdapter() {
    AdapterDestroy(m_adapter);
}

bool HostAdapter::Control(void* buffer, size_t size, uint32_t* bytesReturned) {
    uint32_t reply = 0;
    uint32_t length = size > UINT32_MAX ? UINT32_MAX : uint32_t(size);
    bool ok = m_adapter &&
              ControlRequest(m_adapter, static_cast<uint8_t*>(buffer), length, length, &reply);
    if (bytesReturned)
        *bytesReturned = ok ? reply : 0;
    return ok;
}

ScsiOutcome HostAdapter::Scsi(uint8_t pathId, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                              size_t cdbLength, void* data, uint32_t transferLength,
                              uint8_t senseLength, uint8_t function) {
    ScsiOutcome outcome;
    if (!m_adapter)
        return outcome;
    Completion completion;
    ScsiRequest request;
    std::memset(&request, 0, sizeof(request));
    uint8_t sense[255] = {};
    request.function = function;
    request.pathId = pathId;
    request.targetId = targetId;
    request.lun = lun;
    request.cdbLength = uint8_t(cdbLength > sizeof(request.cdb) ? sizeof(request.cdb) : cdbLength);
    std::memcpy(request.cdb, cdb, request.cdbLength);
    request.autosenseDisabled = senseLength == 0;
    request.sense = sense;
    request.senseLength = senseLength;
    request.data = data;
    request.transferLength = data ? transferLength : 0;
    request.portContext = &completion;
    StartIo(m_adapter, &request);
    completion.done.Wait();
    outcome.srbStatus = request.srbStatus;
    outcome.scsiStatus = request.scsiStatus;
    outcome.sense.assign(sense, sense + request.senseDelivered);
    outcome.bytes = request.transferLength;
    return outcome;
}

} // namespace vostrale

// The control door over arbitrary buffers. The input is also the sender's address space (an
// arena): record fields below the arena size are taken as offsets into it, so tables, TOCs and
// string pools come from the input; anything else is an address outside the arena, which the
// host's sender-memory copy must refuse. A mounted disc is then read with CDBs from the input.
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "fuzz/engine/fuzz_disc.h"

namespace {

using namespace vostrale;

HostAdapter& SharedAdapter() {
    static HostAdapter* adapter = [] {
        host::SetStoredDriveCount(2);
        return new HostAdapter();
    }();
    return *adapter;
}

uint64_t Relocate(uint64_t value, const uint8_t* arena, size_t size) {
    return value != 0 && value < size ? uint64_t(uintptr_t(arena + value)) : value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(ControlHeader))
        return 0;
    HostAdapter& adapter = SharedAdapter();
    std::vector<uint8_t> arena(data, data + size);
    host::SetSenderArena(arena.data(), arena.size());

    // The request buffer: the start of the input (the part DeviceIoControl would copy).
    size_t requestSize = std::min<size_t>(size, kMountRequestSize + 16);
    std::vector<uint8_t> request(data, data + requestSize);
    uint32_t code = LoadLe32(request.data() + 4) % 12;
    StoreLe32(request.data() + 4, code);
    if (code == kCtlMount && requestSize >= kMountRequestSize) {
        MountRecord r;
        std::memcpy(&r, request.data() + sizeof(ControlHeader), sizeof(r));
        r.imageHandle = (r.imageHandle & 1) ? fuzz::SampleImage() : 0;
        if (r.readerKind == kReaderCcd)
            r.kindPointer = (r.kindPointer & 1) ? fuzz::SampleImage() : 0;
        else
            r.kindPointer = Relocate(r.kindPointer, arena.data(), arena.size());
        r.trackTable = Relocate(r.trackTable, arena.data(), arena.size());
        r.discIdentity = Relocate(r.discIdentity, arena.data(), arena.size());
        if (r.readerKind == kReaderMultiFile && r.kindPointer >= uint64_t(uintptr_t(arena.data())) &&
            r.kindPointer < uint64_t(uintptr_t(arena.data() + arena.size()))) {
            // The file table lives in the arena: its handles become the sample file (or none),
            // its seek-table fields offsets into the arena like every other pointer.
            size_t at = size_t(r.kindPointer - uint64_t(uintptr_t(arena.data())));
            for (uint32_t i = 0; i < kMaxDiscFiles && arena.size() - at >= sizeof(DiscFileEntry);
                 ++i, at += sizeof(DiscFileEntry)) {
                DiscFileEntry e;
                std::memcpy(&e, arena.data() + at, sizeof(e));
                e.handle = (e.handle & 1) ? fuzz::SampleImage() : 0;
                e.seekTable = Relocate(e.seekTable, arena.data(), arena.size());
                std::memcpy(arena.data() + at, &e, sizeof(e));
            }
        }
        r.fullToc = Relocate(r.fullToc, arena.data(), arena.size());
        r.cdText = Relocate(r.cdText, arena.data(), arena.size());
        r.discIdentity = Relocate(r.discIdentity, arena.data(), arena.size());
        if (r.readerKind == kReaderFileList)
            SetSegmentTablePointer(&r,
                                   Relocate(SegmentTablePointer(r), arena.data(), arena.size()));
        std::memcpy(request.data() + sizeof(ControlHeader), &r, sizeof(r));
    }
    // Keep at least two drives, so that later inputs still reach a drive.
    if (code == kCtlSetDriveCount && requestSize > sizeof(ControlHeader))
        request[sizeof(ControlHeader)] = uint8_t(2 + request[sizeof(ControlHeader)] % 7);
    bool ok = adapter.Control(request.data(), request.size());

    if (ok && code == kCtlMount) {
        uint8_t target = uint8_t(LoadLe32(request.data() + 12) % kMaxDrives);
        std::vector<uint8_t> buffer(64 * 1024);
        size_t off = requestSize;
        for (int i = 0; i < 4 && size - off >= 14; ++i, off += 14) {
            uint16_t length = LoadLe16(data + off + 12);
            adapter.Scsi(0, target, 0, data + off, 12, buffer.data(), length);
        }
        host::AdvanceClock(4000);
    }
    uint8_t unmountAll[16];
    StoreLe32(unmountAll, kControlMagic);
    StoreLe32(unmountAll + 4, kCtlUnmountAll);
    StoreLe32(unmountAll + 8, 0);
    StoreLe32(unmountAll + 12, 0);
    adapter.Control(unmountAll, sizeof(unmountAll));
    host::ClearSenderArena();
    return 0;
}

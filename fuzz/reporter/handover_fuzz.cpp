// The uploader's inputs from another process: the hand-over block, the report host in it, and
// the request body built from what the block and the dialog give.
#include "reporter/handover.h"
#include "reporter/upload.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    Handover h;
    if (!ParseHandover(data, size, &h))
        return 0;
    ReportTarget target;
    if (ParseReportHost(h.strings[3], &target) && target.port == 0)
        __builtin_trap();
    ReportFields f;
    f.product = h.strings[0];
    f.email = h.strings[1];
    f.content = h.strings[2];
    std::vector<uint8_t> archive(h.archivePath.begin(), h.archivePath.end());
    RequestBody body;
    if (BuildRequestBody(f, true, h.hasArchive ? &archive : nullptr, &body)) {
        uint64_t total = 0;
        for (const std::string& w : body.writes)
            total += w.size();
        if (total != body.length)
            __builtin_trap();
    }
    std::string email = h.strings[1], message = h.strings[2];
    CheckFeedback(&email, &message);
    return 0;
}

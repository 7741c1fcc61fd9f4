// REG_MULTI_SZ walking, share paths and driver-store names over arbitrary bytes.
#include "app/driver_install.h"
#include "app/network_logon.h"
#include "app/text.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale::app;
    std::vector<std::wstring> ids = SplitMultiString(data, size);
    size_t total = 0;
    for (const std::wstring& id : ids)
        total += id.size() + 1;
    if (total > size / 2 + 1)
        __builtin_trap(); // more text than the bytes could hold
    std::wstring text = FromUtf16Bytes(data, size);
    std::wstring share;
    std::wstring server;
    if (ShareOfPath(text, &share, &server) &&
        (server.empty() || share.size() < server.size() + 4 || share.compare(0, 2, L"\\\\") != 0))
        __builtin_trap();
    IsPublishedInfName(text);
    return 0;
}

// A file-list name from a mount record through KernelPathFromAnsi and RootOfKernelPath, and the
// same bytes as a symbolic link's target through ClassifyLinkTarget and NamesDevice.
#include "driver/nt/port_logic.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale::nt;
    std::string name(reinterpret_cast<const char*>(data), size);
    name = name.substr(0, name.find('\0'));
    std::vector<char> kernel(64);
    uint32_t length = KernelPathFromAnsi(name.c_str(), kernel.data(), uint32_t(kernel.size()));
    if (length >= kernel.size() || (length && kernel[length] != 0))
        __builtin_trap();
    if (length) {
        PathRoot root = RootOfKernelPath(kernel.data());
        if (root.unc && root.letter)
            __builtin_trap();
    }
    // Wide characters from byte pairs, with no terminator: only the length bounds them.
    std::vector<wchar_t> target(size / 2);
    for (size_t i = 0; i < target.size(); ++i)
        target[i] = wchar_t(data[2 * i] | data[2 * i + 1] << 8);
    LinkTarget t = ClassifyLinkTarget(target.data(), uint32_t(target.size()));
    if (t.kind == LinkTarget::kDrive && (t.letter < 'A' || t.letter > 'Z'))
        __builtin_trap();
    uint32_t half = uint32_t(target.size() / 2);
    (void)NamesDevice(target.data(), uint32_t(target.size()), target.data() + half,
                      uint32_t(target.size()) - half);
    (void)IsLoopbackHost(target.data(), uint32_t(target.size()));
    return 0;
}

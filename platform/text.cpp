#include "platform/platform.h"

namespace vostrale::platform {

std::wstring WidenText(std::string_view text) {
    // Either encoding gives at most one UTF-16 unit (or one code point) per byte.
    std::wstring out(text.size() + 1, L'\0');
    out.resize(WidenText(text, out.data(), out.size()));
    return out;
}

} // namespace vostrale::platform

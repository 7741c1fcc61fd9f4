#include "app/text.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>
#include <cwctype>

namespace vostrale::app {

wchar_t FoldAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? wchar_t(c + (L'a' - L'A')) : c;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size() || FoldAscii(text[i]) != FoldAscii(prefix[i]))
            return false;
    }
    return true;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(wint_t(a[i])) != std::towlower(wint_t(b[i])))
            return false;
    }
    return true;
}

void FormatInto(wchar_t* out, size_t outChars, const wchar_t* format, ...) {
    if (outChars == 0)
        return;
    // vswprintf gives -1 for text that does not fit, and what it leaves in the buffer then
    // differs between C libraries; so the whole text is made in a buffer that grows, then cut.
    constexpr size_t kMostChars = size_t(1) << 20;
    std::vector<wchar_t> whole(std::max<size_t>(outChars, 256));
    va_list args;
    va_start(args, format);
    for (;;) {
        va_list pass;
        va_copy(pass, args);
        int n = std::vswprintf(whole.data(), whole.size(), format, pass);
        va_end(pass);
        if (n >= 0 && size_t(n) < whole.size()) {
            size_t kept = std::min(size_t(n), outChars - 1);
            std::copy(whole.begin(), whole.begin() + ptrdiff_t(kept), out);
            out[kept] = 0;
            break;
        }
        if (whole.size() >= kMostChars) {
            out[0] = 0; // a conversion the library refuses, not a length
            break;
        }
        whole.resize(whole.size() * 2);
    }
    va_end(args);
}

std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool withTerminator) {
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (wchar_t c : text) {
        bytes.push_back(uint8_t(uint32_t(c) & 0xFF));
        bytes.push_back(uint8_t((uint32_t(c) >> 8) & 0xFF));
    }
    if (withTerminator) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

std::wstring FromUtf16Bytes(const uint8_t* data, size_t byteCount) {
    std::wstring text;
    for (size_t at = 0; byteCount - at >= 2; at += 2) {
        wchar_t c = wchar_t(data[at] | (data[at + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

std::filesystem::path ToPath(const std::wstring& text) {
#ifdef _WIN32
    return std::filesystem::path(text);
#else
    return std::filesystem::path(platform::NarrowText(text));
#endif
}

} // namespace vostrale::app

#include "app/report_text.h"

#include <cstdio>

namespace vostrale::app {

static void AppendCodePoint(std::string* out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out->push_back(char(cp));
    } else if (cp < 0x800) {
        out->push_back(char(0xC0 | (cp >> 6)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(char(0xE0 | (cp >> 12)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (cp >> 18)));
        out->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::string Utf8FromUtf16(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = uint32_t(text[i]);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
            uint32_t next = uint32_t(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendCodePoint(&out, 0x10000 + ((unit & 0x3FF) << 10) + (next & 0x3FF));
                ++i;
                continue;
            }
        }
        AppendCodePoint(&out, unit);
    }
    return out;
}

std::string RegisterText(const RegisterValues& r) {
    // The values go to %X as 32-bit values explicitly: only the low half is printed.
    auto lo = [](uint64_t v) { return unsigned(uint32_t(v)); };
    char buffer[512];
    int n = std::snprintf(buffer, sizeof(buffer),
                          "RAX=%08X\r\nRBX=%08X\r\nRCX=%08X\r\nRDX=%08X\r\nRSI=%08X\r\nRDI=%08X\r\n"
                          "CS:RIP=%04X:%08X\r\n"
                          "SS:ESP=%04X:%08X\r\nEBP=%08X\r\n"
                          "DS=%04X\r\nES=%04X\r\nFS=%04X\r\nGS=%04X\r\n"
                          "Flags=%08X\r\n",
                          lo(r.rax), lo(r.rbx), lo(r.rcx), lo(r.rdx), lo(r.rsi), lo(r.rdi),
                          unsigned(r.cs), lo(r.rip), unsigned(r.ss), lo(r.rsp), lo(r.rbp),
                          unsigned(r.ds), unsigned(r.es), unsigned(r.fs), unsigned(r.gs),
                          unsigned(r.eflags));
    if (n < 0 || size_t(n) >= sizeof(buffer))
        return {};
    return std::string(buffer, size_t(n));
}

size_t ScreenRowStride(uint32_t width) { return (size_t(width) * 3 + 3) & ~size_t(3); }

void BgrToRgb(uint8_t* row, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) {
        uint8_t* p = row + size_t(x) * 3;
        uint8_t b = p[0];
        p[0] = p[2];
        p[2] = b;
    }
}

void Scramble(std::vector<uint8_t>* data) {
    for (uint8_t& b : *data)
        b ^= kReportScrambleKey;
}

} // namespace vostrale::app

// Small pure pieces of a crash report: UTF-16 to UTF-8, the register text, screenshot rows and
// the one-byte scrambling of report entries.
#pragma once

#include "common/handover_layout.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vostrale::app {

// UTF-16 units (wchar_t is 16-bit on Windows; elsewhere each element is taken as one unit,
// or as a whole code point when it is above 0xFFFF) to UTF-8. A surrogate pair is taken only
// for a high surrogate followed by a low one; a lone surrogate becomes U+FFFD. Stops at a NUL.
std::string Utf8FromUtf16(std::wstring_view text);

// The register values of a thread context that the report prints.
struct RegisterValues {
    uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0;
    uint64_t rip = 0, rsp = 0, rbp = 0;
    uint32_t eflags = 0;
    uint16_t cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
};

// "regs.txt": each 64-bit register as its low 32 bits in 8 hex digits, segments in 4, CR LF.
std::string RegisterText(const RegisterValues& regs);

// A 24-bit bitmap scan line is padded to a multiple of 4 bytes.
size_t ScreenRowStride(uint32_t width);
// Turns `width` blue-green-red pixels into red-green-blue, in place.
void BgrToRgb(uint8_t* row, uint32_t width);

// The key shared with the report service.
inline constexpr uint8_t kReportScrambleKey = handover::kScrambleKey;
void Scramble(std::vector<uint8_t>* data);

} // namespace vostrale::app

// Writes ".lng" language files for tests, fuzz seeds and screenshots: the header, an optional
// message table and the sections, all strings UTF-16LE and NUL-terminated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app::test {

struct LngSection {
    uint16_t number = 0;
    uint16_t extra = 0;
    std::vector<std::wstring> strings;
};

struct LngContents {
    std::wstring name = L"Test";
    uint16_t langId = 0x0407;
    bool hasMessages = true;
    std::vector<std::wstring> messages;
    std::vector<LngSection> sections;
    bool endMarker = true; // an "F" section after the last one
};

inline void PutLe16(std::vector<uint8_t>* out, size_t at, uint16_t value) {
    (*out)[at] = uint8_t(value);
    (*out)[at + 1] = uint8_t(value >> 8);
}

inline void PutLngString(std::vector<uint8_t>* out, const std::wstring& text) {
    for (wchar_t c : text) {
        out->push_back(uint8_t(uint32_t(c) & 0xFF));
        out->push_back(uint8_t((uint32_t(c) >> 8) & 0xFF));
    }
    out->push_back(0);
    out->push_back(0);
}

inline std::vector<uint8_t> WriteLng(const LngContents& c) {
    std::vector<uint8_t> out(104, 0);
    out[0] = 'M';
    out[1] = 'U';
    out[2] = 'I';
    out[3] = '0';
    for (size_t i = 0; i < c.name.size() && i < 31; ++i)
        PutLe16(&out, 8 + 2 * i, uint16_t(c.name[i]));
    PutLe16(&out, 72, c.langId);
    PutLe16(&out, 88, uint16_t(c.sections.size() + (c.endMarker ? 1 : 0)));
    if (c.hasMessages) {
        out[97] = 'S';
        PutLe16(&out, 102, uint16_t(c.messages.size()));
        for (const std::wstring& text : c.messages)
            PutLngString(&out, text);
    }
    for (const LngSection& section : c.sections) {
        size_t at = out.size();
        out.resize(at + 8, 0);
        out[at + 1] = 'D';
        PutLe16(&out, at + 2, section.number);
        PutLe16(&out, at + 4, section.extra);
        PutLe16(&out, at + 6, uint16_t(section.strings.size()));
        for (const std::wstring& text : section.strings)
            PutLngString(&out, text);
    }
    if (c.endMarker) {
        size_t at = out.size();
        out.resize(at + 8, 0);
        out[at + 1] = 'F';
    }
    return out;
}

} // namespace vostrale::app::test

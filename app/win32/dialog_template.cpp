#include "app/win32/dialog_template.h"

#include <cstring>

namespace vostrale::app {

namespace {
constexpr size_t kCountOffset = 4; // WORDs before DLGTEMPLATE::cdit
} // namespace

DialogTemplate::DialogTemplate(DWORD style, short x, short y, short cx, short cy,
                               const ScrambledText& title, WORD pointSize,
                               const std::wstring& face) {
    Dword(style | DS_SETFONT);
    Dword(0); // extended style
    Word(0);  // item count, filled in by Add
    Word(WORD(x));
    Word(WORD(y));
    Word(WORD(cx));
    Word(WORD(cy));
    Word(0); // no menu
    Word(0); // the default dialog class
    Text(title.Plain());
    Word(pointSize);
    Text(face);
}

void DialogTemplate::Add(const std::wstring& windowClass, const ScrambledText& text, WORD id,
                         DWORD style, short x, short y, short cx, short cy, DWORD exStyle) {
    Align();
    Dword(style | WS_CHILD);
    Dword(exStyle);
    Word(WORD(x));
    Word(WORD(y));
    Word(WORD(cx));
    Word(WORD(cy));
    Word(id);
    Text(windowClass);
    Text(text.Plain());
    Word(0); // no creation data
    m_words[kCountOffset] = ++m_count;
}

const DLGTEMPLATE* DialogTemplate::Get() {
    m_aligned.assign((m_words.size() + 1) / 2, 0);
    std::memcpy(m_aligned.data(), m_words.data(), m_words.size() * sizeof(WORD));
    return reinterpret_cast<const DLGTEMPLATE*>(m_aligned.data());
}

void DialogTemplate::Word(WORD value) {
    m_words.push_back(value);
}

void DialogTemplate::Dword(DWORD value) {
    Word(WORD(value & 0xFFFF));
    Word(WORD(value >> 16));
}

void DialogTemplate::Text(const std::wstring& text) {
    for (wchar_t c : text)
        Word(WORD(c));
    Word(0);
}

void DialogTemplate::Align() {
    if (m_words.size() % 2)
        Word(0);
}

} // namespace vostrale::app

#include "app/win32/dialog_template.h"

namespace vostrale::app {

namespace {
constexpr size_t kCountWord = 4; // cdit: after style and extended style
} // namespace

DialogTemplate::DialogTemplate(const std::wstring& caption, DWORD style, short cx, short cy,
                               DWORD exStyle) {
    PutDword(style | DS_SETFONT);
    PutDword(exStyle);
    m_words.push_back(0); // cdit, counted as items arrive
    m_words.push_back(0); // x
    m_words.push_back(0); // y
    m_words.push_back(WORD(cx));
    m_words.push_back(WORD(cy));
    m_words.push_back(0); // no menu
    m_words.push_back(0); // the standard dialog class
    PutString(caption);
    m_words.push_back(8); // point size
    PutString(L"MS Shell Dlg");
}

void DialogTemplate::Align() {
    // The vector's data is suitably aligned, so word offsets decide the alignment.
    if (m_words.size() % 2)
        m_words.push_back(0);
}

void DialogTemplate::PutDword(DWORD value) {
    m_words.push_back(WORD(value & 0xFFFF));
    m_words.push_back(WORD(value >> 16));
}

void DialogTemplate::PutString(const std::wstring& text) {
    for (wchar_t c : text)
        m_words.push_back(WORD(c));
    m_words.push_back(0);
}

void DialogTemplate::BeginItem(DWORD style, DWORD exStyle, short x, short y, short cx, short cy,
                               WORD id) {
    Align();
    PutDword(style | WS_CHILD | WS_VISIBLE);
    PutDword(exStyle);
    m_words.push_back(WORD(x));
    m_words.push_back(WORD(y));
    m_words.push_back(WORD(cx));
    m_words.push_back(WORD(cy));
    m_words.push_back(id);
}

void DialogTemplate::EndItem(const std::wstring& text) {
    PutString(text);
    m_words.push_back(0); // no creation data
    m_words[kCountWord] = ++m_count;
}

void DialogTemplate::Add(WORD classAtom, WORD id, const std::wstring& text, DWORD style, short x,
                         short y, short cx, short cy, DWORD exStyle) {
    BeginItem(style, exStyle, x, y, cx, cy, id);
    m_words.push_back(0xFFFF);
    m_words.push_back(classAtom);
    EndItem(text);
}

void DialogTemplate::Add(const std::wstring& className, WORD id, const std::wstring& text,
                         DWORD style, short x, short y, short cx, short cy, DWORD exStyle) {
    BeginItem(style, exStyle, x, y, cx, cy, id);
    PutString(className);
    EndItem(text);
}

} // namespace vostrale::app

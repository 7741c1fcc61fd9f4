// A dialog template built in memory: the small setup dialogs need no resource script.
#pragma once

#include <windows.h>

#include <vector>

namespace vostrale::app {

class DialogTemplate {
  public:
    static constexpr WORD kButton = 0x0080;
    static constexpr WORD kEdit = 0x0081;
    static constexpr WORD kStatic = 0x0082;
    static constexpr WORD kComboBox = 0x0085;

    DialogTemplate(const wchar_t* title, short cx, short cy) {
        DWORD style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        PutDword(style);
        PutDword(0);   // extended style
        m_countAt = m_words.size();
        m_words.push_back(0); // item count, filled by Add
        Put(0, 0, cx, cy);
        m_words.push_back(0); // no menu
        m_words.push_back(0); // standard class
        PutText(title);
        m_words.push_back(9); // point size
        PutText(L"MS Shell Dlg");
    }

    void Add(WORD id, WORD classAtom, const wchar_t* text, DWORD style, short x, short y,
             short cx, short cy) {
        if (m_words.size() % 2)
            m_words.push_back(0); // items start on a DWORD boundary
        PutDword(style | WS_CHILD | WS_VISIBLE);
        PutDword(0);
        Put(x, y, cx, cy);
        m_words.push_back(id);
        m_words.push_back(0xFFFF);
        m_words.push_back(classAtom);
        PutText(text);
        m_words.push_back(0); // no creation data
        ++m_words[m_countAt];
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

  private:
    void PutDword(DWORD value) {
        m_words.push_back(WORD(value & 0xFFFF));
        m_words.push_back(WORD(value >> 16));
    }
    void Put(short x, short y, short cx, short cy) {
        for (short value : {x, y, cx, cy})
            m_words.push_back(WORD(value));
    }
    void PutText(const wchar_t* text) {
        for (; *text; ++text)
            m_words.push_back(WORD(*text));
        m_words.push_back(0);
    }

    std::vector<WORD> m_words;
    size_t m_countAt = 0;
};

} // namespace vostrale::app

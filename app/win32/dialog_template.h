// Dialog templates built in memory: a DLGTEMPLATE with its font, then one DLGITEMTEMPLATE per
// control, each on a four-byte boundary, as DialogBoxIndirectParamW expects them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vostrale::app {

// Predefined control classes by atom.
constexpr WORD kClassButton = 0x0080;
constexpr WORD kClassEdit = 0x0081;
constexpr WORD kClassStatic = 0x0082;

class DialogTemplate {
  public:
    // Size in dialog units; DS_SETFONT is added and the font is the shell's dialog font.
    DialogTemplate(const std::wstring& caption, DWORD style, short cx, short cy,
                   DWORD exStyle = 0);
    void Add(WORD classAtom, WORD id, const std::wstring& text, DWORD style, short x, short y,
             short cx, short cy, DWORD exStyle = 0);
    void Add(const std::wstring& className, WORD id, const std::wstring& text, DWORD style,
             short x, short y, short cx, short cy, DWORD exStyle = 0);
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

  private:
    void Align();
    void PutDword(DWORD value);
    void PutString(const std::wstring& text);
    void BeginItem(DWORD style, DWORD exStyle, short x, short y, short cx, short cy, WORD id);
    void EndItem(const std::wstring& text);

    std::vector<WORD> m_words;
    WORD m_count = 0;
};

} // namespace vostrale::app

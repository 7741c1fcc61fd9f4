// In-memory dialog templates (DLGTEMPLATE with DS_SETFONT and its items), built at run time
// so dialogs need no resource script. Caption and control texts are taken only as
// ScrambledText: the template texts are stored scrambled in the program like every built-in
// text; a text known only at run time is set when the dialog initialises.
#pragma once

#include "app/scrambled_text.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

class DialogTemplate {
  public:
    // Size and position in dialog units.
    DialogTemplate(DWORD style, short x, short y, short cx, short cy, const ScrambledText& title,
                   WORD pointSize = 8, const std::wstring& face = L"MS Shell Dlg");
    // A control of a named window class ("BUTTON", "STATIC", "SysLink", "SysListView32", ...).
    void Add(const std::wstring& windowClass, const ScrambledText& text, WORD id, DWORD style,
             short x, short y, short cx, short cy, DWORD exStyle = 0);
    // The finished template, DWORD-aligned, valid while this object lives.
    const DLGTEMPLATE* Get();

  private:
    void Word(WORD value);
    void Dword(DWORD value);
    void Text(const std::wstring& text);
    void Align();
    std::vector<WORD> m_words;
    WORD m_count = 0;
    std::vector<DWORD> m_aligned; // the copy handed out, aligned for DLGTEMPLATE
};

} // namespace vostrale::app

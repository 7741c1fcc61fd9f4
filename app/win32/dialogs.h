// The tray program's own dialogs, from templates built in memory, their texts translated by
// the language table: the about box, the mount failure dialog and the progress window.
#pragma once

#include "app/context.h"
#include "app/web_links.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace vostrale::app {

inline constexpr const wchar_t* kVersionLine = L"Vostrale 1.0.4 (03/02/2017)";
inline constexpr const wchar_t* kProgressCaption = L"Vostrale";

// Resource numbers.
constexpr WORD kIconTray = 12;
constexpr WORD kIconProgram = 13;

// Control numbers.
constexpr WORD kAboutVersion = 50;
constexpr WORD kAboutHomeLink = 51;
constexpr WORD kAboutIcon = 52;
constexpr WORD kAboutFeedbackLink = 3;
constexpr WORD kAboutText = 10;
constexpr WORD kFailureIcon = 9;
constexpr WORD kFailureIntro = 10;
constexpr WORD kFailurePath = 11;
constexpr WORD kFailureReason = 12;
constexpr WORD kFailureHelpLink = 13;
constexpr WORD kFailureReport = 14;
constexpr WORD kProgressBar = 50;
constexpr WORD kProgressSubject = 3;
constexpr WORD kProgressText = 4;

// Sent to the tray window by a dialog it should bring to the front on an icon click: wParam is
// the dialog, or 0 when it ends.
constexpr UINT kNoteDialogMessage = WM_APP + 102;

// Caption and the texts of the direct children ("Button", "Static", "SysLink") from the
// language table. A text that asks for inserts the template's text lacks is not taken.
void ApplyLanguage(const LanguageTable& language, WORD dialog, HWND window);

// The hidden tray window of this process, or null.
HWND FindTrayWindow();

void ShowAboutBox(AppContext& ctx, HWND owner);
void ShowMountFailureDialog(AppContext& ctx, HWND owner, const std::wstring& path,
                            const std::wstring& reason);
// Opens one of the program's web pages.
void OpenWebLink(HWND owner, WebLink link, int showCommand = SW_SHOWNORMAL);

// The progress window on a thread of its own while a parser indexes audio. It stays hidden
// until the parser reports work, and its Cancel sets the record's cancel flag.
class ProgressWindow {
  public:
    ProgressWindow(AppContext& ctx, ProgressRecord* record, const std::wstring& subject);
    ~ProgressWindow(); // closes the window and waits for its thread
    HWND Window() const { return m_window.load(); }

  private:
    static DWORD WINAPI Thread(void* self);
    static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Tick(HWND window);

    AppContext& m_ctx;
    ProgressRecord* m_record;
    std::wstring m_subject;
    std::wstring m_format;
    DWORD m_start = 0;
    bool m_shown = false;
    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    std::atomic<HWND> m_window{nullptr};
};

} // namespace vostrale::app

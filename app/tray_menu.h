// The tray icon's menus as data, built each time from the driver, the device namespace, the
// registry and the history; the menu command numbers and what each command does. The Win32
// side only renders a model and hands back the chosen command number.
#pragma once

#include "app/context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

// Menu command numbers (the low 16 bits of WM_COMMAND's wParam).
constexpr uint32_t kCmdSettings = 100;
constexpr uint32_t kCmdUnmountAll = 103;
constexpr uint32_t kCmdHomePage = 104;
constexpr uint32_t kCmdAbout = 105;
constexpr uint32_t kCmdExit = 106;
constexpr uint32_t kCmdFeedback = 107;
constexpr uint32_t kCmdDriveGroup = 0x1000; // + action << 6 + letter index
constexpr uint32_t kCmdChooseAndMount = 0x1000;
constexpr uint32_t kCmdUnmount = 0x1040;
constexpr uint32_t kCmdEject = 0x1080;
constexpr uint32_t kCmdCloseTray = 0x10C0;
constexpr uint32_t kCmdChangeLetter = 0x1100;
constexpr uint32_t kCmdOpenDrive = 0x1200;
constexpr uint32_t kCmdDriveCount = 0x2000; // + N, N = 0 to 7
constexpr uint32_t kCmdHistory = 0x3000;    // + H * 64 + letter index

constexpr uint32_t kMaxLetterIndex = 25;
constexpr uint32_t kMaxDriveCountEntry = 7;
constexpr size_t kMenuLabelChars = 324; // a label with its terminator

// Bitmap resources shown beside menu items.
enum MenuBitmap : uint16_t {
    kBitmapNone = 0,
    kBitmapDrive = 10,
    kBitmapMount = 11,
    kBitmapUnmount = 12,
    kBitmapHistory = 13,
    kBitmapHomePage = 14,
    kBitmapOpenDrive = 16,
};
constexpr uint16_t kMenuBitmaps[] = {kBitmapDrive,   kBitmapMount,    kBitmapUnmount,
                                     kBitmapHistory, kBitmapHomePage, kBitmapOpenDrive};

struct MenuItem {
    enum Kind { kCommand, kSeparator, kSubMenu } kind = kCommand;
    uint32_t id = 0; // commands only
    std::wstring label;
    bool greyed = false;
    bool checked = false;
    bool isDefault = false; // shown bold: what a double click on the icon does
    uint16_t bitmap = kBitmapNone;
    std::vector<MenuItem> items; // a sub-menu's items
};
using MenuModel = std::vector<MenuItem>;

// A virtual drive as the menus list it.
struct TrayDrive {
    wchar_t letter = 0;
    uint32_t index = 0;
    std::wstring statImage; // the image recorded for the drive; empty when none
    bool queried = false;   // QueryDrive reported an image
    bool trayOpen = false;
};

// The CD-ROM letters A to Z that open as drives of ours, in letter order. With `query` each is
// also asked whether it holds an image and whether its tray is open.
std::vector<TrayDrive> ListTrayDrives(AppContext& ctx, bool query);

// A path as a menu label: control characters become blanks, a path longer than `maxChars`
// (after doubling) loses its middle to "...", and every '&' is doubled so it is no mnemonic.
std::wstring MenuPathText(const std::wstring& path, size_t maxChars);
// Label 4 (empty drive) or 5 (drive with an image), at most kMenuLabelChars - 1 characters.
std::wstring DriveLabel(const LanguageTable& language, wchar_t letter, const std::wstring& image);

MenuModel BuildLeftMenu(AppContext& ctx);
MenuModel BuildRightMenu(AppContext& ctx);
// The command of the item marked default, 0 when none.
uint32_t DefaultCommand(const MenuModel& menu);

// A menu command number taken apart. Anything outside the known groups and bounds is kNone.
struct TrayCommand {
    enum Action {
        kNone,
        kSettings,
        kUnmountAll,
        kHomePage,
        kAbout,
        kExit,
        kFeedback,
        kChooseAndMount,
        kUnmount,
        kEject,
        kCloseTray,
        kChangeLetter,
        kOpenDrive,
        kSetDriveCount,
        kMountHistory,
    } action = kNone;
    uint32_t letter = 0;  // letter index 0 = A
    uint32_t count = 0;   // kSetDriveCount
    uint32_t history = 0; // kMountHistory: 0 = most recent
};
TrayCommand DecodeCommand(uint32_t command);

// What the commands need from the desktop.
class TrayShell {
  public:
    virtual ~TrayShell() = default;
    // The open-file dialog; false when the user cancels.
    virtual bool ChooseImage(std::wstring* path) = 0;
    // The shell's "open" on a folder.
    virtual void OpenFolder(const std::wstring& folder) = 0;
    virtual void OpenHomePage() = 0;
    virtual void ShowAbout() = 0;
    virtual void Exit() = 0;
    // The window dialogs opened from the tray belong to.
    virtual void* OwnerWindow() = 0;
};

// Runs one menu command. Commands for a drive that no longer opens, a history entry that does
// not exist or a missing feature do nothing.
void RunTrayCommand(AppContext& ctx, TrayShell* shell, uint32_t command);

// The open-file dialog's filter: "description (pattern)" and pattern pairs, NUL-separated and
// ending in two NULs, at most 1023 characters; a pair that does not fit ends the list.
std::wstring OpenFileFilter();

} // namespace vostrale::app

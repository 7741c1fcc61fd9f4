// The program's own link control in a real dialog under Wine, registered under a test name
// (Wine has a link class of its own, which is no oracle for ours).
#include "app/win32/dialog_template.h"
#include "app/win32/hyperlink.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace vostrale::app::test {
namespace {

constexpr const wchar_t* kTestClass = L"VostraleTestLink";
constexpr WORD kLinkId = 50;

struct Note {
    UINT code;
    UINT_PTR id;
    int link;
    UINT state;
    std::wstring linkId;
    std::wstring url;
};
std::vector<Note> g_notes;

INT_PTR CALLBACK RecordingDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_NOTIFY) {
        const NMLINK* note = reinterpret_cast<const NMLINK*>(lParam);
        if (note->hdr.code == NM_CLICK || note->hdr.code == NM_RETURN)
            g_notes.push_back({note->hdr.code, note->hdr.idFrom, note->item.iLink,
                               note->item.state, note->item.szID, note->item.szUrl});
        return TRUE;
    }
    return FALSE;
}

class LinkDialog : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(RegisterOwnHyperlinkClass(GetModuleHandleW(nullptr), kTestClass));
    }
    void Open(const std::wstring& text, DWORD linkStyle = 0) {
        g_notes.clear();
        DialogTemplate t(WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 0, 200, 80, L"Links");
        t.Add(L"BUTTON", L"OK", IDOK, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 140, 60, 50,
              14);
        dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), t.Get(), nullptr,
                                            RecordingDialog, 0);
        ASSERT_NE(dialog, nullptr);
        // Template texts are built-in texts only; the test's text goes in at creation, as a
        // dialog manager creates a control from its template, first in the tab order.
        RECT place{10, 10, 190, 50};
        MapDialogRect(dialog, &place);
        link = CreateWindowExW(0, kTestClass, text.c_str(),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | linkStyle, place.left,
                               place.top, place.right - place.left, place.bottom - place.top,
                               dialog, reinterpret_cast<HMENU>(INT_PTR(kLinkId)),
                               GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(link, nullptr);
        SetWindowPos(link, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        SendMessageW(link, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
        Pump();
    }
    void TearDown() override {
        if (dialog)
            DestroyWindow(dialog);
        Pump();
    }
    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // A client point of link number `index`, found by scanning with LM_HITTEST.
    POINT PointOf(int index) {
        RECT client;
        GetClientRect(link, &client);
        for (int y = 0; y < client.bottom; y += 2) {
            for (int x = 0; x < client.right; x += 2) {
                LHITTESTINFO hit{};
                hit.pt = {x, y};
                if (SendMessageW(link, LM_HITTEST, 0, LPARAM(&hit)) && hit.item.iLink == index)
                    return hit.pt;
            }
        }
        ADD_FAILURE() << "no point found for link " << index;
        return {-1, -1};
    }
    void Press(POINT p) { SendMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(p.x, p.y)); }
    void Release(POINT p) { SendMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(p.x, p.y)); }
    void Click(POINT p) {
        Press(p);
        Release(p);
    }
    HWND dialog = nullptr;
    HWND link = nullptr;
};

TEST_F(LinkDialog, ClickSendsTheLinksIndexIdentifierAndUrl) {
    Open(L"Read <a href=\"https://a.example/\" id=\"first\">the first</a> or <A ID=\"second\" "
         L"HREF=\"https://b.example/x\">the second</A> link.");
    POINT second = PointOf(1);
    Click(second);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].code, UINT(NM_CLICK));
    EXPECT_EQ(g_notes[0].id, kLinkId);
    EXPECT_EQ(g_notes[0].link, 1);
    EXPECT_EQ(g_notes[0].linkId, L"second");
    EXPECT_EQ(g_notes[0].url, L"https://b.example/x");
    EXPECT_EQ(GetFocus(), link);
    Click(PointOf(0));
    ASSERT_EQ(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[1].link, 0);
    EXPECT_EQ(g_notes[1].url, L"https://a.example/");
    // Plain text is not a link: no hit, no click.
    LHITTESTINFO hit{};
    hit.pt = {1, 1};
    EXPECT_FALSE(SendMessageW(link, LM_HITTEST, 0, LPARAM(&hit)));
    Click({1, 1});
    EXPECT_EQ(g_notes.size(), 2u);
}

TEST_F(LinkDialog, PressAndReleaseOnDifferentLinksOrAfterCaptureLossSendNothing) {
    Open(L"<a id=\"a\">one</a> and <a id=\"b\">two</a>");
    POINT one = PointOf(0), two = PointOf(1);
    Press(one);
    EXPECT_EQ(GetCapture(), link);
    Release(two);
    EXPECT_TRUE(g_notes.empty());
    EXPECT_NE(GetCapture(), link);
    Press(one);
    ReleaseCapture(); // another window took the mouse
    Release(one);
    EXPECT_TRUE(g_notes.empty());
}

TEST_F(LinkDialog, KeyboardTabMovesBetweenLinksAndReturnNotifies) {
    Open(L"<a id=\"a\">one</a> and <a id=\"b\">two</a>");
    SetFocus(link);
    MSG tab{link, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    EXPECT_EQ(SendMessageW(link, WM_GETDLGCODE, VK_TAB, LPARAM(&tab)), 10);
    SendMessageW(link, WM_KEYDOWN, VK_TAB, 0);
    EXPECT_EQ(SendMessageW(link, WM_GETDLGCODE, VK_TAB, LPARAM(&tab)), 136); // last link
    EXPECT_EQ(SendMessageW(link, WM_GETDLGCODE, 0, 0), 8);
    SendMessageW(link, WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].code, UINT(NM_RETURN));
    EXPECT_EQ(g_notes[0].link, 1);
    EXPECT_EQ(g_notes[0].state & LIS_FOCUSED, UINT(LIS_FOCUSED));
}

TEST_F(LinkDialog, IgnoreReturnStyleLeavesReturnToTheDialog) {
    Open(L"<a id=\"a\">one</a>", 0x0002);
    SetFocus(link);
    MSG enter{link, WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_EQ(SendMessageW(link, WM_GETDLGCODE, VK_RETURN, LPARAM(&enter)), 8);
    SendMessageW(link, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(g_notes.empty());
}

TEST_F(LinkDialog, SetAndGetItemAndNewTextResetsFocus) {
    Open(L"x <a id=\"a\" href=\"u\">one</a> <a>two</a>");
    LITEM item{};
    item.mask = LIF_ITEMINDEX | LIF_URL | LIF_STATE;
    item.iLink = 1;
    item.stateMask = LIS_FOCUSED | LIS_VISITED;
    item.state = LIS_FOCUSED | LIS_VISITED;
    std::wstring longUrl(L_MAX_URL_LENGTH - 1, L'u');
    wcscpy(item.szUrl, longUrl.c_str());
    EXPECT_TRUE(SendMessageW(link, LM_SETITEM, 0, LPARAM(&item)));
    LITEM missingIndex = item;
    missingIndex.mask = LIF_URL;
    EXPECT_FALSE(SendMessageW(link, LM_SETITEM, 0, LPARAM(&missingIndex)));
    LITEM pastEnd = item;
    pastEnd.iLink = 2;
    EXPECT_FALSE(SendMessageW(link, LM_SETITEM, 0, LPARAM(&pastEnd)));

    LITEM got{};
    got.mask = LIF_ITEMINDEX | LIF_STATE | LIF_URL;
    got.iLink = 1;
    got.stateMask = 0xF;
    SetFocus(GetDlgItem(dialog, IDOK));
    ASSERT_TRUE(SendMessageW(link, LM_GETITEM, 0, LPARAM(&got)));
    EXPECT_EQ(got.state, UINT(LIS_ENABLED | LIS_VISITED)); // focused only while focused
    EXPECT_EQ(std::wstring(got.szUrl), longUrl);
    SetFocus(link);
    ASSERT_TRUE(SendMessageW(link, LM_GETITEM, 0, LPARAM(&got)));
    EXPECT_EQ(got.state, UINT(LIS_ENABLED | LIS_VISITED | LIS_FOCUSED));

    // A new text starts without a focused link (the old index could name nothing now).
    SetFocus(GetDlgItem(dialog, IDOK));
    SetWindowTextW(link, L"<a>only</a>");
    got.iLink = 1;
    EXPECT_FALSE(SendMessageW(link, LM_GETITEM, 0, LPARAM(&got)));
    SendMessageW(link, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(g_notes.empty());
}

// Paints into a bitmap whose DC holds its own font and colours: the link colour must appear,
// and the DC must come back as it was.
TEST_F(LinkDialog, PaintingDrawsLinkColourAndRestoresTheDc) {
    Open(L"<a>WWWWWWWWWW</a>");
    RECT client;
    GetClientRect(link, &client);
    HDC screen = GetDC(link);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    ReleaseDC(link, screen);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HFONT font = CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, L"Arial");
    SelectObject(dc, font);
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkColor(dc, RGB(4, 5, 6));
    SetBkMode(dc, TRANSPARENT);
    SendMessageW(link, WM_PRINTCLIENT, WPARAM(dc), PRF_CLIENT);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), HGDIOBJ(font));
    EXPECT_EQ(GetTextColor(dc), RGB(1, 2, 3));
    EXPECT_EQ(GetBkColor(dc), RGB(4, 5, 6));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    int linkPixels = 0;
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x)
            linkPixels += GetPixel(dc, x, y) == RGB(0, 0, 0xC0);
    EXPECT_GT(linkPixels, 10);
    SelectObject(dc, oldBitmap);
    DeleteDC(dc);
    DeleteObject(bitmap);
    DeleteObject(font);
}

// The dialog's font belongs to the dialog: replacing it on the control or destroying the
// control must leave it alive.
TEST_F(LinkDialog, LeavesTheCallersFontsAlive) {
    Open(L"<a>one</a>");
    HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    ASSERT_NE(dialogFont, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(link, WM_GETFONT, 0, 0)), dialogFont);
    HFONT other = CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, L"Arial");
    SendMessageW(link, WM_SETFONT, WPARAM(other), TRUE);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(link, WM_GETFONT, 0, 0)), other);
    DestroyWindow(link);
    EXPECT_EQ(GetObjectType(dialogFont), DWORD(OBJ_FONT));
    EXPECT_EQ(GetObjectType(other), DWORD(OBJ_FONT));
    DeleteObject(other);
}

TEST_F(LinkDialog, IdealHeightGrowsAsTheWidthShrinks) {
    Open(L"some words before <a>a link</a> and some words after it");
    SIZE wide{}, narrow{};
    LRESULT one = SendMessageW(link, LM_GETIDEALHEIGHT, 2000, LPARAM(&wide));
    LRESULT many = SendMessageW(link, LM_GETIDEALHEIGHT, 40, LPARAM(&narrow));
    EXPECT_GT(one, 0);
    EXPECT_EQ(wide.cy, one);
    EXPECT_GT(many, 2 * one);
    // The control's own layout is unchanged: the link is still where it was found before.
    POINT p = PointOf(0);
    Click(p);
    EXPECT_EQ(g_notes.size(), 1u);
}

TEST(LinkClass, SysLinkIsAvailableAfterRegistration) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    EXPECT_TRUE(RegisterHyperlinkClass(instance));
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    EXPECT_TRUE(GetClassInfoExW(nullptr, kLinkClassName, &info) ||
                GetClassInfoExW(instance, kLinkClassName, &info));
    UnregisterHyperlinkClass(instance);
    EXPECT_TRUE(GetClassInfoExW(nullptr, kLinkClassName, &info) ||
                GetClassInfoExW(instance, kLinkClassName, &info));
}

} // namespace
} // namespace vostrale::app::test

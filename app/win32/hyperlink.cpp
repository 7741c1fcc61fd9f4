#include "app/win32/hyperlink.h"

#include "app/link_markup.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace vostrale::app {

namespace {

constexpr DWORD kStyleTransparent = 0x0001;
constexpr DWORD kStyleIgnoreReturn = 0x0002;
constexpr COLORREF kLinkColour = 0xC00000; // dark blue

bool g_ownClassRegistered = false;

struct LinkControl {
    HWND window = nullptr;
    HWND parent = nullptr;
    DWORD style = 0;
    std::vector<LinkItem> items;
    int focused = -1; // link index
    int pressed = -1; // link index
    bool hasFocus = false;
    HFONT font = nullptr;     // the caller's; never deleted here
    HFONT linkFont = nullptr; // ours: the underlined copy
};

LinkControl* StateOf(HWND window) {
    return reinterpret_cast<LinkControl*>(GetWindowLongPtrW(window, 0));
}

HFONT NormalFont(const LinkControl* c) {
    return c->font ? c->font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

class DcMeasurer final : public LinkTextMeasurer {
  public:
    DcMeasurer(const LinkControl* c, HDC dc) : m_control(c), m_dc(dc) {
        m_old = SelectObject(dc, NormalFont(c));
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        m_height = metrics.tmHeight;
    }
    ~DcMeasurer() override { SelectObject(m_dc, m_old); }
    int Width(const wchar_t* text, size_t count, bool linkFont) override {
        SelectObject(m_dc, linkFont && m_control->linkFont ? m_control->linkFont
                                                           : NormalFont(m_control));
        SIZE size{};
        GetTextExtentPoint32W(m_dc, text, int(count), &size);
        return size.cx;
    }
    int LineHeight() override { return m_height; }

  private:
    const LinkControl* m_control;
    HDC m_dc;
    HGDIOBJ m_old;
    int m_height = 0;
};

LinkExtent Layout(LinkControl* c, int width) {
    HDC dc = GetDC(c->window);
    LinkExtent extent;
    {
        DcMeasurer measurer(c, dc);
        extent = LayoutLinks(&c->items, width, &measurer);
    }
    ReleaseDC(c->window, dc);
    return extent;
}

void LayoutToClient(LinkControl* c) {
    RECT client{};
    GetClientRect(c->window, &client);
    Layout(c, client.right - client.left);
}

void ReplaceLinkFont(LinkControl* c) {
    if (c->linkFont)
        DeleteObject(c->linkFont);
    c->linkFont = nullptr;
    LOGFONTW description{};
    if (GetObjectW(NormalFont(c), sizeof(description), &description) == sizeof(description)) {
        description.lfUnderline = TRUE;
        c->linkFont = CreateFontIndirectW(&description);
    }
}

bool HighContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof(contrast);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// Children get no WM_SYSCOLORCHANGE, so colours are read at every paint.
COLORREF LinkColour(const LinkItem& item, bool windowEnabled) {
    if (!windowEnabled || (item.state & kLinkEnabled) == 0)
        return GetSysColor(COLOR_GRAYTEXT);
    if (item.state & kLinkVisited)
        return GetSysColor(COLOR_HIGHLIGHT);
    return HighContrast() ? GetSysColor(COLOR_HOTLIGHT) : kLinkColour;
}

void PaintBackground(LinkControl* c, HDC dc) {
    RECT client{};
    GetClientRect(c->window, &client);
    if ((c->style & kStyleTransparent) && c->parent) {
        // The parent paints itself into our DC, shifted to where we sit on it.
        POINT origin{0, 0};
        MapWindowPoints(c->window, c->parent, &origin, 1);
        POINT old{};
        OffsetWindowOrgEx(dc, origin.x, origin.y, &old);
        SendMessageW(c->parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        SetWindowOrgEx(dc, old.x, old.y, nullptr);
        return;
    }
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
}

void Paint(LinkControl* c, HDC dc) {
    const bool transparent = (c->style & kStyleTransparent) != 0;
    const bool enabled = IsWindowEnabled(c->window) != 0;
    HGDIOBJ oldFont = SelectObject(dc, NormalFont(c));
    COLORREF oldText = GetTextColor(dc);
    COLORREF oldBack = GetBkColor(dc);
    int oldMode = SetBkMode(dc, transparent ? TRANSPARENT : OPAQUE);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    int link = -1;
    std::vector<RECT> focus;
    for (const LinkItem& item : c->items) {
        if (item.isLink) {
            ++link;
            SelectObject(dc, c->linkFont ? c->linkFont : NormalFont(c));
            SetTextColor(dc, LinkColour(item, enabled));
        } else {
            SelectObject(dc, NormalFont(c));
            SetTextColor(dc, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
        }
        for (const LinkSegment& s : item.segments) {
            RECT r{s.rect.left, s.rect.top, s.rect.right, s.rect.bottom};
            ExtTextOutW(dc, r.left, r.top, ETO_CLIPPED | (transparent ? 0 : ETO_OPAQUE), &r,
                        item.text.data() + s.start, UINT(s.length), nullptr);
            if (item.isLink && c->hasFocus && link == c->focused)
                focus.push_back(r);
        }
    }
    // After all text, one pixel wider on each side: drawn inside the segment, the frame would
    // cover the first and last letter, and the next segment's opaque fill would erase it.
    for (RECT r : focus) {
        InflateRect(&r, 1, 0);
        DrawFocusRect(dc, &r);
    }
    SetBkMode(dc, oldMode);
    SetBkColor(dc, oldBack);
    SetTextColor(dc, oldText);
    SelectObject(dc, oldFont);
}

void SetText(LinkControl* c, const wchar_t* text) {
    c->items = ParseLinkMarkup(text ? text : L"", (c->style & WS_DISABLED) != 0);
    c->focused = -1;
    c->pressed = -1;
    LayoutToClient(c);
    InvalidateRect(c->window, nullptr, TRUE);
}

void CopyCut(WCHAR* out, size_t outChars, const std::wstring& text) {
    size_t n = std::min(text.size(), outChars - 1);
    std::copy(text.begin(), text.begin() + n, out);
    out[n] = 0;
}

uint32_t ReportedState(const LinkControl* c, int link, const LinkItem& item) {
    uint32_t state = item.state & (kLinkEnabled | kLinkVisited);
    if (c->hasFocus && link == c->focused)
        state |= kLinkFocused;
    return state;
}

void FillItem(const LinkControl* c, int link, LITEM* out) {
    const LinkItem& item = c->items[size_t(ItemOfLink(c->items, link))];
    out->iLink = link;
    out->state = ReportedState(c, link, item);
    CopyCut(out->szID, MAX_LINKID_TEXT, item.id);
    CopyCut(out->szUrl, L_MAX_URL_LENGTH, item.url);
}

void Notify(LinkControl* c, UINT code, int link) {
    if (link < 0 || ItemOfLink(c->items, link) < 0)
        return;
    NMLINK* note = new (std::nothrow) NMLINK{};
    if (!note)
        return;
    note->hdr.hwndFrom = c->window;
    note->hdr.idFrom = UINT_PTR(GetDlgCtrlID(c->window));
    note->hdr.code = code;
    note->item.mask = LIF_ITEMINDEX | LIF_STATE | LIF_ITEMID | LIF_URL;
    FillItem(c, link, &note->item);
    note->item.stateMask = kLinkStateBits;
    HWND parent = GetParent(c->window);
    SendMessageW(parent ? parent : c->parent, WM_NOTIFY, note->hdr.idFrom,
                 reinterpret_cast<LPARAM>(note));
    delete note;
}

void FocusLink(LinkControl* c, int link) {
    c->focused = link;
    InvalidateRect(c->window, nullptr, TRUE);
}

int LinkAtMessagePoint(LinkControl* c, LPARAM lParam) {
    return LinkAtPoint(c->items, short(LOWORD(lParam)), short(HIWORD(lParam)));
}

bool LinkEnabled(const LinkControl* c, int link) {
    int item = ItemOfLink(c->items, link);
    return item >= 0 && (c->items[size_t(item)].state & kLinkEnabled) != 0;
}

LRESULT SetItem(LinkControl* c, const LITEM* in) {
    if (!in || !(in->mask & LIF_ITEMINDEX) || !(in->mask & (LIF_STATE | LIF_ITEMID | LIF_URL)))
        return FALSE;
    int index = ItemOfLink(c->items, in->iLink);
    if (index < 0)
        return FALSE;
    LinkItem& item = c->items[size_t(index)];
    if (in->mask & LIF_ITEMID)
        item.id = CutLinkId(std::wstring(in->szID, wcsnlen(in->szID, MAX_LINKID_TEXT)));
    if (in->mask & LIF_URL)
        item.url = CutLinkUrl(std::wstring(in->szUrl, wcsnlen(in->szUrl, L_MAX_URL_LENGTH)));
    if (in->mask & LIF_STATE) {
        uint32_t mask = in->stateMask & kLinkStateBits;
        item.state = (item.state & ~mask) | (in->state & mask);
        if (mask & kLinkFocused) {
            if (item.state & kLinkFocused)
                c->focused = in->iLink;
            else if (c->focused == in->iLink)
                c->focused = -1;
        }
        item.state &= ~kLinkFocused; // the focus is kept as c->focused alone
    }
    InvalidateRect(c->window, nullptr, TRUE);
    return TRUE;
}

LRESULT GetItem(LinkControl* c, LITEM* out) {
    if (!out || !(out->mask & LIF_ITEMINDEX) || ItemOfLink(c->items, out->iLink) < 0)
        return FALSE;
    const LinkItem& item = c->items[size_t(ItemOfLink(c->items, out->iLink))];
    if (out->mask & LIF_STATE)
        out->state = ReportedState(c, out->iLink, item) & out->stateMask;
    if (out->mask & LIF_ITEMID)
        CopyCut(out->szID, MAX_LINKID_TEXT, item.id);
    if (out->mask & LIF_URL)
        CopyCut(out->szUrl, L_MAX_URL_LENGTH, item.url);
    return TRUE;
}

LRESULT CALLBACK LinkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LinkControl* c = StateOf(window);
    if (!c) {
        if (message != WM_CREATE)
            return DefWindowProcW(window, message, wParam, lParam);
        c = new (std::nothrow) LinkControl;
        if (!c)
            return -1;
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        c->window = window;
        c->parent = create->hwndParent;
        c->style = DWORD(GetWindowLongW(window, GWL_STYLE));
        SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(c));
        try {
            ReplaceLinkFont(c);
            int length = GetWindowTextLengthW(window);
            std::wstring text(size_t(length) + 1, L'\0');
            text.resize(size_t(GetWindowTextW(window, text.data(), length + 1)));
            SetText(c, text.c_str());
        } catch (const std::bad_alloc&) {
            return -1;
        }
        return 0;
    }
    try {
        switch (message) {
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, 0, 0);
            if (c->linkFont)
                DeleteObject(c->linkFont);
            delete c;
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_SETTEXT: {
            LRESULT result = DefWindowProcW(window, message, wParam, lParam);
            SetText(c, reinterpret_cast<const wchar_t*>(lParam));
            return result;
        }
        case WM_SETFONT:
            c->font = reinterpret_cast<HFONT>(wParam);
            ReplaceLinkFont(c);
            LayoutToClient(c);
            if (LOWORD(lParam))
                InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(c->font);
        case WM_SIZE:
            Layout(c, LOWORD(lParam));
            InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            if (dc)
                Paint(c, dc);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            PaintBackground(c, reinterpret_cast<HDC>(wParam));
            Paint(c, reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_ERASEBKGND:
            PaintBackground(c, reinterpret_cast<HDC>(wParam));
            return 1;
        case WM_ENABLE:
            InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_STYLECHANGED:
            if (wParam == WPARAM(GWL_STYLE)) {
                c->style = reinterpret_cast<const STYLESTRUCT*>(lParam)->styleNew;
                InvalidateRect(window, nullptr, TRUE);
            }
            return 0;
        case WM_SETFOCUS:
            c->hasFocus = true;
            if (c->focused < 0)
                c->focused = NextLink(c->items, -1, GetKeyState(VK_SHIFT) < 0);
            InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_KILLFOCUS:
            c->hasFocus = false;
            InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_SETCURSOR: {
            DWORD at = GetMessagePos();
            POINT pt{short(LOWORD(at)), short(HIWORD(at))};
            ScreenToClient(window, &pt);
            if (LOWORD(lParam) == HTCLIENT && LinkAtPoint(c->items, pt.x, pt.y) >= 0) {
                SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
                return TRUE;
            }
            break;
        }
        case WM_NCHITTEST: {
            POINT pt{short(LOWORD(lParam)), short(HIWORD(lParam))};
            ScreenToClient(window, &pt);
            RECT client{};
            GetClientRect(window, &client);
            if (!PtInRect(&client, pt))
                return HTNOWHERE;
            return LinkAtPoint(c->items, pt.x, pt.y) >= 0 ? HTCLIENT : HTTRANSPARENT;
        }
        case WM_GETDLGCODE: {
            const MSG* msg = reinterpret_cast<const MSG*>(lParam);
            bool isKey = msg && (msg->message == WM_KEYDOWN || msg->message == WM_CHAR);
            return LinkDialogCode(c->items, c->focused, isKey, isKey ? uint32_t(msg->wParam) : 0,
                                  GetKeyState(VK_SHIFT) < 0,
                                  (c->style & kStyleIgnoreReturn) != 0);
        }
        case WM_KEYDOWN:
            if (wParam == VK_TAB) {
                int next = NextLink(c->items, c->focused, GetKeyState(VK_SHIFT) < 0);
                if (next >= 0)
                    FocusLink(c, next);
                return 0;
            }
            if (wParam == VK_RETURN) {
                if (c->hasFocus && !(c->style & kStyleIgnoreReturn))
                    Notify(c, NM_RETURN, c->focused);
                return 0;
            }
            break;
        case WM_LBUTTONDOWN: {
            int link = LinkAtMessagePoint(c, lParam);
            if (link < 0 || !LinkEnabled(c, link))
                return 0;
            if (GetFocus() != window)
                SetFocus(window);
            FocusLink(c, link);
            c->pressed = link;
            SetCapture(window);
            return 0;
        }
        case WM_LBUTTONUP: {
            int pressed = c->pressed;
            c->pressed = -1;
            if (GetCapture() == window)
                ReleaseCapture();
            if (pressed >= 0 && LinkAtMessagePoint(c, lParam) == pressed &&
                c->focused == pressed)
                Notify(c, NM_CLICK, pressed);
            return 0;
        }
        case WM_CAPTURECHANGED:
            c->pressed = -1;
            return 0;
        case LM_HITTEST: {
            LHITTESTINFO* hit = reinterpret_cast<LHITTESTINFO*>(lParam);
            if (!hit)
                return FALSE;
            int link = LinkAtPoint(c->items, hit->pt.x, hit->pt.y);
            if (link < 0)
                return FALSE;
            hit->item.mask = LIF_ITEMINDEX | LIF_STATE | LIF_ITEMID | LIF_URL;
            hit->item.stateMask = kLinkStateBits;
            FillItem(c, link, &hit->item);
            return TRUE;
        }
        case LM_GETIDEALHEIGHT: {
            // The height the text needs at that width; the segments return to the client's.
            LinkExtent extent = Layout(c, int(wParam));
            LayoutToClient(c);
            if (SIZE* size = reinterpret_cast<SIZE*>(lParam)) {
                size->cx = extent.width;
                size->cy = extent.height;
            }
            return extent.height;
        }
        case LM_SETITEM:
            return SetItem(c, reinterpret_cast<const LITEM*>(lParam));
        case LM_GETITEM:
            return GetItem(c, reinterpret_cast<LITEM*>(lParam));
        default:
            break;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

bool RegisterOwnHyperlinkClass(HINSTANCE instance, const wchar_t* className) {
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    info.style = CS_HREDRAW | CS_VREDRAW | CS_GLOBALCLASS;
    info.lpfnWndProc = LinkWindowProc;
    info.cbWndExtra = sizeof(LinkControl*);
    info.hInstance = instance;
    info.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    info.lpszClassName = className;
    return RegisterClassExW(&info) != 0;
}

bool RegisterHyperlinkClass(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LINK_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(nullptr, kLinkClassName, &existing) ||
        GetClassInfoExW(instance, kLinkClassName, &existing))
        return true;
    g_ownClassRegistered = RegisterOwnHyperlinkClass(instance, kLinkClassName);
    return g_ownClassRegistered;
}

void UnregisterHyperlinkClass(HINSTANCE instance) {
    if (g_ownClassRegistered)
        UnregisterClassW(kLinkClassName, instance);
    g_ownClassRegistered = false;
}

} // namespace vostrale::app

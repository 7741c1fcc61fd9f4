// The link control's text model: markup with <a href="..." id="..."> tags parsed into text and
// link items, the items laid out into segments on wrapped lines, hit testing, keyboard focus
// moves and the dialog code. Portable; the window class in app/win32/hyperlink.* draws it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

constexpr size_t kMaxLinkIdChars = 47;   // without the terminator
constexpr size_t kMaxLinkUrlChars = 2083; // without the terminator

// Link state bits, as the common controls number them.
constexpr uint32_t kLinkFocused = 1;
constexpr uint32_t kLinkEnabled = 2;
constexpr uint32_t kLinkVisited = 4;
constexpr uint32_t kLinkStateBits = kLinkFocused | kLinkEnabled | kLinkVisited;

struct LinkRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// A run of one item's text placed on one line.
struct LinkSegment {
    size_t start = 0;
    size_t length = 0;
    LinkRect rect;
};

struct LinkItem {
    bool isLink = false;
    std::wstring text;
    uint32_t state = 0; // links only
    std::wstring id;
    std::wstring url;
    std::vector<LinkSegment> segments;
};

// Parses the window text. Links start enabled unless `windowDisabled`.
std::vector<LinkItem> ParseLinkMarkup(const std::wstring& text, bool windowDisabled);

// Cuts an identifier or URL to what the control keeps.
std::wstring CutLinkId(const std::wstring& id);
std::wstring CutLinkUrl(const std::wstring& url);

// Text measurement in the control's fonts (the link font for link items).
class LinkTextMeasurer {
  public:
    virtual ~LinkTextMeasurer() = default;
    virtual int Width(const wchar_t* text, size_t count, bool linkFont) = 0;
    virtual int LineHeight() = 0;
};

struct LinkExtent {
    int width = 0;
    int height = 0;
};

// Lays the items out for a client width (negative: unlimited) and returns the size used.
LinkExtent LayoutLinks(std::vector<LinkItem>* items, int width, LinkTextMeasurer* measurer);

// The link index (links counted alone, from 0) whose segment holds the point, or -1.
int LinkAtPoint(const std::vector<LinkItem>& items, int x, int y);

// Position of link number `link` in `items`, or -1.
int ItemOfLink(const std::vector<LinkItem>& items, int link);
int LinkCount(const std::vector<LinkItem>& items);

// The link after `focused` (before it when `backward`); any link when `focused` is -1. -1 when
// there is none in that direction.
int NextLink(const std::vector<LinkItem>& items, int focused, bool backward);

// Dialog codes as the dialog manager reads them.
constexpr uint32_t kDlgcWantAllKeys = 0x0004;
constexpr uint32_t kDlgcWantTab = 0x0002;
constexpr uint32_t kDlgcHasSetSel = 0x0008;
constexpr uint32_t kDlgcWantChars = 0x0080;
constexpr uint32_t kKeyTab = 0x09;
constexpr uint32_t kKeyReturn = 0x0D;

// WM_GETDLGCODE's answer for a key message (`hasMessage` false: no message given): Tab is kept
// while another link lies in its direction, Return while Return is not ignored.
uint32_t LinkDialogCode(const std::vector<LinkItem>& items, int focused, bool hasMessage,
                        uint32_t key, bool shift, bool ignoreReturn);

} // namespace vostrale::app

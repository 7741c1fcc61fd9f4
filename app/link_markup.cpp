#include "app/link_markup.h"

#include "app/text.h"

#include <algorithm>
#include <climits>

namespace vostrale::app {

namespace {

bool MatchesAt(const std::wstring& text, size_t at, const wchar_t* word) {
    for (size_t i = 0; word[i]; ++i) {
        if (at + i >= text.size() || FoldAscii(text[at + i]) != word[i])
            return false;
    }
    return true;
}

struct OpenTag {
    size_t end = 0; // first character after '>'
    std::wstring id;
    std::wstring url;
};

// "<a>" or "<a" followed by blank-separated href="..." / id="..." attributes and ">".
bool ReadOpenTag(const std::wstring& text, size_t at, OpenTag* tag) {
    if (!MatchesAt(text, at, L"<a"))
        return false;
    size_t p = at + 2;
    if (p < text.size() && text[p] == L'>') {
        tag->end = p + 1;
        return true;
    }
    while (p < text.size() && text[p] == L' ') {
        ++p;
        std::wstring* target = nullptr;
        if (MatchesAt(text, p, L"href=\"")) {
            target = &tag->url;
            p += 6;
        } else if (MatchesAt(text, p, L"id=\"")) {
            target = &tag->id;
            p += 4;
        } else {
            return false;
        }
        size_t close = text.find(L'"', p);
        if (close == std::wstring::npos)
            return false;
        *target = text.substr(p, close - p);
        p = close + 1;
        if (p < text.size() && text[p] == L'>') {
            tag->end = p + 1;
            return true;
        }
    }
    return false;
}

LinkItem MakeLink(std::wstring text, const OpenTag& tag, bool windowDisabled) {
    LinkItem item;
    item.isLink = true;
    item.text = std::move(text);
    item.id = CutLinkId(tag.id);
    item.url = CutLinkUrl(tag.url);
    item.state = windowDisabled ? 0 : kLinkEnabled;
    return item;
}

// Largest count of characters from `text` whose width fits `room` (widths grow with length).
size_t FittingChars(LinkTextMeasurer* measurer, const wchar_t* text, size_t count, bool link,
                    int room) {
    if (room == INT_MAX)
        return count;
    size_t low = 0, high = count;
    while (low < high) {
        size_t mid = low + (high - low + 1) / 2;
        if (measurer->Width(text, mid, link) <= room)
            low = mid;
        else
            high = mid - 1;
    }
    return low;
}

} // namespace

std::wstring CutLinkId(const std::wstring& id) {
    return id.substr(0, kMaxLinkIdChars);
}

std::wstring CutLinkUrl(const std::wstring& url) {
    return url.substr(0, kMaxLinkUrlChars);
}

std::vector<LinkItem> ParseLinkMarkup(const std::wstring& text, bool windowDisabled) {
    std::vector<LinkItem> items;
    std::wstring pending;
    bool inLink = false;
    OpenTag open;
    size_t at = 0;
    while (at < text.size()) {
        if (!inLink) {
            OpenTag tag;
            if (text[at] == L'<' && ReadOpenTag(text, at, &tag)) {
                if (!pending.empty()) {
                    LinkItem item;
                    item.text = std::move(pending);
                    items.push_back(std::move(item));
                    pending.clear();
                }
                open = tag;
                inLink = true;
                at = tag.end;
                continue;
            }
        } else if (MatchesAt(text, at, L"</a>")) {
            if (!pending.empty())
                items.push_back(MakeLink(std::move(pending), open, windowDisabled));
            pending.clear();
            inLink = false;
            at += 4;
            continue;
        }
        pending.push_back(text[at]);
        ++at;
    }
    if (!pending.empty()) {
        if (inLink) {
            items.push_back(MakeLink(std::move(pending), open, windowDisabled));
        } else {
            LinkItem item;
            item.text = std::move(pending);
            items.push_back(std::move(item));
        }
    }
    return items;
}

LinkExtent LayoutLinks(std::vector<LinkItem>* items, int width, LinkTextMeasurer* measurer) {
    const int lineHeight = std::max(measurer->LineHeight(), 1);
    const int limit = width < 0 ? INT_MAX : width;
    LinkExtent extent;
    int x = 0, y = 0;
    bool lineUsed = false;  // anything placed on the current line
    bool continued = false; // the current line began with a wrap
    auto newLine = [&] {
        x = 0;
        y += lineHeight;
        lineUsed = false;
        continued = true;
    };
    auto place = [&](LinkItem& item, size_t start, size_t count) {
        int w = measurer->Width(item.text.data() + start, count, item.isLink);
        LinkSegment segment;
        segment.start = start;
        segment.length = count;
        segment.rect = {x, y, x + w, y + lineHeight};
        item.segments.push_back(segment);
        x += w;
        lineUsed = true;
        continued = false;
        extent.width = std::max(extent.width, x);
        extent.height = y + lineHeight;
    };
    for (LinkItem& item : *items) {
        item.segments.clear();
        const std::wstring& text = item.text;
        size_t p = 0;
        while (p < text.size()) {
            if (continued && !lineUsed) {
                while (p < text.size() && text[p] == L' ')
                    ++p;
                if (p == text.size())
                    break;
            }
            size_t rest = text.size() - p;
            int room = limit == INT_MAX ? INT_MAX : std::max(limit - x, 0);
            size_t fit = FittingChars(measurer, text.data() + p, rest, item.isLink, room);
            if (fit == rest) {
                place(item, p, rest);
                break;
            }
            // Break after the last blank that fits (a blank right after the fitting part ends
            // a word that fits too).
            size_t cut = 0;
            for (size_t k = fit; k > 0; --k) {
                if (text[p + k - 1] == L' ' || (k == fit && text[p + k] == L' ')) {
                    cut = k;
                    break;
                }
            }
            if (cut > 0) {
                place(item, p, cut);
                p += cut;
                newLine();
            } else if (lineUsed) {
                newLine(); // the word moves to the next line whole
            } else {
                size_t count = std::max<size_t>(fit, 1);
                place(item, p, count);
                p += count;
                newLine();
            }
        }
    }
    return extent;
}

int LinkAtPoint(const std::vector<LinkItem>& items, int x, int y) {
    int link = -1;
    for (const LinkItem& item : items) {
        if (!item.isLink)
            continue;
        ++link;
        for (const LinkSegment& s : item.segments) {
            if (x >= s.rect.left && x < s.rect.right && y >= s.rect.top && y < s.rect.bottom)
                return link;
        }
    }
    return -1;
}

int ItemOfLink(const std::vector<LinkItem>& items, int link) {
    if (link < 0)
        return -1;
    int seen = -1;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].isLink && ++seen == link)
            return int(i);
    }
    return -1;
}

int LinkCount(const std::vector<LinkItem>& items) {
    return int(std::count_if(items.begin(), items.end(),
                             [](const LinkItem& item) { return item.isLink; }));
}

int NextLink(const std::vector<LinkItem>& items, int focused, bool backward) {
    int count = LinkCount(items);
    if (count == 0)
        return -1;
    if (focused < 0 || focused >= count)
        return backward ? count - 1 : 0;
    int next = backward ? focused - 1 : focused + 1;
    return next >= 0 && next < count ? next : -1;
}

uint32_t LinkDialogCode(const std::vector<LinkItem>& items, int focused, bool hasMessage,
                        uint32_t key, bool shift, bool ignoreReturn) {
    if (!hasMessage)
        return kDlgcHasSetSel;
    if (key == kKeyTab)
        return NextLink(items, focused, shift) >= 0 ? kDlgcWantTab | kDlgcHasSetSel
                                                    : kDlgcWantChars | kDlgcHasSetSel;
    // An ignored Return is left to the dialog, so its default button still works.
    if (key == kKeyReturn && !ignoreReturn)
        return kDlgcWantAllKeys | kDlgcHasSetSel;
    return kDlgcHasSetSel;
}

} // namespace vostrale::app

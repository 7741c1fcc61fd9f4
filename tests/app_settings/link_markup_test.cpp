#include "app/link_markup.h"

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

// Fixed-pitch fonts: 10 units a character, 12 in the link font; lines 16 high.
class FixedMeasurer final : public LinkTextMeasurer {
  public:
    int Width(const wchar_t* text, size_t count, bool linkFont) override {
        ++calls;
        return int(count) * (linkFont ? 12 : 10);
    }
    int LineHeight() override { return 16; }
    int calls = 0;
};

// "T:text" and "L:text" per item, links with "[id|url|state]".
std::wstring Describe(const std::vector<LinkItem>& items) {
    std::wstring out;
    for (const LinkItem& item : items) {
        if (!out.empty())
            out += L" / ";
        if (item.isLink)
            out += L"L:" + item.text + L"[" + item.id + L"|" + item.url + L"|" +
                   std::to_wstring(item.state) + L"]";
        else
            out += L"T:" + item.text;
    }
    return out;
}

struct MarkupCase {
    const wchar_t* markup;
    const wchar_t* expected;
};

TEST(LinkMarkup, ParsesTagsAndPlainText) {
    const MarkupCase cases[] = {
        {L"Visit <a href=\"https://x.example/\" id=\"home\">our site</a> today",
         L"T:Visit  / L:our site[home|https://x.example/|2] / T: today"},
        {L"<a id=\"i\" href=\"u\">both orders</a>", L"L:both orders[i|u|2]"},
        {L"<A HREF=\"u\">upper</A>", L"L:upper[|u|2]"},
        {L"<a>bare</a>", L"L:bare[||2]"},
        {L"<abbr>not a tag</a>", L"T:<abbr>not a tag</a>"},
        {L"<a  href=\"u\">two blanks</a>", L"T:<a  href=\"u\">two blanks</a>"},
        {L"<a title=\"t\">unknown</a>", L"T:<a title=\"t\">unknown</a>"},
        {L"<a href=\"unterminated>x</a>", L"T:<a href=\"unterminated>x</a>"},
        {L"<a href=\"u\"x>junk after value</a>", L"T:<a href=\"u\"x>junk after value</a>"},
        {L"stray </a> close", L"T:stray </a> close"},
        {L"<a>outer <a>inner</a> rest", L"L:outer <a>inner[||2] / T: rest"},
        {L"empty <a href=\"u\"></a>link", L"T:empty  / T:link"},
        {L"open <a id=\"x\">never closed", L"T:open  / L:never closed[x||2]"},
        {L"<a", L"T:<a"},
        {L"", L""},
    };
    for (const MarkupCase& c : cases)
        EXPECT_EQ(Describe(ParseLinkMarkup(c.markup, false)), c.expected) << c.markup;
    EXPECT_EQ(Describe(ParseLinkMarkup(L"<a>off</a>", true)), L"L:off[||0]");
}

TEST(LinkMarkup, CutsIdentifierAndUrl) {
    std::wstring url(3000, L'u');
    std::wstring id(60, L'i');
    auto items = ParseLinkMarkup(L"<a href=\"" + url + L"\" id=\"" + id + L"\">x</a>", false);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].url, std::wstring(2083, L'u'));
    EXPECT_EQ(items[0].id, std::wstring(47, L'i'));
}

struct SegmentView {
    size_t item;
    std::wstring text;
    int left, top, right;
};

std::vector<SegmentView> Segments(const std::vector<LinkItem>& items) {
    std::vector<SegmentView> out;
    for (size_t i = 0; i < items.size(); ++i) {
        for (const LinkSegment& s : items[i].segments)
            out.push_back({i, items[i].text.substr(s.start, s.length), s.rect.left, s.rect.top,
                           s.rect.right});
    }
    return out;
}

void ExpectSegments(const std::vector<LinkItem>& items, const std::vector<SegmentView>& expected) {
    auto got = Segments(items);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].item, expected[i].item) << i;
        EXPECT_EQ(got[i].text, expected[i].text) << i;
        EXPECT_EQ(got[i].left, expected[i].left) << i;
        EXPECT_EQ(got[i].top, expected[i].top) << i;
        EXPECT_EQ(got[i].right, expected[i].right) << i;
    }
}

TEST(LinkLayout, WrapsAfterBlanksAndSkipsLeadingOnes) {
    FixedMeasurer m;
    auto items = ParseLinkMarkup(L"aaa bbb ccc  dd", false);
    LinkExtent e = LayoutLinks(&items, 65, &m); // 6 characters a line
    ExpectSegments(items, {{0, L"aaa ", 0, 0, 40}, {0, L"bbb ", 0, 16, 40},
                           {0, L"ccc  ", 0, 32, 50}, {0, L"dd", 0, 48, 20}});
    EXPECT_EQ(e.width, 50);
    EXPECT_EQ(e.height, 64);
}

TEST(LinkLayout, ItemsShareLinesAndWordsMoveWhole) {
    FixedMeasurer m;
    // "ab " is 30 wide; the link's 12-unit characters leave room for "cd" (24) but not "cdef".
    auto items = ParseLinkMarkup(L"ab <a>cdef gh</a>", false);
    LayoutLinks(&items, 60, &m);
    ExpectSegments(items, {{0, L"ab ", 0, 0, 30}, {1, L"cdef ", 0, 16, 60}, {1, L"gh", 0, 32, 24}});
}

TEST(LinkLayout, LongWordOnEmptyLineIsCutAndNarrowWidthPlacesOneCharacter) {
    FixedMeasurer m;
    auto items = ParseLinkMarkup(L"abcdefgh", false);
    LayoutLinks(&items, 35, &m);
    ExpectSegments(items, {{0, L"abc", 0, 0, 30}, {0, L"def", 0, 16, 30}, {0, L"gh", 0, 32, 20}});
    LayoutLinks(&items, 0, &m);
    EXPECT_EQ(items[0].segments.size(), 8u); // one character per line, never stuck
}

TEST(LinkLayout, UnlimitedWidthKeepsOneLineAndRelayoutReplacesSegments) {
    FixedMeasurer m;
    auto items = ParseLinkMarkup(L"one <a>two</a> three", false);
    LinkExtent e = LayoutLinks(&items, -1, &m);
    EXPECT_EQ(e.height, 16);
    EXPECT_EQ(e.width, 40 + 36 + 60);
    LayoutLinks(&items, -1, &m);
    EXPECT_EQ(Segments(items).size(), 3u);
}

TEST(LinkLayout, HitTestCountsLinksOnly) {
    FixedMeasurer m;
    auto items = ParseLinkMarkup(L"a <a>first</a> b <a>second link</a>", false);
    LayoutLinks(&items, 100, &m);
    // Line 1: "a " (20), "first" (60) and " b" fill it; "second " and "link" follow below.
    EXPECT_EQ(LinkAtPoint(items, 25, 5), 0);
    EXPECT_EQ(LinkAtPoint(items, 5, 5), -1);
    auto seg = Segments(items);
    const SegmentView& second = seg.back();
    EXPECT_EQ(second.item, 3u);
    EXPECT_EQ(LinkAtPoint(items, second.left + 1, second.top + 1), 1);
    EXPECT_EQ(LinkAtPoint(items, 500, 500), -1);
    EXPECT_EQ(ItemOfLink(items, 1), 3);
    EXPECT_EQ(ItemOfLink(items, 2), -1);
    EXPECT_EQ(LinkCount(items), 2);
}

TEST(LinkKeyboard, TabAndReturnCodes) {
    auto two = ParseLinkMarkup(L"<a>1</a> and <a>2</a>", false);
    auto none = ParseLinkMarkup(L"plain", false);
    struct Case {
        const std::vector<LinkItem>* items;
        int focused;
        bool hasMessage;
        uint32_t key;
        bool shift, ignoreReturn;
        uint32_t expected;
    } cases[] = {
        {&two, -1, false, kKeyTab, false, false, 8},
        {&two, -1, true, kKeyTab, false, false, 10},
        {&two, 0, true, kKeyTab, false, false, 10},
        {&two, 1, true, kKeyTab, false, false, 136},
        {&two, 1, true, kKeyTab, true, false, 10},
        {&two, 0, true, kKeyTab, true, false, 136},
        {&none, -1, true, kKeyTab, false, false, 136},
        {&two, 0, true, kKeyReturn, false, false, 12},
        {&two, 0, true, kKeyReturn, false, true, 8},
        {&two, 0, true, 'A', false, false, 8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LinkDialogCode(*c.items, c.focused, c.hasMessage, c.key, c.shift,
                                 c.ignoreReturn),
                  c.expected)
            << c.focused << " " << c.key << " " << c.shift;
    EXPECT_EQ(NextLink(two, -1, true), 1);
    EXPECT_EQ(NextLink(two, 0, false), 1);
    EXPECT_EQ(NextLink(none, -1, false), -1);
}

} // namespace
} // namespace vostrale::app::test

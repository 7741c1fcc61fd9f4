// Link markup of any text, laid out at a width taken from the input.
#include "app/link_markup.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
class Measurer final : public vostrale::app::LinkTextMeasurer {
  public:
    int Width(const wchar_t* text, size_t count, bool linkFont) override {
        int width = 0;
        for (size_t i = 0; i < count; ++i)
            width += 3 + int(text[i] % 5) + (linkFont ? 1 : 0);
        return width;
    }
    int LineHeight() override { return 7; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    int width = int(data[0]) - 8; // negative widths mean unlimited
    std::wstring text;
    for (size_t i = 1; i + 1 < size; i += 2)
        text.push_back(wchar_t(data[i] | (data[i + 1] << 8)));
    auto items = vostrale::app::ParseLinkMarkup(text, data[0] & 1);
    Measurer measurer;
    vostrale::app::LayoutLinks(&items, width, &measurer);
    vostrale::app::LinkAtPoint(items, width / 2, 3);
    return 0;
}

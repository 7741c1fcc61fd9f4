#include "formats/disc_codes.h"

#include "formats/layout.h"

#include <cstring>

namespace vostrale {
namespace {

constexpr size_t kCatalogueDigits = sizeof(DiscIdentity::mcn);
constexpr size_t kIsrcLength = sizeof(DiscIdentity::isrc[0]);
constexpr size_t kIsrcLetters = 5;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool IsCatalogueNumber(const char* text, size_t length) {
    if (length != kCatalogueDigits)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (!IsDigit(text[i]))
            return false;
    }
    return true;
}

bool IsIsrc(const char* text, size_t length) {
    if (length != kIsrcLength)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        bool letter = c >= 'A' && c <= 'Z';
        if (i < kIsrcLetters ? !(IsDigit(c) || letter) : !IsDigit(c))
            return false;
    }
    return true;
}

bool SetCatalogue(DiscIdentity* codes, const char* text, size_t length) {
    if (!IsCatalogueNumber(text, length))
        return false;
    std::memcpy(codes->mcn, text, kCatalogueDigits);
    return true;
}

bool SetIsrc(DiscIdentity* codes, uint32_t track, const char* text, size_t length) {
    if (track < 1 || track > 99 || !IsIsrc(text, length))
        return false;
    std::memcpy(codes->isrc[track - 1], text, kIsrcLength);
    return true;
}

bool AttachDiscIdentity(MountRecord* record, const DiscIdentity& codes) {
    bool any = codes.mcn[0] != 0;
    for (const auto& isrc : codes.isrc)
        any = any || isrc[0] != 0;
    if (!any)
        return true;
    auto* block = static_cast<DiscIdentity*>(AllocLayoutBlock(sizeof(DiscIdentity)));
    if (!block)
        return false;
    *block = codes;
    FreeLayoutBlock(PointerOf<void>(record->discIdentity));
    record->discIdentity = FieldOf(block);
    return true;
}

} // namespace vostrale

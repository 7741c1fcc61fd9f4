// The media catalogue number and track ISRCs an image stores, checked and hung on the mount
// record as its DiscIdentity block (MountRecord::discIdentity).
#pragma once

#include "common/wire.h"

#include <cstddef>
#include <cstdint>

namespace vostrale {

// 13 decimal digits.
bool IsCatalogueNumber(const char* text, size_t length);
// Country (2) and owner (3) as digits or capital letters, then year (2) and serial (5) digits.
bool IsIsrc(const char* text, size_t length);

// Store a code when it is one; false (and nothing stored) otherwise.
bool SetCatalogue(DiscIdentity* codes, const char* text, size_t length);
bool SetIsrc(DiscIdentity* codes, uint32_t track, const char* text, size_t length);

// Hangs a copy of `codes` on the record (discIdentity) when it holds any code. False only when
// the block cannot be allocated.
bool AttachDiscIdentity(MountRecord* record, const DiscIdentity& codes);

} // namespace vostrale

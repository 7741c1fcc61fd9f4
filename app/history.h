// History (the most recently mounted images, newest first, at most 16) and statistics (per
// drive, the image last mounted there), and remounting those images into empty drives.
#pragma once

#include "app/context.h"

#include <string>
#include <vector>

namespace vostrale::app {

constexpr uint32_t kHistoryEntries = 16;
constexpr size_t kHistoryMenuChars = 256;

bool AddHistory(MruStore* history, const std::wstring& path);
// Entry `item` of an open list, read into at most `maxChars` characters (terminator
// included); false past the end or for an entry that does not fit.
bool ReadHistoryEntry(MruStore* history, void* list, int item, size_t maxChars, std::wstring* out);
// Every entry, newest first.
std::vector<std::wstring> ReadHistory(MruStore* history, size_t maxChars);

// The statistics value "<index>" of drives 0 to 6.
bool SetDriveImage(Registry* registry, uint32_t index, const std::wstring& path);
bool GetDriveImage(Registry* registry, uint32_t index, std::wstring* path);
void RemoveDriveImage(Registry* registry, uint32_t index);

// Puts each drive's recorded image back when the drive is empty and the file still exists.
void RemountAll(AppContext& ctx);
void RemountDrive(AppContext& ctx, const DriveHandle& drive);

} // namespace vostrale::app

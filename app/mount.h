// Mount and unmount: a path becomes a filled MountRecord and one Mount request; the result is
// recorded in the history and statistics. Every entry runs under the drive lock.
#pragma once

#include "app/context.h"

#include <string>

namespace vostrale::app {

// "\\server\share\..." and "\\?\UNC\server\share\..."; "\\?\C:\..." and "\\.\..." are local.
bool IsNetworkPath(const std::wstring& path);
// Lower-cases A-Z of an extension of exactly three characters, in place.
void LowerCaseExtension(std::wstring* path);
// GetLongPathNameW when it fits, else the path unchanged.
std::wstring LongPathOf(System* system, const std::wstring& path);

// Fills `record` from the image at `*path` (whose extension is lower-cased in place), with the
// mount log and the messages the user sees. 1 ready, 0 failed, other values cancelled.
int BuildMountRecord(AppContext& ctx, MountRecord* record, std::wstring* path);

// Mounts the image on drive `index` through an adapter or drive handle. 1 on success.
int MountImage(AppContext& ctx, Device* device, std::wstring path, uint32_t index);
// Sends Unmount and forgets the drive's statistics value either way.
bool UnmountDrive(AppContext& ctx, Device* device, uint32_t index);
// With no device the adapter is found here. Statistics of every drive are forgotten.
void UnmountAllDrives(AppContext& ctx, Device* device);

} // namespace vostrale::app

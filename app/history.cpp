#include "app/history.h"

#include "app/mount.h"
#include "app/settings.h"

#include <vector>

namespace vostrale::app {

bool AddHistory(MruStore* history, const std::wstring& path) {
    void* list = history->Open(kHistoryEntries);
    if (!list)
        return false;
    bool ok = history->Add(list, path.c_str()) >= 0;
    history->Close(list);
    return ok;
}

bool ReadHistoryEntry(MruStore* history, void* list, int item, size_t maxChars, std::wstring* out) {
    // Some implementations take the size in bytes and copy without a terminator, others take
    // characters and terminate. Offering twice the characters in a zero-filled buffer one
    // longer than that is safe under both and lets neither cut a full entry; the terminator is
    // ours and the return value is never taken as a length.
    const size_t offered = maxChars * 2;
    std::vector<wchar_t> buffer(offered + 1, 0);
    if (history->Enum(list, item, buffer.data(), uint32_t(offered)) < 0)
        return false;
    buffer[offered] = 0;
    std::wstring entry(buffer.data());
    if (entry.size() >= maxChars)
        return false;
    *out = entry;
    return true;
}

std::vector<std::wstring> ReadHistory(MruStore* history, size_t maxChars) {
    std::vector<std::wstring> entries;
    void* list = history->Open(kHistoryEntries);
    if (!list)
        return entries;
    int count = history->Enum(list, -1, nullptr, 0);
    for (int item = 0; item < count; ++item) {
        std::wstring entry;
        if (ReadHistoryEntry(history, list, item, maxChars, &entry))
            entries.push_back(entry);
    }
    history->Close(list);
    return entries;
}

static std::wstring StatName(uint32_t index) {
    return std::to_wstring(index);
}

bool SetDriveImage(Registry* registry, uint32_t index, const std::wstring& path) {
    if (index >= kMaxDrives)
        return false;
    return WriteStringValue(registry, RegistryRoot::CurrentUser, kStatKey, StatName(index), path);
}

bool GetDriveImage(Registry* registry, uint32_t index, std::wstring* path) {
    if (index >= kMaxDrives)
        return false;
    return ReadStringValue(registry, RegistryRoot::CurrentUser, kStatKey, StatName(index), kMaxPath,
                           path) &&
           !path->empty();
}

void RemoveDriveImage(Registry* registry, uint32_t index) {
    if (index < kMaxDrives)
        registry->DeleteValue(RegistryRoot::CurrentUser, kStatKey, StatName(index));
}

static bool IsImageFile(System* system, const std::wstring& path) {
    uint32_t attributes = system->FileAttributes(path);
    return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) == 0;
}

// Remounts one drive's recorded image when the drive reports none.
static void RemountIfEmpty(AppContext& ctx, Device* device, uint32_t index) {
    if (DriveHasImage(device, index))
        return;
    std::wstring path;
    if (!GetDriveImage(ctx.s.registry, index, &path) || !IsImageFile(ctx.s.system, path))
        return;
    MountImage(ctx, device, path, index);
}

void RemountAll(AppContext& ctx) {
    if (!ctx.s.registry->KeyExists(RegistryRoot::CurrentUser, kStatKey))
        return;
    std::unique_ptr<Device> adapter = ctx.channel.FindAdapter();
    if (!adapter)
        return;
    uint32_t count = GetDriveCount(adapter.get());
    for (uint32_t index = 0; index < count; ++index)
        RemountIfEmpty(ctx, adapter.get(), index);
}

void RemountDrive(AppContext& ctx, const DriveHandle& drive) {
    if (!drive || drive.index >= kMaxDrives)
        return;
    if (!ctx.s.registry->KeyExists(RegistryRoot::CurrentUser, kStatKey))
        return;
    RemountIfEmpty(ctx, drive.device.get(), drive.index);
}

} // namespace vostrale::app

#include "app/mount.h"

#include "app/history.h"
#include "app/text.h"
#include "formats/activity_log.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "platform/platform.h"

#include <cstring>
#include <memory>
#include <new>

namespace vostrale::app {

bool IsNetworkPath(const std::wstring& path) {
    if (path.size() < 3 || path[0] != L'\\' || path[1] != L'\\')
        return false;
    if (path[2] == L'?')
        return StartsWithNoCase(path, L"\\\\?\\UNC\\");
    return path[2] != L'.' && path[2] != L'\\';
}

void LowerCaseExtension(std::wstring* path) {
    size_t dot = path->find_last_of(L'.');
    if (dot == std::wstring::npos || path->size() - dot != 4)
        return;
    for (size_t i = dot + 1; i < path->size(); ++i) {
        if ((*path)[i] == 0)
            return;
    }
    for (size_t i = dot + 1; i < path->size(); ++i)
        (*path)[i] = FoldAscii((*path)[i]);
}

std::wstring LongPathOf(System* system, const std::wstring& path) {
    wchar_t buffer[kMaxPath + 1] = {};
    uint32_t n = system->LongPathName(path, buffer, kMaxPath);
    if (n == 0 || n >= kMaxPath)
        return path;
    buffer[n] = 0;
    return buffer;
}

static void PresetRecord(AppContext& ctx, MountRecord* record) {
    PresetMountRecord(record);
    record->processId = ctx.s.system->ProcessId();
    record->threadId = ctx.s.system->ThreadId();
}

namespace {

// The progress window around one parser call, closed before any message is shown.
class ProgressScope {
  public:
    ProgressScope(Ui* ui, ProgressRecord* record, const std::wstring& path) : m_ui(ui) {
        size_t slash = path.find_last_of(L"\\/");
        m_ui->BeginProgress(record, slash == std::wstring::npos ? path : path.substr(slash + 1));
    }
    ~ProgressScope() { m_ui->EndProgress(); }

  private:
    Ui* m_ui;
};

int OpenWithProgress(AppContext& ctx, MountRecord* record, const std::wstring& path,
                     const ParserIo& io, ImageOpenFailure* failure) {
    ProgressScope progress(ctx.s.ui, &ctx.progress, path);
    return ctx.s.openImage(record, ToPath(path), io, failure);
}

} // namespace

static bool IsDirectory(System* system, const std::wstring& path) {
    uint32_t attributes = system->FileAttributes(path);
    return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0;
}

int BuildMountRecord(AppContext& ctx, MountRecord* record, std::wstring* path) {
    System* system = ctx.s.system;
    Ui* ui = ctx.s.ui;
    ctx.mountError.clear();
    // Closed by its destructor on every return below, or explicitly before a dialog shows.
    ActivityLog log;
    log.Open(system->LogPath());
    log.WriteDateHeader();
    log.WriteLine(kLogInfo, "Mount %s", platform::NarrowPath(ToPath(*path)).c_str());

    LowerCaseExtension(path);
    PresetRecord(ctx, record);
    ctx.progress.cancel = false;
    ctx.progress.done = 0;
    ctx.progress.total = 0;
    ParserIo io;
    io.log = &log;
    io.message = &ctx.mountError;
    io.progress = &ctx.progress;
    ImageOpenFailure failure;
    int result = OpenWithProgress(ctx, record, *path, io, &failure);

    // A share that refuses us may accept credentials; a folder is refused the same way and
    // is no image, so it never asks for them.
    if (result == kParseFailed && failure.kind == ImageOpenFailure::kOpenError &&
        failure.systemError == kErrorAccessDenied && IsNetworkPath(*path) &&
        !IsDirectory(system, *path)) {
        switch (ui->NetworkLogon(*path)) {
        case LogonResult::Cancelled:
            return kParseFailed;
        case LogonResult::Connected:
            PresetRecord(ctx, record);
            failure = ImageOpenFailure{};
            result = OpenWithProgress(ctx, record, *path, io, &failure);
            break;
        case LogonResult::Unavailable:
            break;
        }
    }

    if (result == kParseFailed) {
        // An open error without a system error would read "The operation completed
        // successfully": such a failure goes to the failure dialog instead.
        if (failure.kind == ImageOpenFailure::kOpenError && failure.systemError != 0) {
            log.Close();
            ui->ShowMessage(
                ctx.language.Format(kMsgOpenError, {*path, system->ErrorText(failure.systemError)}),
                kProductCaption, MessageIcon::Stop, true);
            return kParseFailed;
        }
        if (failure.kind == ImageOpenFailure::kUnsupportedFormat) {
            log.Close();
            ui->ShowMessage(kUnsupportedFormatMessage, kProductCaption, MessageIcon::Information,
                            false);
            return kParseFailed;
        }
        log.WriteLine(kLogError, "Mount failed\n");
        log.Close();
        std::wstring reason =
            ctx.mountError.empty() ? ctx.language.Message(kMsgMountFailed) : ctx.mountError;
        if (failure.systemError != 0) {
            std::wstring text = system->ErrorText(failure.systemError);
            while (!text.empty() &&
                   (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
                text.pop_back();
            reason += L"\n" + text;
        }
        ui->ShowMountFailure(*path, reason);
        return kParseFailed;
    }
    log.WriteLine(kLogInfo, "Mount %s", result == kParseOk ? "succeed" : "cancel by user");
    return result;
}

int MountImage(AppContext& ctx, Device* device, std::wstring path, uint32_t index) {
    if (!device || index >= kMaxDrives || path.empty())
        return 0;
    std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[kMountRequestSize]());
    if (!request)
        return 0;
    std::lock_guard<std::recursive_mutex> lock(ctx.driveLock);
    auto* record = reinterpret_cast<MountRecord*>(request.get() + sizeof(ControlHeader));
    int built = BuildMountRecord(ctx, record, &path);
    if (built != kParseOk)
        return 0; // a parser that fails or is cancelled has released what it opened
    // What we release is our own copy: the driver's reply cannot change what is freed.
    MountRecord owned;
    std::memcpy(static_cast<void*>(&owned), record, sizeof(owned));
    int result = 0;
    if (SendControlRequest(device, request.get(), kMountRequestSize, kCtlMount, index)) {
        std::wstring longPath = LongPathOf(ctx.s.system, path);
        AddHistory(ctx.s.history, longPath);
        SetDriveImage(ctx.s.registry, index, longPath);
        result = 1;
    }
    ReleaseLayout(&owned);
    return result;
}

bool UnmountDrive(AppContext& ctx, Device* device, uint32_t index) {
    if (index >= kMaxDrives)
        return false;
    std::lock_guard<std::recursive_mutex> lock(ctx.driveLock);
    uint8_t buffer[sizeof(ControlHeader)] = {};
    bool ok = SendControlRequest(device, buffer, sizeof(buffer), kCtlUnmount, index);
    RemoveDriveImage(ctx.s.registry, index);
    return ok;
}

void UnmountAllDrives(AppContext& ctx, Device* device) {
    std::unique_ptr<Device> found;
    if (!device) {
        found = ctx.channel.FindAdapter();
        device = found.get();
    }
    if (device) {
        std::lock_guard<std::recursive_mutex> lock(ctx.driveLock);
        uint8_t buffer[sizeof(ControlHeader)] = {};
        SendControlRequest(device, buffer, sizeof(buffer), kCtlUnmountAll, 0);
    }
    found.reset();
    for (uint32_t index = 0; index < kMaxDrives; ++index)
        RemoveDriveImage(ctx.s.registry, index);
}

} // namespace vostrale::app

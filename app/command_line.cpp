#include "app/command_line.h"

#include "app/mount.h"
#include "app/text.h"

namespace vostrale::app {

namespace {

wchar_t UpperAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? wchar_t(c - (L'a' - L'A')) : c;
}

bool IsPathArgument(const std::wstring& arg) {
    if (arg[0] == L'\\' && arg.size() > 1 && arg[1] == L'\\')
        return true;
    return arg[0] != L'/' && arg[0] != L'-' && arg[0] != L'\\';
}

bool IsChangeFileSwitch(const std::wstring& arg) {
    return arg.size() == 3 && (arg[0] == L'/' || arg[0] == L'-') && UpperAscii(arg[1]) == L'X' &&
           UpperAscii(arg[2]) == L'F';
}

// The drive after "/M:" or "/U:": empty for the driver's first free drive; a number below 7; or a
// drive letter of the driver.
bool ResolveDriveSpec(AppContext& ctx, const std::wstring& spec, uint32_t* index) {
    if (spec.empty()) {
        std::unique_ptr<Device> adapter = ctx.channel.FindAdapter();
        uint32_t free = adapter ? FindFreeDrive(adapter.get()) : kNoDrive;
        if (free >= kMaxDrives)
            return false;
        *index = free;
        return true;
    }
    wchar_t first = UpperAscii(spec[0]);
    if (first >= L'0' && first <= L'9') {
        uint32_t number = 0;
        if (!ParseDecimal(spec, &number) || number >= kMaxDrives)
            return false;
        *index = number;
        return true;
    }
    if (first >= L'A' && first <= L'Z') {
        DriveHandle drive = ctx.channel.OpenDriveByLetter(first);
        if (!drive)
            return false;
        *index = drive.index;
        return true;
    }
    return false;
}

void ReadSwitch(AppContext& ctx, const std::wstring& arg, OneShotJobs* jobs, CommandLine* line) {
    if (arg.size() < 2)
        return;
    switch (UpperAscii(arg[1])) {
    case L'C':
        line->mode = RequestMode::Start;
        break;
    case L'M':
    case L'U': {
        RequestMode mode = UpperAscii(arg[1]) == L'M' ? RequestMode::Mount : RequestMode::Unmount;
        if (arg.size() > 2 && arg[2] == L':') {
            uint32_t index = kNoDrive;
            if (!ResolveDriveSpec(ctx, arg.substr(3), &index)) {
                line->specFailed = true;
                break;
            }
            line->drive = index;
        }
        line->mode = mode;
        break;
    }
    case L'X': {
        wchar_t job = arg.size() > 2 ? UpperAscii(arg[2]) : 0;
        if (job == L'I') {
            uint32_t owner = 0;
            if (arg.size() > 4 && arg[3] == L':' && !ParseDecimal(arg.substr(4), &owner))
                owner = 0;
            if (jobs && jobs->InstallDriver(owner))
                line->restartNeeded = true;
        } else if (job == L'U') {
            if (jobs && jobs->UninstallDriver())
                line->restartNeeded = true;
        } else if (job == L'F') {
            if (jobs)
                jobs->ApplyAssociations(line->changeFile);
        } else {
            break;
        }
        line->mode = RequestMode::OneShot;
        break;
    }
    case L'Y':
        if (arg.size() != 4)
            break;
        if (jobs)
            jobs->MoveDriveLetter(arg[2], arg[3]);
        line->mode = RequestMode::OneShot;
        break;
    default:
        break;
    }
}

} // namespace

bool ParseDecimal(const std::wstring& text, uint32_t* value) {
    uint32_t number = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        uint32_t digit = uint32_t(text[at] - L'0');
        if (number > (0xFFFFFFFFu - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    if (at == 0)
        return false;
    *value = number;
    return true;
}

CommandLine ReadCommandLine(AppContext& ctx, const std::vector<std::wstring>& args,
                            OneShotJobs* jobs) {
    CommandLine line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg.empty())
            continue; // an empty argument names no file
        if (IsChangeFileSwitch(arg)) {
            // The change file travels as the argument after /XF: an elevated copy may run as
            // another account, with another temporary folder.
            line.changeFile.clear();
            if (i + 1 < args.size() && !args[i + 1].empty() && IsPathArgument(args[i + 1]))
                line.changeFile = args[++i];
        }
        if (IsPathArgument(arg)) {
            // A longer path is refused rather than cut into the name of some other file.
            line.path = arg.size() <= kMaxPathArgument ? arg : std::wstring();
            continue;
        }
        ReadSwitch(ctx, arg, jobs, &line);
    }
    return line;
}

bool NormaliseImagePath(System* system, const std::wstring& argument, std::wstring* out) {
    std::wstring path = argument;
    if (!path.empty() && path.front() == L'"')
        path.erase(0, 1);
    while (!path.empty() && path.back() == L'"')
        path.pop_back();
    if (path.empty())
        return false;
    wchar_t full[kMaxPath + 1] = {};
    uint32_t n = system->FullPathName(path, full, kMaxPath);
    if (n == 0 || n >= kMaxPath)
        return false;
    full[n] = 0;
    uint32_t attributes = system->FileAttributes(full);
    if (attributes == kInvalidAttributes || (attributes & kAttributeDirectory) != 0)
        return false;
    *out = full;
    return true;
}

int RunCommandLine(AppContext& ctx, const CommandLine& line) {
    switch (line.mode) {
    case RequestMode::Start:
        return kStartTray;
    case RequestMode::OneShot:
        return line.restartNeeded ? kExitRestartNeeded : kExitNormal;
    case RequestMode::Mount:
    case RequestMode::Unmount:
        break;
    }
    if (line.specFailed)
        return kStartTray;
    std::wstring path;
    if (line.mode == RequestMode::Mount && !NormaliseImagePath(ctx.s.system, line.path, &path))
        return kExitNormal;
    if (line.drive >= kMaxDrives)
        return kExitNormal;
    std::unique_ptr<Device> adapter = ctx.channel.FindAdapter();
    if (!adapter)
        return kExitNormal;
    ctx.language.Create(ctx.s.registry, ctx.s.system, kOneShotLanguagePrefix);
    if (line.mode == RequestMode::Mount)
        MountImage(ctx, adapter.get(), path, line.drive);
    else
        UnmountDrive(ctx, adapter.get(), line.drive);
    return kExitNormal;
}

} // namespace vostrale::app

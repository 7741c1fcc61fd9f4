#include "app/drive_letters.h"

#include "app/text.h"
#include "formats/activity_log.h"

namespace vostrale::app {

namespace {

bool IsOfferableLetter(wchar_t letter) {
    return letter >= L'C' && letter <= L'Z';
}

uint32_t LetterBit(wchar_t letter) {
    return 1u << (letter - L'A');
}

char Narrow(wchar_t letter) {
    return letter >= 0x20 && letter < 0x7F ? char(letter) : '?';
}

} // namespace

std::vector<wchar_t> OfferedLetters(uint32_t logicalDrives, wchar_t own) {
    std::vector<wchar_t> letters;
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        if (letter == own || (logicalDrives & LetterBit(letter)) == 0)
            letters.push_back(letter);
    }
    return letters;
}

wchar_t LetterOfDrive(DriverChannel* channel, uint32_t logicalDrives, uint32_t index) {
    if (index >= kMaxDrives)
        return 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if ((logicalDrives & LetterBit(letter)) == 0)
            continue;
        DriveHandle drive = channel->OpenDriveByLetter(letter);
        if (drive && drive.index == index)
            return letter;
    }
    return 0;
}

JobResult MoveDriveLetter(DeviceNamespace* devices, VolumeMounts* mounts, wchar_t from,
                          wchar_t to, ActivityLog* log) {
    LogLine(log, kLogInfo, "Move drive letter %c: to %c:", Narrow(from), Narrow(to));
    // A and B are never offered: they belong to floppy drives whatever is plugged in.
    if (!IsOfferableLetter(from) || !IsOfferableLetter(to) || from == to) {
        LogLine(log, kLogError, "Move refused: letters must be two different ones from C to Z");
        return JobResult::Failed;
    }
    std::wstring target;
    if (devices->DriveType(from) != kDriveCdRom ||
        !devices->QueryDosTarget(std::wstring{from, L':'}, &target)) {
        LogLine(log, kLogError, "Move refused: %c: is not a CD-ROM drive", Narrow(from));
        return JobResult::Failed;
    }
    if (mounts->LogicalDrives() & LetterBit(to)) {
        LogLine(log, kLogError, "Move refused: %c: is in use", Narrow(to));
        return JobResult::Failed;
    }
    std::wstring volume;
    if (uint32_t error = mounts->VolumeNameOf(from, &volume)) {
        LogLine(log, kLogError, "Volume name of %c: failed: error %u", Narrow(from), error);
        return JobResult::Failed;
    }
    if (uint32_t error = mounts->DeleteMountPoint(from)) {
        LogLine(log, kLogError, "Removing %c: failed: error %u", Narrow(from), error);
        return JobResult::Failed;
    }
    if (uint32_t error = mounts->SetMountPoint(to, volume)) {
        LogLine(log, kLogError, "Setting %c: failed: error %u", Narrow(to), error);
        // The drive keeps a letter: its old one.
        if (uint32_t back = mounts->SetMountPoint(from, volume))
            LogLine(log, kLogError, "Restoring %c: failed: error %u; the drive has no letter",
                    Narrow(from), back);
        else
            LogLine(log, kLogWarning, "The drive is back at %c:", Narrow(from));
        return JobResult::Failed;
    }
    LogLine(log, kLogInfo, "Drive moved to %c:", Narrow(to));
    return JobResult::Done;
}

std::wstring MoveLetterParameters(wchar_t from, wchar_t to) {
    return std::wstring(L"-Y") + from + to;
}

OneShotOutcome RequestLetterChange(AppContext& ctx, const LetterChangeServices& services,
                                   wchar_t from, wchar_t to, void* owner) {
    if (from == to)
        return OneShotOutcome::Done;
    OneShotRun run = RunOneShot(services.launcher, ctx.s.registry, services.elevation,
                                ctx.s.system, MoveLetterParameters(from, to), owner);
    if (run.outcome == OneShotOutcome::Failed)
        ctx.s.ui->ShowMessage(kLetterMoveFailedDefault, kProductCaption, MessageIcon::Stop, true);
    return run.outcome;
}

} // namespace vostrale::app

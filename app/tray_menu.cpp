#include "app/tray_menu.h"

#include "app/history.h"
#include "app/mount.h"

namespace vostrale::app {

namespace {

constexpr size_t kFilterChars = 1023;
constexpr size_t kShortestPathText = 8;
constexpr const wchar_t* kEllipsis = L"...";

struct FilterPair {
    const wchar_t* description;
    const wchar_t* pattern;
};
constexpr FilterPair kFilterPairs[] = {
    {L"All image files", L"*.ccd;*.cue;*.iso;*.isz;*.mds;*.nrg"},
    {L"CloneCD image files", L"*.ccd"},
    {L"Cue sheets files of APE/FLAC/WAV/BIN", L"*.cue"},
    {L"Standard ISO image files", L"*.iso"},
    {L"Compressed ISO image files", L"*.isz"},
    {L"Media descriptor image files", L"*.mds"},
    {L"Nero image files", L"*.nrg"},
    {L"All files", L"*.*"},
};

MenuItem Command(uint32_t id, std::wstring label, uint16_t bitmap = kBitmapNone,
                 bool greyed = false) {
    MenuItem item;
    item.id = id;
    item.label = std::move(label);
    item.bitmap = bitmap;
    item.greyed = greyed;
    return item;
}

MenuItem Separator() {
    MenuItem item;
    item.kind = MenuItem::kSeparator;
    return item;
}

std::wstring Letter(wchar_t letter) {
    return std::wstring(1, letter);
}

size_t EscapedLength(const std::wstring& text) {
    size_t n = text.size();
    for (wchar_t c : text)
        n += c == L'&';
    return n;
}

// The history entry `item`, read as the menu read it.
bool HistoryEntry(MruStore* history, uint32_t item, std::wstring* path) {
    std::vector<std::wstring> entries = ReadHistory(history, kMaxPath);
    if (item >= entries.size())
        return false;
    *path = entries[item];
    return true;
}

} // namespace

std::vector<TrayDrive> ListTrayDrives(AppContext& ctx, bool query) {
    std::vector<TrayDrive> drives;
    uint32_t present = ctx.s.devices->LogicalDrives();
    for (uint32_t n = 0; n <= kMaxLetterIndex; ++n) {
        if ((present & (1u << n)) == 0)
            continue;
        wchar_t letter = wchar_t(L'A' + n);
        DriveHandle drive = ctx.channel.OpenDriveByLetter(letter);
        if (!drive)
            continue;
        TrayDrive entry;
        entry.letter = letter;
        entry.index = drive.index;
        GetDriveImage(ctx.s.registry, drive.index, &entry.statImage);
        if (query)
            entry.queried = QueryDrive(drive.device.get(), drive.index, &entry.trayOpen);
        drives.push_back(std::move(entry));
    }
    return drives;
}

std::wstring MenuPathText(const std::wstring& path, size_t maxChars) {
    std::wstring text = path;
    for (wchar_t& c : text) {
        if (c < 0x20 || c == 0x7F)
            c = L' ';
    }
    maxChars = std::max(maxChars, kShortestPathText);
    if (EscapedLength(text) > maxChars) {
        // Keep the start (the drive or share) and the end (the file name) of the path.
        std::wstring head = text.substr(0, text.size() / 2);
        std::wstring tail = text.substr(text.size() / 2);
        while (!head.empty() || !tail.empty()) {
            if (EscapedLength(head) + 3 + EscapedLength(tail) <= maxChars)
                break;
            if (head.size() > tail.size())
                head.pop_back();
            else
                tail.erase(0, 1);
        }
        text = head + kEllipsis + tail;
    }
    std::wstring out;
    out.reserve(text.size() + 8);
    for (wchar_t c : text) {
        out.push_back(c);
        if (c == L'&')
            out.push_back(L'&');
    }
    return out;
}

std::wstring DriveLabel(const LanguageTable& language, wchar_t letter, const std::wstring& image) {
    const size_t limit = kMenuLabelChars - 1;
    if (image.empty())
        return language.Format(kMsgDriveEmpty, {Letter(letter)}).substr(0, limit);
    // Shorten the path until the whole label fits: a pattern may use it more than once.
    std::wstring label;
    for (size_t room = limit; room >= kShortestPathText; room = room * 3 / 4) {
        label = language.Format(kMsgDriveImage, {Letter(letter), MenuPathText(image, room)});
        if (label.size() <= limit)
            return label;
    }
    return label.substr(0, limit);
}

MenuModel BuildLeftMenu(AppContext& ctx) {
    const LanguageTable& language = ctx.language;
    MenuModel menu;
    bool anyImage = false;
    for (const TrayDrive& drive : ListTrayDrives(ctx, false)) {
        menu.push_back(Command(kCmdChooseAndMount + uint32_t(drive.letter - L'A'),
                               DriveLabel(language, drive.letter, drive.statImage),
                               kBitmapDrive));
        anyImage = anyImage || !drive.statImage.empty();
    }
    if (!menu.empty())
        menu.push_back(Separator());
    menu.push_back(
        Command(kCmdUnmountAll, language.Message(kMsgUnmountAll), kBitmapUnmount, !anyImage));
    return menu;
}

MenuModel BuildRightMenu(AppContext& ctx) {
    const LanguageTable& language = ctx.language;
    MenuModel menu;
    std::vector<std::wstring> history = ReadHistory(ctx.s.history, kMaxPath);
    if (history.size() > kHistoryEntries)
        history.resize(kHistoryEntries);
    std::vector<TrayDrive> drives = ListTrayDrives(ctx, true);
    for (const TrayDrive& drive : drives) {
        uint32_t l = uint32_t(drive.letter - L'A');
        MenuItem sub;
        sub.kind = MenuItem::kSubMenu;
        sub.bitmap = kBitmapDrive;
        sub.label = DriveLabel(language, drive.letter,
                               drive.queried ? drive.statImage : std::wstring());
        sub.items.push_back(
            Command(kCmdChooseAndMount + l, language.Message(kMsgChooseAndMount), kBitmapMount));
        sub.items.push_back(Command(kCmdUnmount + l, language.Message(kMsgUnmount),
                                    kBitmapUnmount, !drive.queried));
        if (drive.queried) {
            sub.items.push_back(Separator());
            sub.items.push_back(Command(kCmdOpenDrive + l, language.Message(kMsgOpenDrive),
                                        kBitmapOpenDrive, drive.trayOpen));
            if (drive.trayOpen)
                sub.items.push_back(
                    Command(kCmdCloseTray + l, language.Message(kMsgCloseTray)));
            else
                sub.items.push_back(Command(kCmdEject + l, language.Message(kMsgEject)));
        }
        if (!history.empty()) {
            sub.items.push_back(Separator());
            for (size_t h = 0; h < history.size(); ++h)
                sub.items.push_back(Command(kCmdHistory + uint32_t(h) * 64 + l,
                                            MenuPathText(history[h], kMenuLabelChars - 1),
                                            kBitmapHistory));
        }
        menu.push_back(std::move(sub));
    }
    if (!drives.empty())
        menu.push_back(Separator());

    if (std::unique_ptr<Device> adapter = ctx.channel.FindAdapter()) {
        uint32_t count = GetDriveCount(adapter.get());
        MenuItem sub;
        sub.kind = MenuItem::kSubMenu;
        sub.label = language.Message(kMsgDriveCount);
        for (uint32_t n = 0; n <= kMaxDriveCountEntry; ++n) {
            MenuItem entry = Command(kCmdDriveCount + n, n == 0 ? language.Message(kMsgNoDrives)
                                                                : L"&" + std::to_wstring(n));
            entry.checked = n == count;
            sub.items.push_back(std::move(entry));
        }
        menu.push_back(std::move(sub));
    }
    menu.push_back(Command(kCmdUnmountAll, language.Message(kMsgUnmountAll), kBitmapUnmount,
                           drives.empty()));
    menu.push_back(Separator());
    MenuItem settings =
        Command(kCmdSettings, language.Message(kMsgSettings), kBitmapNone, !ctx.showSettings);
    settings.isDefault = ctx.showSettings != nullptr;
    menu.push_back(std::move(settings));
    menu.push_back(Command(kCmdHomePage, language.Message(kMsgHomePage), kBitmapHomePage));
    menu.push_back(Command(kCmdAbout, language.Message(kMsgAbout)));
    menu.push_back(Separator());
    menu.push_back(Command(kCmdExit, language.Message(kMsgExit)));
    return menu;
}

uint32_t DefaultCommand(const MenuModel& menu) {
    for (const MenuItem& item : menu) {
        if (item.kind == MenuItem::kCommand && item.isDefault && !item.greyed)
            return item.id;
    }
    return 0;
}

TrayCommand DecodeCommand(uint32_t command) {
    TrayCommand decoded;
    command &= 0xFFFF;
    switch (command) {
    case kCmdSettings:
        decoded.action = TrayCommand::kSettings;
        return decoded;
    case kCmdUnmountAll:
        decoded.action = TrayCommand::kUnmountAll;
        return decoded;
    case kCmdHomePage:
        decoded.action = TrayCommand::kHomePage;
        return decoded;
    case kCmdAbout:
        decoded.action = TrayCommand::kAbout;
        return decoded;
    case kCmdExit:
        decoded.action = TrayCommand::kExit;
        return decoded;
    case kCmdFeedback:
        decoded.action = TrayCommand::kFeedback;
        return decoded;
    default:
        break;
    }
    uint32_t group = command & 0xF000;
    uint32_t letter = command & 0x3F;
    if (group == kCmdDriveGroup) {
        if (letter > kMaxLetterIndex)
            return decoded;
        static const TrayCommand::Action kActions[] = {
            TrayCommand::kChooseAndMount, TrayCommand::kUnmount,      TrayCommand::kEject,
            TrayCommand::kCloseTray,      TrayCommand::kChangeLetter, TrayCommand::kNone,
            TrayCommand::kNone,           TrayCommand::kNone,         TrayCommand::kOpenDrive,
        };
        uint32_t action = (command >> 6) & 0x3F;
        if (action < sizeof(kActions) / sizeof(kActions[0])) {
            decoded.action = kActions[action];
            decoded.letter = letter;
        }
        return decoded;
    }
    if (group == kCmdDriveCount) {
        uint32_t count = command & 0x0FFF;
        if (count <= kMaxDriveCountEntry) {
            decoded.action = TrayCommand::kSetDriveCount;
            decoded.count = count;
        }
        return decoded;
    }
    if (group == kCmdHistory) {
        uint32_t history = (command & 0x0FFF) >> 6;
        if (letter <= kMaxLetterIndex && history < kHistoryEntries) {
            decoded.action = TrayCommand::kMountHistory;
            decoded.letter = letter;
            decoded.history = history;
        }
        return decoded;
    }
    return decoded;
}

void RunTrayCommand(AppContext& ctx, TrayShell* shell, uint32_t command) {
    TrayCommand decoded = DecodeCommand(command);
    switch (decoded.action) {
    case TrayCommand::kNone:
        return;
    case TrayCommand::kSettings:
        if (ctx.showSettings)
            ctx.showSettings(ctx, shell->OwnerWindow());
        return;
    case TrayCommand::kUnmountAll:
        UnmountAllDrives(ctx, nullptr);
        return;
    case TrayCommand::kHomePage:
        shell->OpenHomePage();
        return;
    case TrayCommand::kAbout:
        shell->ShowAbout();
        return;
    case TrayCommand::kExit:
        shell->Exit();
        return;
    case TrayCommand::kFeedback:
        if (ctx.startFeedback)
            ctx.startFeedback(ctx);
        return;
    case TrayCommand::kSetDriveCount: {
        std::unique_ptr<Device> adapter = ctx.channel.FindAdapter();
        if (adapter)
            SetDriveCount(adapter.get(), decoded.count, true);
        return;
    }
    default:
        break;
    }
    DriveHandle drive = ctx.channel.OpenDriveByLetter(wchar_t(L'A' + decoded.letter));
    if (!drive)
        return;
    switch (decoded.action) {
    case TrayCommand::kChooseAndMount: {
        std::wstring path;
        if (shell->ChooseImage(&path))
            MountImage(ctx, drive.device.get(), path, drive.index);
        break;
    }
    case TrayCommand::kUnmount:
        UnmountDrive(ctx, drive.device.get(), drive.index);
        break;
    case TrayCommand::kEject:
        EjectMedia(drive.device.get());
        break;
    case TrayCommand::kCloseTray:
        LoadMedia(drive.device.get());
        break;
    case TrayCommand::kChangeLetter:
        if (ctx.changeDriveLetter) {
            uint32_t index = drive.index;
            drive.device.reset(); // the dialog may move the letter: no handle stays open
            ctx.changeDriveLetter(ctx, shell->OwnerWindow(), index);
        }
        break;
    case TrayCommand::kOpenDrive:
        shell->OpenFolder(Letter(wchar_t(L'A' + decoded.letter)) + L":\\");
        break;
    case TrayCommand::kMountHistory: {
        std::wstring path;
        if (HistoryEntry(ctx.s.history, decoded.history, &path))
            MountImage(ctx, drive.device.get(), path, drive.index);
        break;
    }
    default:
        break;
    }
}

std::wstring OpenFileFilter() {
    std::wstring filter;
    for (const FilterPair& pair : kFilterPairs) {
        std::wstring entry = std::wstring(pair.description) + L" (" + pair.pattern + L")";
        entry.push_back(0);
        entry += pair.pattern;
        entry.push_back(0);
        // The list ends in a second NUL, which must fit as well.
        if (filter.size() + entry.size() + 1 > kFilterChars)
            break;
        filter += entry;
    }
    filter.push_back(0);
    return filter;
}

} // namespace vostrale::app

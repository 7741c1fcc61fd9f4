// Everything the tray program's logic reaches: the operating-system interfaces, the image
// parsers' entry, the driver channel, the drive lock, the settings record and the mount error
// text. One per process; tests build their own around fakes.
#pragma once

#include "app/driver_channel.h"
#include "app/interfaces.h"
#include "app/language.h"
#include "app/settings.h"
#include "formats/parser.h"

#include <mutex>
#include <string>

namespace vostrale::app {

class ReportEnvironment;

struct Services {
    DeviceNamespace* devices = nullptr;
    Registry* registry = nullptr;
    MruStore* history = nullptr;
    Ui* ui = nullptr;
    System* system = nullptr;
    ImageOpener openImage = nullptr;
    ReportEnvironment* reporter = nullptr; // crash and feedback reports
};

class AppContext {
  public:
    explicit AppContext(const Services& services) : s(services), channel(services.devices) {}
    AppContext(const AppContext&) = delete;
    AppContext& operator=(const AppContext&) = delete;

    Services s;
    DriverChannel channel;
    // Serialises mount, unmount, unmount-all and their registry updates (re-entrant, as a
    // critical section is).
    std::recursive_mutex driveLock;
    Settings settings;
    std::wstring mountError; // the last parser's failure text, emptied at every mount
    ProgressRecord progress; // shared with a progress window while a parser indexes audio
    LanguageTable language;

    // Features other parts of the program plug in. A null hook means the feature is not there:
    // its menu item or button is shown disabled.
    // The settings dialog (double click on the icon, menu command 100).
    void (*showSettings)(AppContext& ctx, void* ownerWindow) = nullptr;
    // Sends a problem report with the log for a failed mount; false when it could not start.
    bool (*reportMountFailure)(AppContext& ctx, const std::wstring& imagePath,
                               const std::wstring& reason) = nullptr;
    // The feedback report dialog (about box link, command 107).
    void (*startFeedback)(AppContext& ctx) = nullptr;
    // The drive-letter dialog for a drive index (command 0x1100 + letter).
    void (*changeDriveLetter)(AppContext& ctx, void* ownerWindow, uint32_t drive) = nullptr;
    // The daily update check, started once the tray window exists.
    void (*startUpdateCheck)(AppContext& ctx) = nullptr;
};

} // namespace vostrale::app

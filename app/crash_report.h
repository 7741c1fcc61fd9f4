// Report bundles and the uploader start: the crash bundle (dump, screenshots, log, registers,
// system description), the mount failure bundle and the feedback start. The steps run against
// ReportEnvironment so they are tested natively; the crash filter and the Win32 environment
// live in app/win32/.
#pragma once

#include "app/report_text.h"
#include "app/system_report.h"
#include "app/zip_builder.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vostrale::app {

class AppContext;

// The maker's report service.
inline constexpr const char* kReportHost = "reports.vostrale.net";

// Set once at start; each string at most 31 bytes.
struct ReportIdentity {
    std::string folderName = "Vostrale"; // report folder and archive name
    std::string productName = "Vostrale"; // the uploader's registry key name
    std::string host;                      // report service; "host:port" is honoured
};

enum class ReportMode : uint32_t { Crash = 0, Feedback = 1 };

class ReportEnvironment {
  public:
    virtual ~ReportEnvironment() = default;
    virtual const ReportIdentity& Identity() = 0;
    // An elevated process writes nothing into the user's folders and starts no uploader.
    virtual bool IsElevated() = 0;
    // The documents folder, "\", the report folder name, "\"; created when missing. Empty when
    // it cannot be had or is a reparse point.
    virtual std::wstring ReportFolder() = 0;
    // The whole file; false when missing, unreadable or 4 GiB or more.
    virtual bool ReadFile(const std::wstring& path, std::vector<uint8_t>* data) = 0;
    virtual bool FileSize(const std::wstring& path, uint64_t* size) = 0;
    // Removes what is there first, then creates the file anew; never through a reparse point.
    virtual bool WriteNewFile(const std::wstring& path, const std::vector<uint8_t>& data) = 0;
    virtual bool RemoveFile(const std::wstring& path) = 0;
    // One "screen%d.jpg" per monitor into `folder`; the number written.
    virtual int CaptureScreenshots(const std::wstring& folder) = 0;
    virtual MachineRegistry* Registry() = 0;
    virtual MachineFacts* Facts() = 0;
    virtual LocalTime Now() = 0;
    virtual std::wstring ProgramPath() = 0;
    // 8-bit text in the system code page with no best-fit characters; a path that cannot be
    // represented is tried in its short form. False when neither can.
    virtual bool NarrowText(const std::wstring& text, bool isPath, std::string* out) = 0;
    // Starts `program` with the block in its start-up information; false when it did not start.
    virtual bool StartProcess(const std::wstring& program, const std::vector<uint8_t>& block) = 0;
};

// The block, or false when a string holds a NUL or the block would reach 65536 bytes.
bool BuildHandoverBlock(const std::string strings[4], const std::string* archivePath,
                        ReportMode mode, bool sendWithoutAsking, std::vector<uint8_t>* block);

// Starts "tessivo.exe" from the program's folder.
bool StartUploader(ReportEnvironment* env, ReportMode mode, const std::wstring* archivePath,
                   bool sendWithoutAsking);

inline constexpr const wchar_t* kUploaderFileName = L"tessivo.exe";
inline constexpr uint64_t kReportedFileLimit = 51200;

// Entry names the bundle itself uses; a reported file of such a name is left out.
bool IsReservedEntryName(const std::wstring& name);

// The crash bundle. `writeDump` writes the minidump to the path it is given (null: no dump);
// `regs` may be null. False when no report could be made (no report folder, elevated), so the
// filter lets the system handle the fault.
bool PackCrashReport(ReportEnvironment* env,
                     const std::function<bool(const std::wstring&)>& writeDump,
                     const RegisterValues* regs);

// The mount failure bundle for `reportedFile`, sent without asking in feedback mode; the user
// may leave the screenshots out. True when the uploader was started.
bool PackMountFailureReport(ReportEnvironment* env, const std::wstring& reportedFile,
                            bool includeScreenshots);

// What a mount failure report sends, one line per item, for the dialog that asks.
std::vector<std::wstring> MountFailureReportItems(ReportEnvironment* env,
                                                  const std::wstring& reportedFile);

// The tray program's two entries into the report flow (the mount failure dialog's report
// button and the about box's feedback link). `reason` is already in the activity log, which
// the bundle carries.
bool ReportMountFailure(AppContext& ctx, const std::wstring& imagePath, const std::wstring& reason);
void StartFeedback(AppContext& ctx);

} // namespace vostrale::app

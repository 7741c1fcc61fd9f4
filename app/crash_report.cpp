#include "app/crash_report.h"

#include "app/context.h"
#include "common/handover_layout.h"

#include <cstdio>
#include <cwctype>

namespace vostrale::app {

namespace {

std::wstring ToWide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'A' && c <= L'Z')
            c = wchar_t(c - L'A' + L'a');
    }
    return s;
}

std::wstring ArchivePath(ReportEnvironment* env, const std::wstring& folder) {
    return folder + ToWide(env->Identity().folderName) + L".zip";
}

// Reads a capture file into the archive, optionally scrambled, and deletes it when asked.
void AddFile(ReportEnvironment* env, ZipBuilder* zip, const std::wstring& path,
             const std::wstring& entry, bool scramble, bool remove, const LocalTime& now) {
    std::vector<uint8_t> data;
    if (env->ReadFile(path, &data)) {
        if (scramble)
            Scramble(&data);
        zip->Add(entry, data.data(), data.size(), now);
    }
    if (remove)
        env->RemoveFile(path);
}

void AddScreenshots(ReportEnvironment* env, ZipBuilder* zip, const std::wstring& folder,
                    const LocalTime& now) {
    int count = env->CaptureScreenshots(folder);
    for (int i = 1; i <= count; ++i) {
        std::wstring n = std::to_wstring(i);
        AddFile(env, zip, folder + L"screen" + n + L".jpg", L"sc" + n + L".bin", true, true, now);
    }
}

void AddSystemDescription(ReportEnvironment* env, ZipBuilder* zip, const LocalTime& now) {
    XmlDocument doc;
    BuildSystemDocument(&doc, env->Registry(), env->Facts());
    std::string text = doc.Serialise();
    std::vector<uint8_t> data(text.begin(), text.end());
    Scramble(&data);
    zip->Add(L"sy.bin", data.data(), data.size(), now);
}

// The old archive goes first, so a failed write never leaves the previous report to be sent.
bool WriteArchive(ReportEnvironment* env, const ZipBuilder& zip, const std::wstring& path) {
    env->RemoveFile(path);
    std::vector<uint8_t> bytes;
    return zip.Build(&bytes) && env->WriteNewFile(path, bytes);
}

} // namespace

bool BuildHandoverBlock(const std::string strings[4], const std::string* archivePath,
                        ReportMode mode, bool sendWithoutAsking, std::vector<uint8_t>* block) {
    block->assign(handover::kStringsOffset, 0);
    uint32_t flags = handover::kMagic | uint32_t(mode) |
                     (sendWithoutAsking ? handover::kSendWithoutAsking : 0);
    for (int i = 0; i < 4; ++i)
        (*block)[handover::kFlagsOffset + i] = uint8_t(flags >> (8 * i));
    auto append = [block](const std::string& s) {
        if (s.find('\0') != std::string::npos)
            return false;
        block->insert(block->end(), s.begin(), s.end());
        block->push_back(0);
        return true;
    };
    for (int i = 0; i < handover::kFixedStrings; ++i) {
        if (!append(strings[i]))
            return false;
    }
    // An empty archive path would read as the end of the block.
    if (archivePath && (archivePath->empty() || !append(*archivePath)))
        return false;
    block->push_back(0);
    return block->size() <= handover::kMaxBlockSize;
}

bool StartUploader(ReportEnvironment* env, ReportMode mode, const std::wstring* archivePath,
                   bool sendWithoutAsking) {
    if (env->IsElevated())
        return false;
    std::wstring program = env->ProgramPath();
    size_t slash = program.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return false;
    const ReportIdentity& id = env->Identity();
    std::string strings[4] = {id.folderName, id.productName, {}, id.host};
    if (!env->NarrowText(program.substr(slash + 1), false, &strings[2]))
        return false;
    std::string archive;
    if (archivePath && !env->NarrowText(*archivePath, true, &archive))
        return false;
    std::vector<uint8_t> block;
    if (!BuildHandoverBlock(strings, archivePath ? &archive : nullptr, mode, sendWithoutAsking,
                            &block))
        return false;
    return env->StartProcess(program.substr(0, slash + 1) + kUploaderFileName, block);
}

bool IsReservedEntryName(const std::wstring& name) {
    std::wstring n = Lower(name);
    if (n == L"crash.dmp" || n == L"log.txt" || n == L"regs.txt" || n == L"sy.bin")
        return true;
    if (n.size() > 6 && n.compare(0, 2, L"sc") == 0 && n.compare(n.size() - 4, 4, L".bin") == 0) {
        for (size_t i = 2; i + 4 < n.size(); ++i) {
            if (n[i] < L'0' || n[i] > L'9')
                return false;
        }
        return true;
    }
    return false;
}

bool PackCrashReport(ReportEnvironment* env,
                     const std::function<bool(const std::wstring&)>& writeDump,
                     const RegisterValues* regs) {
    if (env->IsElevated())
        return false;
    std::wstring folder = env->ReportFolder();
    if (folder.empty())
        return false;
    LocalTime now = env->Now();
    ZipBuilder zip;
    if (writeDump) {
        std::wstring dump = folder + L"crash.dmp";
        env->RemoveFile(dump);
        if (writeDump(dump))
            AddFile(env, &zip, dump, L"crash.dmp", false, true, now);
        else
            env->RemoveFile(dump);
    }
    AddScreenshots(env, &zip, folder, now);
    AddFile(env, &zip, folder + L"log.txt", L"log.txt", false, false, now);
    if (regs) {
        std::string text = RegisterText(*regs);
        zip.Add(L"regs.txt", reinterpret_cast<const uint8_t*>(text.data()), text.size(), now);
    }
    AddSystemDescription(env, &zip, now);
    std::wstring archive = ArchivePath(env, folder);
    // A crash report without its archive has nothing to send: no uploader then.
    if (WriteArchive(env, zip, archive))
        StartUploader(env, ReportMode::Crash, &archive, false);
    return true;
}

bool PackMountFailureReport(ReportEnvironment* env, const std::wstring& reportedFile,
                            bool includeScreenshots) {
    if (env->IsElevated())
        return false;
    std::wstring folder = env->ReportFolder();
    if (folder.empty())
        return false;
    LocalTime now = env->Now();
    ZipBuilder zip;
    if (includeScreenshots)
        AddScreenshots(env, &zip, folder, now);
    AddFile(env, &zip, folder + L"log.txt", L"log.txt", false, false, now);
    AddSystemDescription(env, &zip, now);
    std::wstring name = FileNameOf(reportedFile);
    uint64_t size = 0;
    if (!name.empty() && !IsReservedEntryName(name) && env->FileSize(reportedFile, &size) &&
        size < kReportedFileLimit) {
        std::vector<uint8_t> data;
        if (env->ReadFile(reportedFile, &data) && data.size() < kReportedFileLimit)
            zip.Add(name, data.data(), data.size(), now);
    }
    std::wstring archive = ArchivePath(env, folder);
    bool written = WriteArchive(env, zip, archive);
    return StartUploader(env, ReportMode::Feedback, written ? &archive : nullptr, true);
}

std::vector<std::wstring> MountFailureReportItems(ReportEnvironment* env,
                                                  const std::wstring& reportedFile) {
    std::vector<std::wstring> items = {L"A screenshot of each monitor",
                                       L"The activity log (log.txt)",
                                       L"A description of this computer: installed programs, "
                                       L"processor, memory and fixed disks"};
    std::wstring name = FileNameOf(reportedFile);
    uint64_t size = 0;
    if (!name.empty() && !IsReservedEntryName(name) && env->FileSize(reportedFile, &size) &&
        size < kReportedFileLimit)
        items.push_back(L"The file " + name);
    return items;
}

bool ReportMountFailure(AppContext& ctx, const std::wstring& imagePath, const std::wstring&) {
    return ctx.s.reporter && PackMountFailureReport(ctx.s.reporter, imagePath, true);
}

void StartFeedback(AppContext& ctx) {
    if (ctx.s.reporter)
        StartUploader(ctx.s.reporter, ReportMode::Feedback, nullptr, false);
}

} // namespace vostrale::app

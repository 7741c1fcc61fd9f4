// The uploader's portable side: the fields it sends, the multipart request body, the report
// host and the feedback dialog's checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

inline constexpr const char* kBoundary = "AaB03x";
inline constexpr const char* kUploadPath = "/tessivo/";
inline constexpr const char* kUserAgent = "tessivo";
inline constexpr size_t kArchiveWriteSize = 1024;

struct ReportFields {
    std::string product, version, type, osversion, osname, email, content;
};

// The body as the writes that send it (text parts whole, the archive in pieces of at most
// 1024 bytes) and its exact length.
struct RequestBody {
    std::vector<std::string> writes;
    uint64_t length = 0;
};

// False when a single-line field holds CR or LF, or the message holds the boundary line,
// either of which would change the parts the service reads.
bool BuildRequestBody(const ReportFields& fields, bool feedbackMode,
                      const std::vector<uint8_t>* archive, RequestBody* body);

struct ReportTarget {
    std::string host;
    uint16_t port = 0;
    bool secure = true;
};

// "host" or "host:port". Only a loopback host is reached over plain HTTP (port 80 unless
// given); every other host over HTTPS (443 unless given). False for an empty host or a bad port.
bool ParseReportHost(const std::string& text, ReportTarget* target);

// Trailing blanks, tabs, CR and LF and leading blanks and tabs removed.
std::string TrimField(const std::string& text);

enum class FeedbackCheck { Ok, InvalidEmail, MessageTooShort };
inline constexpr size_t kMinimumMessage = 10;
inline constexpr size_t kMaxEmailBytes = 128;
inline constexpr size_t kMaxMessageBytes = 1024;

// Checks the dialog's fields after trimming them in place.
FeedbackCheck CheckFeedback(std::string* email, std::string* message);

// "%d%d%d_x64" from the program's file version.
std::string VersionText(uint32_t versionMs, uint32_t versionLs);
// "%s %d-bit %s (%d.%d, Build %d)".
std::string OsNameText(const std::string& productName, bool amd64, const std::string& servicePack,
                       uint32_t major, uint32_t minor, uint32_t build);

// A 2xx status means the service took the report.
inline bool IsAcceptedStatus(uint32_t status) { return status >= 200 && status < 300; }

} // namespace vostrale

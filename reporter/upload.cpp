#include "reporter/upload.h"

#include <cstdio>

namespace vostrale {

namespace {

std::string TextPart(const char* name, const std::string& value) {
    std::string s = "--";
    s += kBoundary;
    s += "\r\nContent-disposition: form-data; name=\"";
    s += name;
    s += "\"\r\n\r\n";
    s += value;
    s += "\r\n";
    return s;
}

bool SingleLine(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

bool IsLoopback(const std::string& host) {
    if (host == "localhost" || host == "[::1]")
        return true;
    // 127.0.0.0/8 in dotted form.
    unsigned a, b, c, d;
    char tail;
    return std::sscanf(host.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a == 127 &&
           b < 256 && c < 256 && d < 256;
}

} // namespace

bool BuildRequestBody(const ReportFields& f, bool feedbackMode,
                      const std::vector<uint8_t>* archive, RequestBody* body) {
    *body = RequestBody{};
    for (const std::string* s : {&f.product, &f.version, &f.type, &f.osversion, &f.osname, &f.email}) {
        if (!SingleLine(*s))
            return false;
    }
    std::string boundaryLine = std::string("--") + kBoundary;
    if (f.content.find(boundaryLine) != std::string::npos)
        return false;
    auto add = [body](std::string s) {
        body->length += s.size();
        body->writes.push_back(std::move(s));
    };
    add(TextPart("product", f.product));
    add(TextPart("version", f.version));
    add(TextPart("type", f.type));
    add(TextPart("osversion", f.osversion));
    add(TextPart("osname", f.osname));
    if (!f.email.empty())
        add(TextPart("email", f.email));
    if (feedbackMode && !f.content.empty())
        add(TextPart("content", f.content));
    if (archive) {
        add(boundaryLine + "\r\nContent-disposition: form-data; name=\"file\"; "
                           "filename=\"bugreport.zip\"\r\nContent-Type: application/zip\r\n"
                           "Content-Transfer-Encoding: binary\r\n\r\n");
        for (size_t at = 0; at < archive->size(); at += kArchiveWriteSize) {
            size_t n = std::min(kArchiveWriteSize, archive->size() - at);
            add(std::string(reinterpret_cast<const char*>(archive->data() + at), n));
        }
        add("\r\n" + boundaryLine + "--\r\n");
    } else {
        add(boundaryLine + "--\r\n");
    }
    return true;
}

bool ParseReportHost(const std::string& text, ReportTarget* target) {
    *target = ReportTarget{};
    std::string host = text;
    long port = -1;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(']', colon) == std::string::npos) {
        std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = std::stol(digits);
        if (port < 1 || port > 65535)
            return false;
        host = text.substr(0, colon);
    }
    if (host.empty() || host.find_first_of(" /\\\r\n\t") != std::string::npos)
        return false;
    target->host = host;
    target->secure = !IsLoopback(host);
    target->port = uint16_t(port > 0 ? port : (target->secure ? 443 : 80));
    return true;
}

std::string TrimField(const std::string& text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return {};
    size_t begin = text.find_first_not_of(" \t");
    return text.substr(begin, end + 1 - begin);
}

FeedbackCheck CheckFeedback(std::string* email, std::string* message) {
    *email = TrimField(*email);
    *message = TrimField(*message);
    if (!email->empty() && email->find('@') == std::string::npos)
        return FeedbackCheck::InvalidEmail;
    if (message->size() < kMinimumMessage)
        return FeedbackCheck::MessageTooShort;
    return FeedbackCheck::Ok;
}

std::string VersionText(uint32_t ms, uint32_t ls) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%d%d%d_x64", int((ms >> 16) & 0xFF), int(ms & 0xFF),
                  int((ls >> 16) & 0xFF));
    return buffer;
}

std::string OsNameText(const std::string& productName, bool amd64, const std::string& servicePack,
                       uint32_t major, uint32_t minor, uint32_t build) {
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer), "%s %d-bit %s (%u.%u, Build %u)", productName.c_str(),
                  amd64 ? 64 : 32, servicePack.c_str(), major, minor, build);
    return buffer;
}

} // namespace vostrale

#include "app/network_logon.h"

#include "app/text.h"
#include "formats/activity_log.h"
#include "platform/platform.h"

namespace vostrale::app {

namespace {

bool IsEmpty(const wchar_t* text) {
    return !text || !text[0];
}

std::string ForLog(const std::wstring& text) {
    return platform::NarrowPath(ToPath(text));
}

} // namespace

bool ShareOfPath(const std::wstring& path, std::wstring* share, std::wstring* server) {
    size_t start = 0;
    if (StartsWithNoCase(path, L"\\\\?\\UNC\\"))
        start = 8;
    else if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' &&
             path[2] != L'.')
        start = 2;
    else
        return false;
    size_t serverEnd = path.find(L'\\', start);
    if (serverEnd == std::wstring::npos || serverEnd == start)
        return false;
    size_t shareEnd = path.find(L'\\', serverEnd + 1);
    if (shareEnd == std::wstring::npos)
        shareEnd = path.size();
    if (shareEnd == serverEnd + 1)
        return false;
    *server = path.substr(start, serverEnd - start);
    *share = L"\\\\" + path.substr(start, shareEnd - start);
    return true;
}

LogonAttempt ConnectShare(NetworkConnector* connector, System* system, const std::wstring& path,
                          const wchar_t* user, const wchar_t* password, bool remember,
                          ActivityLog* log) {
    LogonAttempt attempt;
    std::wstring share;
    std::wstring server;
    if (!ShareOfPath(path, &share, &server)) {
        attempt.error = kErrorInvalidParameter;
        attempt.message = system->ErrorText(attempt.error);
        return attempt;
    }
    const wchar_t* givenUser = IsEmpty(user) ? nullptr : user;
    const wchar_t* givenPassword = IsEmpty(password) ? nullptr : password;
    attempt.error = connector->AddConnection(share, givenUser, givenPassword);
    if (attempt.error != 0) {
        LogLine(log, kLogError, "Network logon to %s failed: error %u", ForLog(share).c_str(),
                attempt.error);
        uint32_t providerError = 0;
        std::wstring text;
        std::wstring provider;
        // The provider's own reason is the only useful one behind "extended error".
        if (attempt.error == kErrorExtendedError &&
            connector->LastProviderError(&providerError, &text, &provider) == 0 && !text.empty())
            attempt.message = provider.empty() ? text : provider + L": " + text;
        else
            attempt.message = system->ErrorText(attempt.error);
        return attempt;
    }
    LogLine(log, kLogInfo, "Network logon to %s", ForLog(share).c_str());
    if (remember) {
        // Credentials given with the connection are not saved by it: they are stored here.
        if (!givenUser)
            LogLine(log, kLogWarning, "Credentials not stored: no user name given");
        else if (uint32_t error = connector->SaveCredential(server, givenUser, givenPassword))
            LogLine(log, kLogWarning, "Credentials not stored: error %u", error);
    }
    return attempt;
}

void WipeSecret(wchar_t* buffer, size_t chars) {
    volatile wchar_t* p = buffer;
    for (size_t i = 0; i < chars; ++i)
        p[i] = 0;
}

} // namespace vostrale::app

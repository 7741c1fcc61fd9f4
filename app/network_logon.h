// The network logon behind the logon dialog: which share a path lives on, connecting to it with
// the user's credentials, storing them when asked, and the text a failure shows. Passwords are
// read from the dialog's own buffer and never copied, so wiping that buffer wipes them all.
#pragma once

#include "app/interfaces.h"
#include "app/setup_interfaces.h"

#include <cstddef>
#include <string>

namespace vostrale {
class ActivityLog;
}

namespace vostrale::app {

// Room the dialog gives a user name and a password, terminator excluded.
constexpr size_t kLogonFieldChars = 256;

// "\\server\share" and "server" of "\\server\share\..." or "\\?\UNC\server\share\..."; false
// for local paths and when the server or the share is missing.
bool ShareOfPath(const std::wstring& path, std::wstring* share, std::wstring* server);

struct LogonAttempt {
    uint32_t error = 0;   // 0: connected
    std::wstring message; // for the user when the connection failed
};

// Connects to the share of `path`. A null or empty user or password is none. With `remember`,
// a successful logon's credentials are stored for the server. The log gets the share and the
// outcome, never a user name or password.
LogonAttempt ConnectShare(NetworkConnector* connector, System* system, const std::wstring& path,
                          const wchar_t* user, const wchar_t* password, bool remember,
                          ActivityLog* log);

// Overwrites secret text in a way the compiler cannot drop.
void WipeSecret(wchar_t* buffer, size_t chars);

// Default text of the dialog's prompt, filled with the server name.
inline constexpr const wchar_t* kLogonPromptDefault =
    L"The server %ls asks for a user name and a password.";

} // namespace vostrale::app

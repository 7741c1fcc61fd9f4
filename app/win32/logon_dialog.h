// The network logon dialog: asked for when an image on a share cannot be opened for lack of
// rights; connects to the share with the credentials given and stores them when asked.
#pragma once

#include "app/interfaces.h"
#include "app/setup_interfaces.h"

#include <windows.h>

#include <string>

namespace vostrale::app {

// Controls: the prompt, the password, the user name, "remember".
constexpr int kLogonPromptControl = 3;
constexpr int kLogonPasswordControl = 50;
constexpr int kLogonUserControl = 51;
constexpr int kLogonRememberControl = 6;

// Modal: Connected once a connection to the share of `path` succeeded, Cancelled when the user
// gave up. A failed connection shows its reason and keeps the dialog open.
LogonResult NetworkLogonDialog(HWND owner, const std::wstring& path,
                               NetworkConnector* connector, System* system);

} // namespace vostrale::app

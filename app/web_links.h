// Web pages the program opens. The address always comes from this table by link: a language
// file may change a link's text but never what is started, and only http and https addresses
// are ever handed to the shell or a browser.
#pragma once

#include <string>

namespace vostrale::app {

// The maker's web server (a configuration value of the build).
inline constexpr const wchar_t* kMakerWebServer = L"https://www.vostrale.example/";

enum class WebLink { kHomePage, kAbout, kMountFailureHelp };

std::wstring WebLinkUrl(WebLink link);

// "http://" or "https://" (any case) followed by a host, with no blank, quote or control
// character anywhere.
bool IsWebUrl(const std::wstring& url);

// The browser fallback: the shell's open command for ".htm" cut at "\"%1\"", else at "%1" (or
// with a blank appended when neither occurs), then the address in double quotes. False when the
// address is not a web address or the command is empty.
bool BuildBrowserCommand(const std::wstring& openCommand, const std::wstring& url,
                         std::wstring* commandLine);

} // namespace vostrale::app

#include "app/web_links.h"

#include "app/text.h"

namespace vostrale::app {

std::wstring WebLinkUrl(WebLink link) {
    std::wstring server = kMakerWebServer;
    switch (link) {
    case WebLink::kHomePage:
        return server + L"vostrale/index.htm?homepage";
    case WebLink::kAbout:
        return server + L"vostrale/index.htm?about";
    case WebLink::kMountFailureHelp:
        return server + L"vostrale/faq.htm?mountfailed";
    }
    return {};
}

bool IsWebUrl(const std::wstring& url) {
    size_t host = 0;
    if (StartsWithNoCase(url, L"http://"))
        host = 7;
    else if (StartsWithNoCase(url, L"https://"))
        host = 8;
    else
        return false;
    if (url.size() <= host || url[host] == L'/')
        return false;
    for (wchar_t c : url) {
        if (c <= 0x20 || c == 0x7F || c == L'"' || (c >= 0x80 && c < 0xA0))
            return false;
    }
    return true;
}

bool BuildBrowserCommand(const std::wstring& openCommand, const std::wstring& url,
                         std::wstring* commandLine) {
    if (!IsWebUrl(url) || openCommand.empty())
        return false;
    std::wstring command = openCommand;
    size_t at = command.find(L"\"%1\"");
    if (at == std::wstring::npos)
        at = command.find(L"%1");
    if (at != std::wstring::npos)
        command.erase(at);
    else
        command.push_back(L' ');
    *commandLine = command + L"\"" + url + L"\"";
    return true;
}

} // namespace vostrale::app

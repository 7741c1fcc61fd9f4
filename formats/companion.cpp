#include "formats/companion.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace vostrale {

std::filesystem::path JoinDescribedName(const std::filesystem::path& folder,
                                        const std::string& name) {
    std::string relative = name;
#ifndef _WIN32
    std::replace(relative.begin(), relative.end(), '\\', '/');
#endif
    size_t start = relative.find_first_not_of("/\\");
    relative = start == std::string::npos ? std::string() : relative.substr(start);
    // Joined as text: a name that looks absolute or carries a drive must not replace the folder.
    auto joined = folder.native();
    if (!joined.empty() && joined.back() != std::filesystem::path::preferred_separator)
        joined.push_back(std::filesystem::path::preferred_separator);
    joined += platform::PathFromNarrow(relative).native();
    return std::filesystem::path(joined);
}

#ifndef _WIN32
static bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}
#endif

platform::NativeFile OpenCompanion(const std::filesystem::path& path, uint32_t* error) {
    uint32_t firstError = 0;
    platform::NativeFile file = platform::OpenForRead(path, &firstError);
    if (error)
        *error = firstError;
#ifndef _WIN32
    if (file == 0 && firstError == ENOENT) {
        // Several spellings may match; take the first in sorted order so the choice is stable.
        const std::string wanted = path.filename().string();
        std::filesystem::path folder = path.parent_path();
        if (folder.empty())
            folder = ".";
        std::vector<std::filesystem::path> matches;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (SameIgnoringAsciiCase(it->path().filename().string(), wanted))
                matches.push_back(it->path());
        }
        std::sort(matches.begin(), matches.end());
        for (const auto& candidate : matches) {
            uint32_t ignored = 0;
            file = platform::OpenForRead(candidate, &ignored);
            if (file != 0)
                break;
        }
    }
#endif
    return file;
}

} // namespace vostrale

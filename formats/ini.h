// A reader for INI text that answers like the system's profile-string reader: section and key
// names compare without case, the first occurrence wins, values are trimmed and lose one pair
// of surrounding quotes, and a missing key yields the caller's default.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace vostrale {

class IniFile {
  public:
    void Load(const char* text, size_t size);
    std::string Get(const std::string& section, const std::string& key,
                    const std::string& fallback) const;

  private:
    std::map<std::string, std::map<std::string, std::string>> m_sections; // lower-case names
};

} // namespace vostrale

#include "formats/ini.h"

namespace vostrale {

namespace {

constexpr size_t kMaxValue = 1023; // the longest value a caller's buffer takes

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    }
    return s;
}

} // namespace

void IniFile::Load(const char* text, size_t size) {
    m_sections.clear();
    std::map<std::string, std::string>* current = nullptr;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && text[end] != '\n')
            ++end;
        std::string line = Trim(std::string(text + at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            const std::string name = Lower(
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
            // A repeated section adds nothing: lookups find the first one.
            auto inserted = m_sections.emplace(name, std::map<std::string, std::string>{});
            current = inserted.second ? &inserted.first->second : nullptr;
            continue;
        }
        const size_t eq = line.find('=');
        if (!current || eq == std::string::npos)
            continue;
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (value.size() > kMaxValue)
            value.resize(kMaxValue);
        current->emplace(Lower(Trim(line.substr(0, eq))), value);
    }
}

std::string IniFile::Get(const std::string& section, const std::string& key,
                         const std::string& fallback) const {
    auto s = m_sections.find(Lower(section));
    if (s == m_sections.end())
        return fallback;
    auto k = s->second.find(Lower(key));
    return k == s->second.end() ? fallback : k->second;
}

} // namespace vostrale

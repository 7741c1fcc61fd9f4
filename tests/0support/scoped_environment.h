// Changes environment variables and the current folder for one test and puts them back.
// POSIX only: the folders the platform layer reads come from the environment there.
#pragma once

#ifndef _WIN32
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vostrale::testing {

class ScopedEnvironment {
  public:
    ScopedEnvironment() : m_folder(std::filesystem::current_path()) {}
    ~ScopedEnvironment() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
        std::error_code ec;
        std::filesystem::current_path(m_folder, ec);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // A null value removes the variable.
    void Set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }
    void EnterFolder(const std::filesystem::path& folder) { std::filesystem::current_path(folder); }

  private:
    std::filesystem::path m_folder;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

} // namespace vostrale::testing
#endif

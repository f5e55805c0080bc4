#pragma once

#include <filesystem>
#include <string>

namespace ota::test
{

// A fresh directory under the system temp directory, removed with everything in it on destruction.
class CTempDirectory
{
public:
    CTempDirectory();
    ~CTempDirectory();
    CTempDirectory(const CTempDirectory&) = delete;
    CTempDirectory& operator=(const CTempDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

    // Writes bytes to a file below the directory (creating parent folders) and returns its path.
    std::filesystem::path writeFile(const std::string& relativePath, const std::string& bytes) const;

private:
    std::filesystem::path m_path;
};

std::string readWholeFile(const std::filesystem::path& path);

}  // namespace ota::test

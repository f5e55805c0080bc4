#include "support/temp_directory.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ota::test
{

CTempDirectory::CTempDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

CTempDirectory::~CTempDirectory()
{
    std::error_code error;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(m_path, error);
}

std::filesystem::path CTempDirectory::writeFile(const std::string& relativePath, const std::string& bytes) const
{
    const std::filesystem::path target = m_path / relativePath;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream stream(target, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream)
    {
        throw std::runtime_error("cannot write " + target.string());
    }
    return target;
}

std::string readWholeFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

}  // namespace ota::test

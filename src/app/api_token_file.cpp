#include "app/api_token_file.h"

#include "common/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ota::backend
{

namespace
{

// The first line is all that counts; a file is read no further than a longest valid line could reach.
constexpr std::size_t kMaxReadBytes = kMaxApiTokenLength + 2;

}  // namespace

bool parseApiToken(std::string_view text, const std::string& shownPath, std::string& token,
                   std::string& error)
{
    token.clear();
    error.clear();
    std::string_view line = text.substr(0, text.find('\n'));
    if (line.ends_with('\r'))
    {
        line.remove_suffix(1);
    }
    if (line.size() < kMinApiTokenLength || line.size() > kMaxApiTokenLength)
    {
        error = "API token file's first line must hold a token of 32 to 256 characters (it holds " +
                (line.size() > kMaxApiTokenLength ? "more than 256" : std::to_string(line.size())) +
                "): " + shownPath;
        return false;
    }
    for (const char character : line)
    {
        if (character < 0x21 || character > 0x7E)
        {
            error = "API token must consist of printable ASCII characters without spaces: " + shownPath;
            return false;
        }
    }
    token.assign(line);
    return true;
}

bool readApiTokenFile(const std::filesystem::path& path, std::string& token, std::string& error)
{
    token.clear();
    error.clear();
    const std::string shown = path.string();
    // O_NONBLOCK: a FIFO in its place must not hang start-up.
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.isOpen())
    {
        if (errno == ENOENT)
        {
            error = "API token file is missing: " + shown;
        }
        else
        {
            error = "API token file cannot be read: " + shown + " (" + std::strerror(errno) + ")";
        }
        return false;
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        error = "API token file is not a regular file: " + shown;
        return false;
    }
    if ((status.st_mode & (S_IROTH | S_IWOTH)) != 0)
    {
        error = "API token file must not be readable or writable by every user (chmod o-rw): " + shown;
        return false;
    }
    std::string text(kMaxReadBytes, '\0');
    std::size_t total = 0;
    while (total < text.size())
    {
        const ssize_t count = ::read(file.get(), text.data() + total, text.size() - total);
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            error = "API token file cannot be read: " + shown + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (count == 0)
        {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    text.resize(total);
    return parseApiToken(text, shown, token, error);
}

}  // namespace ota::backend

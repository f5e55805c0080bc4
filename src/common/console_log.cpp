#include "common/console_log.h"

#include <cstdio>

namespace ota::backend
{

std::mutex& consoleMutex()
{
    static std::mutex mutex;
    return mutex;
}

namespace
{

void writeLine(std::FILE* stream, std::string_view line)
{
    std::lock_guard<std::mutex> lock(consoleMutex());
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

void consoleOut(std::string_view line) { writeLine(stdout, line); }

void consoleErr(std::string_view line) { writeLine(stderr, line); }

}  // namespace ota::backend

#include "app/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace ota::backend
{

namespace
{

// The terminal's echo off for the lifetime of the object, as it was afterwards.
class CEchoOff
{
public:
    CEchoOff()
    {
        if (::tcgetattr(STDIN_FILENO, &m_saved) == 0)
        {
            termios quiet = m_saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            m_active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~CEchoOff()
    {
        if (m_active)
        {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
        }
    }
    CEchoOff(const CEchoOff&) = delete;
    CEchoOff& operator=(const CEchoOff&) = delete;

private:
    termios m_saved{};
    bool m_active = false;
};

std::optional<std::string> readLine()
{
    std::string line;
    if (!std::getline(std::cin, line) && line.empty())
    {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r')
    {
        line.pop_back();
    }
    return line;
}

// The prompt goes to standard error: standard output carries only the command's result.
std::optional<std::string> askQuietly(const std::string& prompt)
{
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    std::optional<std::string> line;
    {
        CEchoOff echoOff;
        line = readLine();
    }
    std::fputc('\n', stderr);
    return line;
}

}  // namespace

std::optional<std::string> readNewPassword(std::string_view accountName, std::string& error)
{
    if (::isatty(STDIN_FILENO) == 0)
    {
        std::optional<std::string> line = readLine();
        if (!line)
        {
            error = "No password on standard input";
        }
        return line;
    }
    std::optional<std::string> first = askQuietly("New password for " + std::string(accountName) + ": ");
    std::optional<std::string> second = first ? askQuietly("Repeat the password: ") : std::nullopt;
    if (!first || !second)
    {
        error = "No password entered";
        return std::nullopt;
    }
    if (*first != *second)
    {
        error = "The passwords do not match";
        return std::nullopt;
    }
    return first;
}

}  // namespace ota::backend

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// The new password of a users command, from standard input. A terminal is asked twice with the
// echo off and a mismatch refused; anything else (a pipe, a file) gives its first line, without
// the line end. nullopt with error when nothing can be read or the two entries differ.
std::optional<std::string> readNewPassword(std::string_view accountName, std::string& error);

}  // namespace ota::backend

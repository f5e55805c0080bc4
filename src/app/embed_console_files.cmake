# Writes OUTPUT, a C++ source holding every file of SOURCE_DIR (not its subfolders) as a byte
# array, so the executable serves the operator console without any file installed beside it.
# Run as: cmake -DSOURCE_DIR=<dir> -DOUTPUT=<file.cpp> -P embed_console_files.cmake
file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS files)
    if(IS_DIRECTORY ${SOURCE_DIR}/${name} OR name MATCHES "^\\.")
        continue()
    endif()
    file(READ ${SOURCE_DIR}/${name} hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Sixteen bytes a line keeps the generated file readable in a diff or a debugger.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
    # A trailing zero keeps an empty file's array legal; the view leaves it out.
    string(APPEND arrays "constexpr unsigned char kFile${index}[] = {\n    ${bytes}0x00};\n")
    string(APPEND entries
        "    {\"${name}\", std::string_view(reinterpret_cast<const char*>(kFile${index}), sizeof(kFile${index}) - 1)},\n")
    math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
    message(FATAL_ERROR "No console files in ${SOURCE_DIR}")
endif()
set(content "// Generated from the console/ folder by embed_console_files.cmake; do not edit.
#include \"app/console_files.h\"

namespace ota::backend
{
namespace
{
${arrays}
const S_ConsoleFile kFiles[] = {
${entries}};
}  // namespace

std::span<const S_ConsoleFile> consoleFiles()
{
    return kFiles;
}

}  // namespace ota::backend
")
# Rewritten only when it changed, so an unchanged console does not rebuild the library.
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} previous)
    if(previous STREQUAL content)
        return()
    endif()
endif()
file(WRITE ${OUTPUT} "${content}")

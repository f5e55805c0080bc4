// Runs a fuzz target's entry function once per file of the given corpus directories (or
// files), so the corpus doubles as a regression test in the normal build.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{

bool replayFile(const std::filesystem::path& path)
{
    std::ifstream input(path, std::ios::binary);
    if (!input)
    {
        std::cerr << "cannot read " << path << '\n';
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    // A private copy, so reads past the end are caught by the sanitizer as in a fuzzing run.
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error))
        {
            for (const auto& entry : std::filesystem::directory_iterator(path))
            {
                if (entry.is_regular_file())
                {
                    replayed += replayFile(entry.path()) ? 1 : 0;
                }
            }
        }
        else if (!replayFile(path))
        {
            return 1;
        }
        else
        {
            ++replayed;
        }
    }
    std::cout << "replayed " << replayed << " inputs\n";
    return replayed == 0 ? 1 : 0;
}

// Runs a fuzz target's entry function once per file of the given corpus directories (or
// files), so the corpus doubles as a regression test in the normal build. With
// "--mutate-for <ms>" first, it then keeps feeding seeded random mutations of those inputs (bytes
// flipped, inserted, erased, repeated, spliced from another input) for that long: the smoke run of
// every target in the sanitizer suites, which need no libFuzzer build.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{

using Input = std::vector<std::uint8_t>;

bool readInput(const std::filesystem::path& path, std::vector<Input>& inputs)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
    {
        std::cerr << "cannot read " << path << '\n';
        return false;
    }
    inputs.emplace_back((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    return true;
}

void run(const Input& input)
{
    // A private copy, so reads past the end are caught by the sanitizer as in a fuzzing run.
    Input copy(input);
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

class CRandom
{
public:
    std::uint64_t next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound); }

private:
    std::uint64_t m_state = 0x2545F4914F6CDD1Dull;
};

Input mutate(const std::vector<Input>& inputs, CRandom& random)
{
    Input input = inputs[random.below(inputs.size())];
    const std::size_t steps = 1 + random.below(4);
    for (std::size_t step = 0; step < steps; ++step)
    {
        const std::size_t at = random.below(input.size() + 1);
        switch (random.below(5))
        {
            case 0:
                if (at < input.size())
                {
                    input[at] ^= static_cast<std::uint8_t>(1u << random.below(8));
                }
                break;
            case 1:
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                             static_cast<std::uint8_t>(random.next()));
                break;
            case 2:
                input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(
                                                std::min(input.size(), at + 1 + random.below(16))));
                break;
            case 3:
                if (at < input.size())
                {
                    const std::size_t length = std::min(input.size() - at, 1 + random.below(64));
                    const Input piece(input.begin() + static_cast<std::ptrdiff_t>(at),
                                      input.begin() + static_cast<std::ptrdiff_t>(at + length));
                    input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
                }
                break;
            default:
            {
                const Input& other = inputs[random.below(inputs.size())];
                const std::size_t from = random.below(other.size());
                const std::size_t length = std::min(other.size() - from, random.below(256));
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                             other.begin() + static_cast<std::ptrdiff_t>(from),
                             other.begin() + static_cast<std::ptrdiff_t>(from + length));
                break;
            }
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv)
{
    int first = 1;
    std::chrono::milliseconds mutateFor{0};
    if (argc > 2 && std::string(argv[1]) == "--mutate-for")
    {
        mutateFor = std::chrono::milliseconds(std::strtoll(argv[2], nullptr, 10));
        first = 3;
    }
    std::vector<Input> inputs;
    for (int i = first; i < argc; ++i)
    {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error))
        {
            for (const auto& entry : std::filesystem::directory_iterator(path))
            {
                if (entry.is_regular_file() && !readInput(entry.path(), inputs))
                {
                    return 1;
                }
            }
        }
        else if (!readInput(path, inputs))
        {
            return 1;
        }
    }
    for (const Input& input : inputs)
    {
        run(input);
    }
    std::cout << "replayed " << inputs.size() << " inputs\n";
    if (inputs.empty())
    {
        return 1;
    }
    CRandom random;
    std::uint64_t mutations = 0;
    const auto until = std::chrono::steady_clock::now() + mutateFor;
    while (std::chrono::steady_clock::now() < until)
    {
        run(mutate(inputs, random));
        ++mutations;
    }
    if (mutations > 0)
    {
        std::cout << "ran " << mutations << " mutated inputs\n";
    }
    return 0;
}

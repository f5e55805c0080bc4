// Fuzz target: parseFrame on arbitrary bytes. Whatever parses must validate, re-encode and
// parse again to the same record.

#include "protocol/protocol_frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ota::backend;
    const S_ProtocolParseResult parsed = parseFrame(data, size);
    if (!parsed.ok)
    {
        if (parsed.error.empty() || parsed.reasonCode == 0 || parsed.reasonCode > MAX_REASON_CODE)
        {
            __builtin_trap();
        }
        return 0;
    }
    std::string error;
    if (!validateFrame(parsed.frame, error))
    {
        __builtin_trap();
    }
    std::vector<std::uint8_t> bytes;
    if (!encodeFrame(parsed.frame, bytes, error) || bytes.size() != size)
    {
        __builtin_trap();
    }
    const S_ProtocolParseResult again = parseFrame(bytes);
    if (!again.ok || !(again.frame == parsed.frame))
    {
        __builtin_trap();
    }
    return 0;
}

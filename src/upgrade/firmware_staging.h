#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace ota::backend
{

// A copy of one firmware file, made from the very bytes the task's start reads for its digest.
// Dropped without commit, it leaves nothing behind.
class IFirmwareStagingCopy
{
public:
    virtual ~IFirmwareStagingCopy() = default;

    // The next block read, in order. A failure is remembered and answered by commit.
    virtual void append(const std::uint8_t* data, std::size_t size) = 0;
    // Keeps the bytes appended, whose digest the caller has checked to be sha256; the path the
    // task's chunks are then read from (a file no one rewrites); none with error on a failure.
    virtual std::optional<std::filesystem::path> commit(const std::array<std::uint8_t, 32>& sha256,
                                                        std::string& error) = 0;
};

// Where the engine keeps the copies its tasks send from, so that a file changed on its path after
// the check never reaches a device. The engine knows nothing of where or how they are kept.
// Called from task threads; an implementation is thread-safe.
class IFirmwareStaging
{
public:
    virtual ~IFirmwareStaging() = default;

    // A copy of the file named fileName (as the device receives it) expected to have the digest
    // sha256; null with error when no copy can be made.
    virtual std::unique_ptr<IFirmwareStagingCopy> beginCopy(const std::string& fileName,
                                                            const std::array<std::uint8_t, 32>& sha256,
                                                            std::string& error) = 0;
};

}  // namespace ota::backend

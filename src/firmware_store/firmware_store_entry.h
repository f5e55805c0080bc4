#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

using FirmwareDigest = std::array<std::uint8_t, 32>;

// Whether a stored entry's signature was judged, and how.
enum class E_FirmwareStoreSignature
{
    NOT_CHECKED,
    VERIFIED,
    NOT_VALID,
};

// A label set on an entry once a component took it: the component type and the version it runs.
struct S_FirmwareStoreLabel
{
    std::string componentTypeId;
    std::string version;

    bool operator==(const S_FirmwareStoreLabel&) const = default;
};

// One stored file: its content's digest, where its bytes are, and what is known of it.
struct S_FirmwareStoreEntry
{
    FirmwareDigest sha256{};
    std::uint64_t size = 0;
    // Every name it was admitted under, the first first; the file is kept under the first one.
    std::vector<std::string> names;
    std::int64_t addedAtMs = 0;
    std::int64_t lastUsedAtMs = 0;
    E_FirmwareStoreSignature signature = E_FirmwareStoreSignature::NOT_CHECKED;
    std::vector<S_FirmwareStoreLabel> labels;
    std::filesystem::path path;  // <directory>/sha256/<64 hex>/<first name>
};

// The largest name kept: what a device accepts in its file declaration.
inline constexpr std::size_t kMaxFirmwareStoreNameBytes = 63;

// A name a file can be kept under: 1 to 63 bytes of well-formed UTF-8, a single path element
// ("." and ".." are not), without NUL or '/'.
bool isFirmwareStoreName(std::string_view name);

// A digest written as 64 lower-case hexadecimal digits; none for any other text.
std::optional<FirmwareDigest> parseFirmwareDigest(std::string_view text);

// The stored column texts of the enumeration and the lists; parse answers false on any text it
// did not write.
const char* firmwareStoreSignatureText(E_FirmwareStoreSignature signature);
std::optional<E_FirmwareStoreSignature> parseFirmwareStoreSignature(std::string_view text);
std::string firmwareStoreNamesText(const std::vector<std::string>& names);
bool parseFirmwareStoreNames(const std::string& text, std::vector<std::string>& names);
std::string firmwareStoreLabelsText(const std::vector<S_FirmwareStoreLabel>& labels);
bool parseFirmwareStoreLabels(const std::string& text, std::vector<S_FirmwareStoreLabel>& labels);

}  // namespace ota::backend

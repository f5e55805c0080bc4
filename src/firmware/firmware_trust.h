#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

// The public keys a site trusts to vouch for firmware images, and whether an image must be signed.
// A firmware file F is signed by F.sig beside it: a signature over F's SHA-256 digest as
// "openssl dgst -sha256 -sign <private key> -out F.sig F" writes it (PKCS #1 v1.5 for RSA, DER
// for ECDSA). Immutable once loaded and shared as a pointer to const; verification is
// thread-safe.
class CFirmwareTrust
{
public:
    static constexpr std::size_t kMaxKeys = 16;
    static constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
    static constexpr unsigned kMinRsaBits = 2048;

    ~CFirmwareTrust();
    CFirmwareTrust(const CFirmwareTrust&) = delete;
    CFirmwareTrust& operator=(const CFirmwareTrust&) = delete;

    // Reads every key file; the first one that is missing, unreadable, holds a private key or a
    // key of another kind or size stops the load with a message naming it.
    static bool load(bool required, const std::vector<std::filesystem::path>& keyFiles,
                     std::shared_ptr<const CFirmwareTrust>& trust, std::string& error);

    // Builds the trust from key texts already read (PEM), each named by its shown path in messages.
    struct S_KeyText
    {
        std::string shownPath;
        std::string pem;
    };
    static bool fromPem(bool required, const std::vector<S_KeyText>& keys,
                        std::shared_ptr<const CFirmwareTrust>& trust, std::string& error);

    bool required() const { return m_required; }
    std::size_t keyCount() const { return m_keys.size(); }
    // SHA-256 of each key's DER SubjectPublicKeyInfo, 64 lowercase hexadecimal characters, in load order.
    std::vector<std::string> fingerprints() const;

    // The fingerprint of the first key under which the signature verifies the digest; empty when
    // none does (a truncated or foreign signature, or a digest of other bytes).
    std::optional<std::string> verifyDigest(const std::array<std::uint8_t, 32>& sha256,
                                            std::string_view signature) const;

private:
    struct S_Key;
    CFirmwareTrust() = default;

    bool m_required = false;
    std::vector<std::unique_ptr<S_Key>> m_keys;
};

// One PEM text checked as a firmware public key: a SubjectPublicKeyInfo of RSA (2048 bits or more)
// or ECDSA on P-256 or P-384. On false the error names shownPath and says what the text holds.
// Pure: a function from text to a verdict, for tests and fuzzing.
bool checkFirmwarePublicKeyPem(std::string_view pem, const std::string& shownPath, std::string& fingerprint,
                               std::string& error);

}  // namespace ota::backend

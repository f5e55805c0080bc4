#include "firmware/firmware_trust.h"

#include "common/digest.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <system_error>

namespace ota::backend
{

namespace
{

struct S_PkeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct S_BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct S_PkeyContextFree
{
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, S_PkeyFree>;

constexpr std::string_view kPrefix = "Firmware signature key file ";

// A failed parse or verification leaves entries in OpenSSL's per-thread error queue; they must
// not surface in an unrelated later call on the same thread.
struct S_ClearOpenSslErrors
{
    ~S_ClearOpenSslErrors() { ERR_clear_error(); }
};

std::string keyGroupName(EVP_PKEY* key)
{
    char name[80] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof(name), &length) != 1)
    {
        return "unknown";
    }
    return std::string(name, length);
}

// Parses and checks one key; on success the key and its fingerprint.
bool parseKey(std::string_view pem, const std::string& shownPath, PkeyPtr& key, std::string& fingerprint,
              std::string& error)
{
    const S_ClearOpenSslErrors clearErrors;
    // Checked on the text itself: a private key must never be installed as a trust anchor, even
    // one the parser below would not read.
    if (pem.find("PRIVATE KEY-----") != std::string_view::npos)
    {
        error = std::string(kPrefix) + "holds a private key (install the public key only): " + shownPath;
        return false;
    }
    if (pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    {
        error = std::string(kPrefix) + "holds no PEM public key: " + shownPath;
        return false;
    }
    const std::unique_ptr<BIO, S_BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
    {
        throw std::bad_alloc();
    }
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
    {
        error = std::string(kPrefix) + "holds no PEM public key: " + shownPath;
        return false;
    }
    const int type = EVP_PKEY_get_base_id(key.get());
    if (type == EVP_PKEY_RSA)
    {
        const int bits = EVP_PKEY_get_bits(key.get());
        if (bits < static_cast<int>(CFirmwareTrust::kMinRsaBits))
        {
            error = std::string(kPrefix) + "holds an RSA key of " + std::to_string(bits) +
                    " bits (at least 2048 are required): " + shownPath;
            return false;
        }
    }
    else if (type == EVP_PKEY_EC)
    {
        const std::string group = keyGroupName(key.get());
        if (group != "prime256v1" && group != "secp384r1")
        {
            error = std::string(kPrefix) + "holds an EC key on curve " + group +
                    " (P-256 or P-384 are required): " + shownPath;
            return false;
        }
    }
    else
    {
        const char* name = EVP_PKEY_get0_type_name(key.get());
        error = std::string(kPrefix) + "holds a key of another kind (" +
                (name != nullptr ? name : "unknown") + "; RSA or ECDSA are required): " + shownPath;
        return false;
    }

    unsigned char* der = nullptr;
    const int derLength = i2d_PUBKEY(key.get(), &der);
    if (derLength <= 0 || der == nullptr)
    {
        error = std::string(kPrefix) + "holds no PEM public key: " + shownPath;
        return false;
    }
    const CSha256::Digest digest = CSha256::digestOf(der, static_cast<std::size_t>(derLength));
    OPENSSL_free(der);
    fingerprint = toLowerHex(digest);
    return true;
}

bool readKeyFile(const std::filesystem::path& path, std::string& text, std::string& error)
{
    const std::string shown = path.string();
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (status.type() == std::filesystem::file_type::not_found)
    {
        error = std::string(kPrefix) + "is missing: " + shown;
        return false;
    }
    if (code || status.type() != std::filesystem::file_type::regular)
    {
        error = std::string(kPrefix) + "cannot be read: " + shown +
                (code ? " (" + code.message() + ")" : std::string(" (not a regular file)"));
        return false;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
    {
        error = std::string(kPrefix) + "cannot be read: " + shown + " (" + std::strerror(errno) + ")";
        return false;
    }
    text.assign(CFirmwareTrust::kMaxKeyFileBytes + 1, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (stream.bad())
    {
        error = std::string(kPrefix) + "cannot be read: " + shown;
        return false;
    }
    text.resize(static_cast<std::size_t>(stream.gcount()));
    if (text.size() > CFirmwareTrust::kMaxKeyFileBytes)
    {
        error = std::string(kPrefix) + "is larger than 64 KiB: " + shown;
        return false;
    }
    return true;
}

}  // namespace

struct CFirmwareTrust::S_Key
{
    PkeyPtr key;
    std::string fingerprint;
};

CFirmwareTrust::~CFirmwareTrust() = default;

bool checkFirmwarePublicKeyPem(std::string_view pem, const std::string& shownPath, std::string& fingerprint,
                               std::string& error)
{
    PkeyPtr key;
    return parseKey(pem, shownPath, key, fingerprint, error);
}

bool CFirmwareTrust::fromPem(bool required, const std::vector<S_KeyText>& keys,
                             std::shared_ptr<const CFirmwareTrust>& trust, std::string& error)
{
    error.clear();
    if (keys.empty() || keys.size() > kMaxKeys)
    {
        error = "Firmware signature needs 1 to " + std::to_string(kMaxKeys) + " public key files";
        return false;
    }
    std::shared_ptr<CFirmwareTrust> loaded(new CFirmwareTrust());
    loaded->m_required = required;
    for (const S_KeyText& text : keys)
    {
        auto entry = std::make_unique<S_Key>();
        if (!parseKey(text.pem, text.shownPath, entry->key, entry->fingerprint, error))
        {
            return false;
        }
        loaded->m_keys.push_back(std::move(entry));
    }
    trust = std::move(loaded);
    return true;
}

bool CFirmwareTrust::load(bool required, const std::vector<std::filesystem::path>& keyFiles,
                          std::shared_ptr<const CFirmwareTrust>& trust, std::string& error)
{
    error.clear();
    std::vector<S_KeyText> texts;
    for (const std::filesystem::path& path : keyFiles)
    {
        S_KeyText text{path.string(), {}};
        if (!readKeyFile(path, text.pem, error))
        {
            return false;
        }
        texts.push_back(std::move(text));
    }
    return fromPem(required, texts, trust, error);
}

std::vector<std::string> CFirmwareTrust::fingerprints() const
{
    std::vector<std::string> result;
    for (const std::unique_ptr<S_Key>& key : m_keys)
    {
        result.push_back(key->fingerprint);
    }
    return result;
}

std::optional<std::string> CFirmwareTrust::verifyDigest(const std::array<std::uint8_t, 32>& sha256,
                                                        std::string_view signature) const
{
    const S_ClearOpenSslErrors clearErrors;
    if (signature.empty())
    {
        return std::nullopt;
    }
    for (const std::unique_ptr<S_Key>& key : m_keys)
    {
        const std::unique_ptr<EVP_PKEY_CTX, S_PkeyContextFree> context(
            EVP_PKEY_CTX_new_from_pkey(nullptr, key->key.get(), nullptr));
        if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
            EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1)
        {
            continue;
        }
        if (EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), sha256.data(), sha256.size()) == 1)
        {
            return key->fingerprint;
        }
    }
    return std::nullopt;
}

}  // namespace ota::backend

#pragma once

// Firmware signing as a maker does it, with the openssl command line: key pairs of a chosen
// algorithm, and "openssl dgst -sha256 -sign" signatures beside a file.
#include <filesystem>
#include <string>

namespace ota::test
{

struct S_TestKeyPair
{
    std::filesystem::path privateKey;
    std::filesystem::path publicKey;  // PEM SubjectPublicKeyInfo
    std::string fingerprint;          // SHA-256 of the DER SubjectPublicKeyInfo, lowercase hex
};

// algorithm: an openssl genpkey choice, "RSA:2048", "RSA:1024", "EC:P-256", "EC:P-384", "EC:P-521"
// or "ED25519". Throws when openssl fails.
S_TestKeyPair makeKeyPair(const std::filesystem::path& directory, const std::string& name,
                          const std::string& algorithm);

// Writes file + ".sig" as openssl dgst -sha256 -sign writes it. Throws when openssl fails.
void signFile(const std::filesystem::path& file, const std::filesystem::path& privateKey);

}  // namespace ota::test

#include "support/signing_keys.h"

#include "common/digest.h"
#include "support/child_process.h"

#include <stdexcept>

namespace ota::test
{

namespace
{

const std::filesystem::path kOpenSsl = "/usr/bin/openssl";

std::string runOpenSsl(const std::vector<std::string>& arguments)
{
    const S_ProcessResult result = runProcess(kOpenSsl, arguments);
    if (result.exitCode != 0)
    {
        throw std::runtime_error("openssl failed: " + result.standardError);
    }
    return result.standardOutput;
}

}  // namespace

S_TestKeyPair makeKeyPair(const std::filesystem::path& directory, const std::string& name,
                          const std::string& algorithm)
{
    std::filesystem::create_directories(directory);
    S_TestKeyPair pair{directory / (name + ".key"), directory / (name + ".pub"), {}};
    std::vector<std::string> generate = {"genpkey", "-out", pair.privateKey.string()};
    const std::size_t colon = algorithm.find(':');
    const std::string kind = algorithm.substr(0, colon);
    generate.insert(generate.end(), {"-algorithm", kind});
    if (kind == "RSA")
    {
        generate.insert(generate.end(), {"-pkeyopt", "rsa_keygen_bits:" + algorithm.substr(colon + 1)});
    }
    else if (kind == "EC")
    {
        generate.insert(generate.end(), {"-pkeyopt", "ec_paramgen_curve:" + algorithm.substr(colon + 1)});
    }
    runOpenSsl(generate);
    runOpenSsl({"pkey", "-in", pair.privateKey.string(), "-pubout", "-out", pair.publicKey.string()});
    const std::string der = runOpenSsl({"pkey", "-pubin", "-in", pair.publicKey.string(), "-outform", "DER"});
    pair.fingerprint = backend::toLowerHex(backend::CSha256::digestOf(der.data(), der.size()));
    return pair;
}

void signFile(const std::filesystem::path& file, const std::filesystem::path& privateKey)
{
    runOpenSsl(
        {"dgst", "-sha256", "-sign", privateKey.string(), "-out", file.string() + ".sig", file.string()});
}

}  // namespace ota::test

// Signed firmware: the keys a site may trust, and every way a signature can be right or wrong as
// inspection sees it, with keys and signatures made by the openssl command line as a maker would.
#include "firmware/firmware_file_read.h"
#include "firmware/firmware_inspection.h"
#include "firmware/firmware_trust.h"

#include "support/child_process.h"
#include "support/signing_keys.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <fstream>

namespace ota::backend
{
namespace
{

using nlohmann::json;
using test::S_TestKeyPair;

// Key pairs are slow to make: one set for the whole suite.
struct S_Keys
{
    test::CTempDirectory directory;
    S_TestKeyPair rsa = test::makeKeyPair(directory.path(), "rsa", "RSA:2048");
    S_TestKeyPair ec256 = test::makeKeyPair(directory.path(), "ec256", "EC:P-256");
    S_TestKeyPair ec384 = test::makeKeyPair(directory.path(), "ec384", "EC:P-384");
    S_TestKeyPair foreign = test::makeKeyPair(directory.path(), "foreign", "EC:P-256");
};

class FirmwareSignature : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { keys = new S_Keys(); }
    static void TearDownTestSuite()
    {
        delete keys;
        keys = nullptr;
    }

    static std::shared_ptr<const CFirmwareTrust> trustOf(bool required,
                                                         const std::vector<std::filesystem::path>& files)
    {
        std::shared_ptr<const CFirmwareTrust> trust;
        std::string error;
        EXPECT_TRUE(CFirmwareTrust::load(required, files, trust, error)) << error;
        return trust;
    }

    // Inspects one file under a trust: the error, or "" with info filled.
    std::string inspect(const std::filesystem::path& path, const CFirmwareTrust* trust)
    {
        std::string error;
        const json entry = {
            {"fileSlotKey", "emu:emu"}, {"filePath", path.string()}, {"targetVersion", "2.0.0"}};
        return inspectFirmwareFile(entry, 0, 1024, info, error, trust) ? "" : error;
    }

    std::filesystem::path firmware(const std::string& name, std::size_t size = 5000)
    {
        std::string bytes(size, '\0');
        for (std::size_t index = 0; index < size; ++index)
        {
            bytes[index] = static_cast<char>(index * 7 + name.size());
        }
        return std::filesystem::canonical(directory.writeFile(name, bytes));
    }

    static inline S_Keys* keys = nullptr;
    test::CTempDirectory directory;
    S_FirmwareFileInfo info;
};

TEST_F(FirmwareSignature, KeyFilesAreCheckedForKindSizeAndSecrecy)
{
    const std::filesystem::path dir = directory.path();
    const S_TestKeyPair shortRsa = test::makeKeyPair(dir, "short", "RSA:1024");
    const S_TestKeyPair p521 = test::makeKeyPair(dir, "p521", "EC:P-521");
    const S_TestKeyPair edwards = test::makeKeyPair(dir, "ed", "ED25519");
    const std::filesystem::path garbage =
        directory.writeFile("garbage.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n");
    const std::filesystem::path empty = directory.writeFile("empty.pem", "");
    const std::filesystem::path big = directory.writeFile("big.pem", std::string(64 * 1024 + 1, 'k'));
    std::filesystem::create_directory(dir / "folder.pem");

    struct S_Case
    {
        std::filesystem::path file;
        std::string expected;  // "" = accepted
    };
    const std::string prefix = "Firmware signature key file ";
    const S_Case cases[] = {
        {keys->rsa.publicKey, ""},
        {keys->ec256.publicKey, ""},
        {keys->ec384.publicKey, ""},
        {keys->rsa.privateKey, prefix + "holds a private key (install the public key only): "},
        {keys->ec256.privateKey, prefix + "holds a private key (install the public key only): "},
        {shortRsa.publicKey, prefix + "holds an RSA key of 1024 bits (at least 2048 are required): "},
        {p521.publicKey, prefix + "holds an EC key on curve secp521r1 (P-256 or P-384 are required): "},
        {edwards.publicKey, prefix + "holds a key of another kind (ED25519; RSA or ECDSA are required): "},
        {garbage, prefix + "holds no PEM public key: "},
        {empty, prefix + "holds no PEM public key: "},
        {big, prefix + "is larger than 64 KiB: "},
        {dir / "missing.pem", prefix + "is missing: "},
        {dir / "folder.pem", prefix + "cannot be read: "},
    };
    for (const S_Case& item : cases)
    {
        std::shared_ptr<const CFirmwareTrust> trust;
        std::string error;
        const bool loaded = CFirmwareTrust::load(true, {keys->ec384.publicKey, item.file}, trust, error);
        if (item.expected.empty())
        {
            EXPECT_TRUE(loaded) << item.file << ": " << error;
            continue;
        }
        EXPECT_FALSE(loaded) << item.file;
        EXPECT_FALSE(trust) << item.file;
        EXPECT_EQ(error.rfind(item.expected, 0), 0u) << error;
        EXPECT_NE(error.find(item.file.string()), std::string::npos)
            << "the message names the file: " << error;
    }

    std::shared_ptr<const CFirmwareTrust> trust;
    std::string error;
    EXPECT_FALSE(CFirmwareTrust::load(true, {}, trust, error));
    std::vector<std::filesystem::path> seventeen(17, keys->rsa.publicKey);
    EXPECT_FALSE(CFirmwareTrust::load(true, seventeen, trust, error));
    EXPECT_EQ(error, "Firmware signature needs 1 to 16 public key files");
    seventeen.pop_back();
    EXPECT_TRUE(CFirmwareTrust::load(true, seventeen, trust, error)) << error;
    EXPECT_EQ(trust->fingerprints(), std::vector<std::string>(16, keys->rsa.fingerprint))
        << "fingerprints are of the DER SubjectPublicKeyInfo";
}

// Every way a file and its .sig can meet the trust, with RSA and ECDSA signatures, required on and off.
TEST_F(FirmwareSignature, InspectionVerifiesInTheSameReadAndRefusesWhatNoKeyVouchesFor)
{
    const auto rsaAndEc = trustOf(false, {keys->rsa.publicKey, keys->ec256.publicKey, keys->ec384.publicKey});
    const auto required = trustOf(true, {keys->rsa.publicKey, keys->ec256.publicKey, keys->ec384.publicKey});

    const std::filesystem::path byRsa = firmware("rsa.bin");
    test::signFile(byRsa, keys->rsa.privateKey);
    const std::filesystem::path byEc = firmware("ec.bin", 70000);  // more than one read block
    test::signFile(byEc, keys->ec384.privateKey);
    const std::filesystem::path unsigned_ = firmware("unsigned.bin");
    const std::filesystem::path foreign = firmware("foreign.bin");
    test::signFile(foreign, keys->foreign.privateKey);
    const std::filesystem::path changed = firmware("changed.bin");
    test::signFile(changed, keys->ec256.privateKey);
    {
        std::fstream stream(changed, std::ios::in | std::ios::out | std::ios::binary);
        stream.seekp(100);
        stream.put('X');
    }
    const std::filesystem::path truncated = firmware("truncated.bin");
    test::signFile(truncated, keys->rsa.privateKey);
    std::filesystem::resize_file(truncated.string() + ".sig", 255);
    const std::filesystem::path emptySig = firmware("empty-sig.bin");
    directory.writeFile("empty-sig.bin.sig", "");
    const std::filesystem::path folderSig = firmware("folder-sig.bin");
    std::filesystem::create_directory(folderSig.string() + ".sig");

    struct S_Case
    {
        std::filesystem::path file;
        const CFirmwareTrust* trust;
        std::string expectedError;  // "" = accepted
        bool verified;
        std::string fingerprint;
    };
    const std::string invalid = "Firmware signature is not valid: ";
    const S_Case cases[] = {
        {byRsa, rsaAndEc.get(), "", true, keys->rsa.fingerprint},
        {byRsa, required.get(), "", true, keys->rsa.fingerprint},
        {byEc, required.get(), "", true, keys->ec384.fingerprint},
        {unsigned_, rsaAndEc.get(), "", false, ""},
        {unsigned_, required.get(), "Firmware signature is missing: " + unsigned_.string(), false, ""},
        {foreign, rsaAndEc.get(), invalid + foreign.string(), false, ""},
        {foreign, required.get(), invalid + foreign.string(), false, ""},
        {changed, rsaAndEc.get(), invalid + changed.string(), false, ""},
        {truncated, required.get(), invalid + truncated.string(), false, ""},
        {emptySig, rsaAndEc.get(), invalid + emptySig.string(), false, ""},
        {folderSig, rsaAndEc.get(), "Firmware signature cannot be read: " + folderSig.string(), false, ""},
    };
    for (const S_Case& item : cases)
    {
        const std::string error = inspect(item.file, item.trust);
        EXPECT_EQ(error, item.expectedError) << item.file;
        if (!item.expectedError.empty())
        {
            continue;
        }
        ASSERT_TRUE(info.signature.has_value()) << item.file;
        EXPECT_EQ(info.signature->verified, item.verified) << item.file;
        EXPECT_EQ(info.signature->keyFingerprint, item.fingerprint) << item.file;
        const json object = firmwareFileToJson(info);
        EXPECT_EQ(object["signature"],
                  (json{{"keyFingerprint", item.fingerprint}, {"verified", item.verified}}));
    }

    // Without a trust nothing is checked and the file object is exactly as before.
    EXPECT_EQ(inspect(foreign, nullptr), "");
    EXPECT_FALSE(info.signature.has_value());
    EXPECT_FALSE(firmwareFileToJson(info).contains("signature"));
}

// The task's re-check at start reads the file once more against the same trust: a signature
// removed or replaced after the preview is caught there, and only a signature over the very bytes
// read passes.
TEST_F(FirmwareSignature, TheSharedReadJudgesTheSignatureOfTheBytesItRead)
{
    const auto trust = trustOf(true, {keys->ec256.publicKey});
    const std::filesystem::path file = firmware("swap.bin", 3000);
    test::signFile(file, keys->ec256.privateKey);
    S_FirmwareFileRead read = readFirmwareFile(file, 3000, trust.get());
    ASSERT_EQ(read.fault, E_FirmwareReadFault::NONE);
    EXPECT_EQ(read.signature, E_FirmwareSignatureVerdict::VERIFIED);
    EXPECT_EQ(read.keyFingerprint, keys->ec256.fingerprint);

    // Another file's valid signature does not vouch for this one.
    const std::filesystem::path other = firmware("other.bin", 3000);
    test::signFile(other, keys->ec256.privateKey);
    std::filesystem::copy_file(other.string() + ".sig", file.string() + ".sig",
                               std::filesystem::copy_options::overwrite_existing);
    read = readFirmwareFile(file, 3000, trust.get());
    EXPECT_EQ(read.signature, E_FirmwareSignatureVerdict::NOT_VALID);
    EXPECT_EQ(firmwareSignatureRefusal(read.signature, true, "F"), "Firmware signature is not valid: F");

    std::filesystem::remove(file.string() + ".sig");
    read = readFirmwareFile(file, 3000, trust.get());
    EXPECT_EQ(read.signature, E_FirmwareSignatureVerdict::MISSING);
    EXPECT_EQ(firmwareSignatureRefusal(read.signature, true, "F"), "Firmware signature is missing: F");
    EXPECT_EQ(firmwareSignatureRefusal(read.signature, false, "F"), std::nullopt);

    // A read that fails is a read fault, whatever the signature.
    read = readFirmwareFile(file, 2999, trust.get());
    EXPECT_EQ(read.fault, E_FirmwareReadFault::SIZE_CHANGED);
}

// The example maker's key pair and signing script, as the README uses them.
TEST_F(FirmwareSignature, TheExampleKeyPairAndScriptSignWhatTheExampleConfigurationTrusts)
{
    const std::filesystem::path source = OTA_SOURCE_DIR;
    const auto trust = trustOf(true, {source / "examples/keys/example-maker.pub"});
    ASSERT_TRUE(trust);
    const std::filesystem::path file = firmware("example.bin", 10000);
    const test::S_ProcessResult signing = test::runProcess(
        source / "examples/upgrade/sign-firmware.sh", {(source / "examples/keys/example-maker.key").string(), file.string()});
    ASSERT_EQ(signing.exitCode, 0) << signing.standardError;
    EXPECT_EQ(inspect(file, trust.get()), "");
    EXPECT_TRUE(info.signature && info.signature->verified);
    EXPECT_EQ(info.signature->keyFingerprint, trust->fingerprints().at(0));
}

}  // namespace
}  // namespace ota::backend

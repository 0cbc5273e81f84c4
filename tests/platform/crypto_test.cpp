// The crypto primitives' package digests, strict Base64 and ECDSA P-256 verification, with
// vectors made by other tools.

#include "platform/crypto.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(CryptoTest, Sha256OfBytesAndFiles) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    testing::TempFolder tmp;
    std::string big(300000, 'x');
    std::string hex, error;
    uint64_t size = 0;
    ASSERT_TRUE(Sha256OfFile(tmp.Write("big", big), hex, size, error)) << error;
    EXPECT_EQ(hex, Sha256Hex(big));
    EXPECT_EQ(size, 300000u);
    EXPECT_FALSE(Sha256OfFile(tmp / "missing", hex, size, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;

    EXPECT_TRUE(IsSha256Hex(Sha256Hex("abc")));
    EXPECT_FALSE(IsSha256Hex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_FALSE(IsSha256Hex(Sha256Hex("abc").substr(1)));
}

TEST(CryptoTest, Base64IsStrict) {
    struct Case {
        const char* text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"", true, ""},
        {"YQ==", true, "a"},
        {"YWI=", true, "ab"},
        {"YWJj", true, "abc"},
        {"/+8=", true, "\xff\xef"},
        {"YQ", false, ""},
        {"YQ=", false, ""},
        {"Y===", false, ""},
        {"YQ==YWJj", false, ""},
        {"YW Jj", false, ""},
        {"YWJj\n", false, ""},
        {"YW-j", false, ""},
    };
    for (const auto& c : cases) {
        std::string bytes = "junk";
        EXPECT_EQ(Base64Decode(c.text, bytes), c.ok) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
        if (c.ok) {
            EXPECT_EQ(Base64Encode(c.bytes), c.text) << c.text;
        }
    }
}

// A P-256 key and a signature over "ombrel" made with `openssl` (ecparam -name prime256v1,
// dgst -sha256 -sign), the signature turned from DER into r || s.
constexpr char kPublicKey[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEeaKWT8VL+WpTN2uRB2r026u5kisOf/yKNv6k5hv4g8sQBoZkLdP4"
    "uC7obYaHrOuXnELJa/VIvBysABnakD+LEQ==";
constexpr char kRsaPublicKey[] =
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDT8mJGiPSxxJezCCpnZmFn01Zuz+li4gkw0aoQM4lM7t7uvX3VLUgF"
    "Vr7cRMBtMobvq038DeO4G5QVoOz6wjoJYvZ7q/2jhFOCvwPLynmsD7c/A8rSCu9kaH1rlHoudsuiRjBxjpco3A7ftT6F"
    "MmfSOkIpsufaAyDYVnFyOXI1+QIDAQAB";
constexpr char kSignature[] = "Z8+Kj/QgN4dU8SHZ2lwicshkK2VzL6RSSYl0Qt5rZM2beFQQu1T86zi25utCF51wbsewPgFcQcTrtGutwjKkKg==";

TEST(CryptoTest, EcdsaP256VerificationRefusesEverythingButTheSignedBytes) {
    std::string key;
    ASSERT_TRUE(Base64Decode(kPublicKey, key));
    std::string signature;
    ASSERT_TRUE(Base64Decode(kSignature, signature));
    std::string error;
    EXPECT_TRUE(VerifyEcdsaP256(key, "ombrel", signature, error)) << error;
    EXPECT_FALSE(VerifyEcdsaP256(key, "ombrel!", signature, error));
    EXPECT_EQ(error, "the signature does not match");
    std::string flipped = signature;
    flipped[40] ^= 1;
    EXPECT_FALSE(VerifyEcdsaP256(key, "ombrel", flipped, error));
    EXPECT_EQ(error, "the signature does not match");
    // An RSA key is no P-256 key.
    std::string rsa;
    ASSERT_TRUE(Base64Decode(kRsaPublicKey, rsa));
    EXPECT_FALSE(VerifyEcdsaP256(rsa, "ombrel", signature, error));
    EXPECT_EQ(error, "the public key is not an ECDSA P-256 key");
    EXPECT_FALSE(VerifyEcdsaP256(key, "ombrel", std::string(63, 'x'), error));
    EXPECT_EQ(error, "the signature is not 64 bytes long");
    EXPECT_FALSE(VerifyEcdsaP256("not a key", "ombrel", std::string(64, 'x'), error));
    EXPECT_EQ(error, "the public key is not a DER SubjectPublicKeyInfo");
    EXPECT_FALSE(VerifyEcdsaP256(key, "ombrel", std::string(64, 'x'), error));
    EXPECT_EQ(error, "the signature does not match");
}

}  // namespace
}  // namespace ombrel

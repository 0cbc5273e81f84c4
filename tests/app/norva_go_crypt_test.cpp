#include "app/norva_go_crypt.h"

#include <gtest/gtest.h>

#include "app/nv_crypt.h"
#include "tests/app/app_test_support.h"

namespace ombrel {
namespace {

using testing::ExternalCrypto;
using testing::Hex;
using testing::ScopedRecordingHandler;
using testing::TempFolder;

const std::string kPassword = "Test-Passw0rd_12345!";
const std::string kIv = "0123456789ABCDEF";
const std::string kJson = R"({"title":"Mein Installer","app":"demo","startApp":"bin/demo","asAdmin":true})";

// Version 2 layout: the message, then n bytes whose last one is n.
std::string PadCountLast(const std::string& message) {
    size_t n = 16 - message.size() % 16;
    return message + std::string(n, static_cast<char>(n));
}

// Version 1 layout: a count byte n, the message, then n filler bytes.
std::string PadCountFirst(const std::string& message, char filler = '\x5A') {
    size_t n = (16 - (1 + message.size()) % 16) % 16;
    return static_cast<char>(n) + message + std::string(n, filler);
}

class EnvelopeTest : public ::testing::Test {
protected:
    TempFolder folder;
    ExternalCrypto openssl{folder};
    ScopedRecordingHandler handler;
};

TEST_F(EnvelopeTest, Version2VectorsFromOpenSsl) {
    struct Case {
        const char* name;
        std::string block;
        std::string expected;
    };
    const Case cases[] = {
        {"plain json", PadCountLast(kJson), kJson},
        {"utf-8 text", PadCountLast("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"},
        {"utf-8 bom is dropped", PadCountLast("\xEF\xBB\xBF" + kJson), kJson},
        {"utf-16 le bom", PadCountLast(std::string("\xFF\xFE" "G\0r\0\xFC\0\xAC\x20", 10)), "Gr\xC3\xBC\xE2\x82\xAC"},
        {"utf-16 be bom", PadCountLast(std::string("\xFE\xFF\0G\0r\0\xFC\x20\xAC", 10)), "Gr\xC3\xBC\xE2\x82\xAC"},
        {"filler bytes are not compared", std::string("ABCDEFGHIJKL") + "\x01\x02\x03\x04", "ABCDEFGHIJKL"},
        {"count 0 keeps the whole buffer", std::string("0123456789abcde") + '\0', std::string("0123456789abcde") + '\0'},
        {"count equal to the length", std::string(31, 'x') + '\x20', ""},
    };
    for (const auto& c : cases) {
        std::string envelope = openssl.EnvelopeV2(kPassword, kIv, c.block);
        EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, envelope), c.expected) << c.name;
        EXPECT_EQ(AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8(kPassword, envelope), c.expected) << c.name;
    }
    EXPECT_TRUE(handler->calls.empty());
}

TEST_F(EnvelopeTest, Version1VectorsFromOpenSsl) {
    struct Case {
        const char* name;
        std::string passwordBytes;  // as Windows-1252
        std::string password;       // as UTF-8
        std::string block;
        std::string expected;
    };
    const Case cases[] = {
        {"plain json", kPassword, kPassword, PadCountFirst(kJson), kJson},
        {"windows-1252 text", kPassword, kPassword, PadCountFirst("K\xE4se \x80 \x93x\x94"),
         "K\xC3\xA4se \xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
        {"no byte-order mark detection", kPassword, kPassword, PadCountFirst("\xEF\xBB\xBF" "a"),
         "\xC3\xAF\xC2\xBB\xC2\xBF" "a"},
        {"count 0 keeps everything after it", kPassword, kPassword,
         std::string(1, '\0') + "0123456789abcde", "0123456789abcde"},
        {"count fills all but the count byte", kPassword, kPassword, '\x0F' + std::string(15, 'f'), ""},
        {"password in windows-1252", "Passw\xF6rt-\xE4\xFC\xDF-12345678", "Passw\xC3\xB6rt-\xC3\xA4\xC3\xBC\xC3\x9F-12345678",
         PadCountFirst("ok"), "ok"},
    };
    for (const auto& c : cases) {
        std::string envelope = openssl.EnvelopeV1(c.passwordBytes, c.block);
        EXPECT_EQ(AES_256_CBC_DECRYPT(c.password, envelope), c.expected) << c.name;
    }
    EXPECT_TRUE(handler->calls.empty());
}

TEST_F(EnvelopeTest, EnvelopeFormEdgeCases) {
    const std::string block = PadCountLast(kJson);
    const std::string data = openssl.Base64(
        openssl.Encrypt(openssl.Sha256Hex(kPassword), Hex(kIv), block));
    const std::string iv = openssl.Base64(kIv);
    const std::string decodeFailure = "ERROR|uNvCrypt.DecodeBase64|";
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
        std::string reportPrefix;  // first report "<kind>|<sender>|<msg>", empty for none
    };
    const Case cases[] = {
        {"well formed", "$02$" + iv + "$" + data, kJson, ""},
        {"empty text", "", "", ""},
        {"doubled dollar between fields", "$02$$" + iv + "$$" + data, kJson, ""},
        {"trailing dollar", "$02$" + iv + "$" + data + "$", kJson, ""},
        {"unsupported version 03", "$03$" + iv + "$" + data, "", ""},
        {"version 99", "$99$" + iv + "$" + data, "", ""},
        {"single digit is version 1", "$2$" + iv + "$" + data, "", decodeFailure},
        {"four pieces", "$02$" + iv + "$" + data + "$" + iv, "", ""},
        {"two pieces", "$02$" + data, "", ""},
        {"iv of 15 bytes", "$02$" + openssl.Base64(kIv.substr(1)) + "$" + data, "", ""},
        {"iv of 17 bytes", "$02$" + openssl.Base64(kIv + "x") + "$" + data, "", ""},
        {"iv not base64", "$02$!!!!$" + data, "", decodeFailure},
        {"data not base64", "$02$" + iv + "$" + data.substr(0, 8) + "*" + data.substr(8), "",
         decodeFailure},
        {"data not a multiple of 16", "$02$" + iv + "$" + openssl.Base64(std::string(20, 'x')), "",
         "LOG|uNorvaGoCrypt.DecryptAES256PKCS7Padding|Exception: Invalid buffer size for decryption"},
        {"version 1 text that is not base64", "not base64 at all!", "", decodeFailure},
        {"version 1 ciphertext of odd length", openssl.Base64("0123456789"), "",
         "LOG|uNorvaGoCrypt.DecryptAES256CustomPadding|Exception: Invalid buffer size for decryption"},
    };
    for (const auto& c : cases) {
        handler->calls.clear();
        EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, c.text), c.expected) << c.name;
        if (c.reportPrefix.empty()) {
            EXPECT_TRUE(handler->calls.empty()) << c.name << ": " << ::testing::PrintToString(handler->Summary());
        } else {
            ASSERT_FALSE(handler->calls.empty()) << c.name;
            EXPECT_EQ(handler->Summary()[0].rfind(c.reportPrefix, 0), 0u)
                << c.name << ": " << handler->Summary()[0];
        }
    }
}

TEST_F(EnvelopeTest, CountBeyondTheBufferIsReportedAsLogLineWithoutAlert) {
    const std::string v2 = openssl.EnvelopeV2(kPassword, kIv, std::string(15, 'x') + '\x11');
    const std::string v1 = openssl.EnvelopeV1(kPassword, '\x10' + std::string(15, 'x'));
    EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, v2), "");
    EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, v1), "");
    ASSERT_EQ(handler->calls.size(), 2u);
    for (const auto& call : handler->calls) {
        EXPECT_EQ(call.info.msgType, msgLog);
        EXPECT_FALSE(call.success);
        EXPECT_EQ(call.info.msg.rfind("Exception: ", 0), 0u) << call.info.msg;
    }
    EXPECT_EQ(handler->calls[0].info.sender, "uNorvaGoCrypt.DecryptAES256PKCS7Padding");
    EXPECT_EQ(handler->calls[1].info.sender, "uNorvaGoCrypt.DecryptAES256CustomPadding");
    EXPECT_EQ(handler->logged.size(), 2u);  // one log line each
    EXPECT_TRUE(handler->alerts->shown.empty());
}

TEST_F(EnvelopeTest, Base64FailureIsNeitherLoggedNorShown) {
    EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, "%%%%"), "");
    ASSERT_EQ(handler->calls.size(), 1u);
    EXPECT_EQ(handler->calls[0].info.msgType, msgError);
    EXPECT_TRUE(handler->calls[0].success);
    EXPECT_TRUE(handler->logged.empty());
    EXPECT_TRUE(handler->alerts->shown.empty());
}

TEST_F(EnvelopeTest, WrongOrEmptyPasswordNeverThrows) {
    const std::string v2 = openssl.EnvelopeV2(kPassword, kIv, PadCountLast(kJson));
    const std::string v1 = openssl.EnvelopeV1(kPassword, PadCountFirst(kJson));
    for (const auto& envelope : {v1, v2}) {
        EXPECT_EQ(AES_256_CBC_DECRYPT("", envelope), "");
        EXPECT_NE(AES_256_CBC_DECRYPT("another-password-123", envelope), kJson);
    }
    EXPECT_EQ(AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8("", v2), "");
}

TEST_F(EnvelopeTest, OurEncryptionMatchesTheIndependentDecryption) {
    // Envelope 2: PKCS#7-style padding, count last, UTF-8.
    const std::string text = "{\"title\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93\"}";
    std::string envelope, error;
    ASSERT_TRUE(EncryptEnvelopeV2WithIv(kPassword, text, kIv, envelope, error)) << error;
    ASSERT_EQ(envelope.rfind("$02$" + openssl.Base64(kIv) + "$", 0), 0u);
    std::string data = openssl.Unbase64(envelope.substr(envelope.rfind('$') + 1));
    EXPECT_EQ(openssl.Decrypt(openssl.Sha256Hex(kPassword), Hex(kIv), data), PadCountLast(text));

    // Envelope 1: count first, Windows-1252.
    ASSERT_TRUE(EncryptEnvelopeV1(kPassword, "K\xC3\xA4se", envelope, error)) << error;
    std::string block = openssl.Decrypt(openssl.Sha256Hex(kPassword), openssl.Md5Hex(kPassword),
                                        openssl.Unbase64(envelope));
    ASSERT_EQ(block.size(), 16u);
    EXPECT_EQ(block.substr(0, 5), "\x0B" "K\xE4se");  // count 11, then the message
}

TEST_F(EnvelopeTest, EncryptionRoundTrips) {
    const std::string texts[] = {"", "x", std::string(15, 'a'), std::string(16, 'b'), kJson,
                                 "{\"title\":\"\xC3\x84rger \xE2\x82\xAC\"}"};
    for (const auto& text : texts) {
        std::string v1, v2, error;
        ASSERT_TRUE(EncryptEnvelopeV1(kPassword, text, v1, error)) << error;
        ASSERT_TRUE(EncryptEnvelopeV2(kPassword, text, v2, error)) << error;
        EXPECT_EQ(GetEnvelopeVersion(v1), 1);
        EXPECT_EQ(GetEnvelopeVersion(v2), 2);
        EXPECT_EQ(AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI(kPassword, v1), text);
        EXPECT_EQ(AES_256_CBC_DECRYPT(kPassword, v2), text);
    }
    std::string envelope, error;
    EXPECT_FALSE(EncryptEnvelopeV1(kPassword, "\xE2\x9C\x93", envelope, error));
    EXPECT_NE(error.find("Windows-1252"), std::string::npos) << error;
    EXPECT_TRUE(envelope.empty());
    EXPECT_FALSE(EncryptEnvelopeV2("", "x", envelope, error));
}

TEST(EnvelopeVersion, ReadsOnlyTheFirstThreeCharacters) {
    struct Case {
        const char* text;
        int32_t version;
    };
    const Case cases[] = {{"", 1},          {"$0", 1},       {"abc", 1},      {"$02", 2},
                          {"$02$x$y", 2},   {"$2$x$y", 1},   {"$ab$", 1},     {"$99x", 99},
                          {"$-1$", -1},     {"$01$", 1},     {"$ 2$", 1},     {"Zm9v", 1}};
    for (const auto& c : cases) EXPECT_EQ(GetEnvelopeVersion(c.text), c.version) << c.text;
}

TEST(SplitEnvelope, ClearsItsOutputsOnFailure) {
    ScopedRecordingHandler handler;
    TByteString iv = "stale", data = "stale";
    EXPECT_FALSE(SplitEnvelope(2, "$02$QUJD$Zm9v", iv, data));  // IV of 3 bytes
    EXPECT_TRUE(iv.empty());
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(SplitEnvelope(3, "$02$MDEyMzQ1Njc4OUFCQ0RFRg==$Zm9v", iv, data));
    EXPECT_TRUE(SplitEnvelope(2, "$02$MDEyMzQ1Njc4OUFCQ0RFRg==$Zm9v", iv, data));
    EXPECT_EQ(iv, kIv);
    EXPECT_EQ(data, "foo");
}

TEST(DecryptRoutines, KeyOfWrongLengthFailsSilently) {
    ScopedRecordingHandler handler;
    std::string error = "stale";
    TByteString plain = "stale";
    EXPECT_FALSE(DecryptAES256PKCS7Padding(std::string(31, 'k'), kIv, std::string(16, 'd'), error, plain));
    EXPECT_FALSE(DecryptAES256CustomPadding("", kIv, std::string(16, 'd'), error, plain));
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(plain.empty());
    EXPECT_TRUE(handler->calls.empty());

    EXPECT_FALSE(DecryptAES256PKCS7Padding(std::string(32, 'k'), kIv, "", error, plain));
    EXPECT_EQ(error.rfind("Exception: ", 0), 0u) << error;
    EXPECT_EQ(handler->calls.size(), 1u);
}

TEST(NvCrypt, Base64FollowsRfc4648) {
    ScopedRecordingHandler handler;
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(EncodeBase64(bytes), text);
        TByteString decoded;
        EXPECT_TRUE(DecodeBase64(text, decoded)) << text;
        EXPECT_EQ(decoded, bytes) << text;
    }
    TByteString decoded;
    EXPECT_TRUE(DecodeBase64("Zm9v\r\nYmFy", decoded));  // MIME line breaks are skipped
    EXPECT_EQ(decoded, "foobar");
    EXPECT_TRUE(DecodeBase64("Zm8", decoded));  // padding may be left out
    EXPECT_EQ(decoded, "fo");
    EXPECT_TRUE(handler->calls.empty());

    for (const char* bad : {"Zm9v$", "Z", "Zm=9", "Zm9v=====", "Zg=", "-_8="}) {
        decoded = "stale";
        EXPECT_FALSE(DecodeBase64(bad, decoded)) << bad;
        EXPECT_TRUE(decoded.empty()) << bad;
    }
    ASSERT_EQ(handler->calls.size(), 6u);
    EXPECT_EQ(handler->calls[0].info.sender, "uNvCrypt.DecodeBase64");
    EXPECT_EQ(handler->calls[0].info.msgType, msgError);
    EXPECT_TRUE(handler->calls[0].success);
    EXPECT_EQ(handler->calls[0].info.msg.rfind("Exception: ", 0), 0u);
}

TEST(NvCrypt, DigestsOfKnownInputs) {
    TByteString digest = "stale";
    EXPECT_TRUE(HashSHA256("", digest));
    EXPECT_TRUE(digest.empty());
    EXPECT_TRUE(HashMD5("", digest));
    EXPECT_TRUE(digest.empty());
    ASSERT_TRUE(HashSHA256("abc", digest));
    EXPECT_EQ(Hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(HashMD5("abc", digest));
    EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace ombrel

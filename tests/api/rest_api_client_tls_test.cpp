// The server client over HTTPS: certificates are verified, and a redirect never leaves HTTPS
// for plain HTTP.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "tests/api/api_test_fixture.h"

namespace ombrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// A self-signed certificate for 127.0.0.1, made for one test; its PEM is written to a file so
// that the client can be told to trust it.
class TestCertificate {
  public:
    explicit TestCertificate(const std::string& pemFile) : pemFile(pemFile) {
        key = EVP_EC_gen("P-256");
        certificate = X509_new();
        if (key == nullptr || certificate == nullptr) throw std::runtime_error("out of memory");
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
        const std::pair<int, const char*> extensions[] = {
            {NID_basic_constraints, "critical,CA:TRUE"},
            {NID_subject_key_identifier, "hash"},
            {NID_subject_alt_name, "IP:127.0.0.1"},
        };
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            if (extension == nullptr) throw std::runtime_error("bad certificate extension");
            X509_add_ext(certificate, extension, -1);
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(certificate, key, EVP_sha256()) == 0) {
            throw std::runtime_error("cannot sign the test certificate");
        }
        BIO* file = BIO_new_file(pemFile.c_str(), "w");
        if (file == nullptr || PEM_write_bio_X509(file, certificate) != 1) {
            BIO_free(file);
            throw std::runtime_error("cannot write " + pemFile);
        }
        BIO_free(file);
    }
    ~TestCertificate() {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    std::string pemFile;
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
};

class ApiClientTlsTest : public ApiClientTest {
  protected:
    // Trusts the test certificate only.
    std::unique_ptr<TApiClient> TrustingClient() {
        return Client(THttpSettings{10000, 10000, certificate.pemFile});
    }

    TempFolder folder;
    TestCertificate certificate{folder / "ca.pem"};
    HttpTestServer secure{certificate.certificate, certificate.key};
};

TEST_F(ApiClientTlsTest, TrustedCertificateIsAccepted) {
    secure.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"secure\": true}", "application/json");
    });
    options->apiUrl = secure.BaseUrl();
    auto client = TrustingClient();
    std::string answer;
    ASSERT_TRUE(client->GetInstallInfoForLatest("app", answer)) << messages->Dump();
    EXPECT_EQ(answer, "{\"secure\": true}");
    EXPECT_EQ(secure.LastRequest().path, "/api/update/install/app");
}

TEST_F(ApiClientTlsTest, TheOptionsCaFileIsTrustedInsteadOfTheSystemStore) {
    secure.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"secure\": true}", "application/json");
    });
    options->apiUrl = secure.BaseUrl();
    options->caFile = certificate.pemFile;
    std::string answer;
    ASSERT_TRUE(Client()->GetInstallInfoForLatest("app", answer)) << messages->Dump();
    EXPECT_EQ(answer, "{\"secure\": true}");

    // Another authority's file: the server's certificate is not trusted.
    TempFolder other;
    TestCertificate stranger{other / "stranger.pem"};
    options->caFile = stranger.pemFile;
    messages->reports.clear();
    EXPECT_FALSE(Client()->GetInstallInfoForLatest("app", answer));
    ASSERT_FALSE(Errors().empty());
    EXPECT_THAT(Errors()[0], HasSubstr("certificate"));
}

TEST_F(ApiClientTlsTest, UntrustedCertificateIsRefused) {
    options->apiUrl = secure.BaseUrl();
    auto client = Client();
    std::string answer;
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], StartsWith("connection failed: "));
    EXPECT_THAT(errors[0], HasSubstr("certificate"));
    EXPECT_EQ(errors[1], "request failed (0): ");
    EXPECT_THAT(secure.Requests(), IsEmpty());
}

TEST_F(ApiClientTlsTest, RedirectsNeverLeaveHttpsForPlainHttp) {
    HttpTestServer plainFiles;
    plainFiles.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("plain bytes", "application/zip");
    });
    secure.Handle("GET", "/files/.*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("secure bytes", "application/zip");
    });
    secure.Handle("GET", "/to-plain/.*", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(plainFiles.BaseUrl() + "/files/p.zip", 302);
    });
    secure.Handle("GET", "/to-secure/.*", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/files/p.zip", 302);
    });
    // The plain server sends the client on to HTTPS, whose hop then asks for plain HTTP.
    server.Handle("GET", "/via-secure/.*", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(secure.BaseUrl() + "/to-plain/p.zip", 307);
    });
    server.Handle("GET", "/up/.*", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(secure.BaseUrl() + "/files/p.zip", 301);
    });
    struct Case {
        std::string apiUrl;
        const char* expected;  // nullptr: refused
    } cases[] = {
        {secure.BaseUrl() + "/to-plain", nullptr},
        {server.BaseUrl() + "/via-secure", nullptr},
        {secure.BaseUrl() + "/to-secure", "secure bytes"},
        {server.BaseUrl() + "/up", "secure bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.apiUrl);
        options->apiUrl = c.apiUrl;
        messages->reports.clear();
        auto client = TrustingClient();
        TBytes bytes;
        TempFolder files;
        bool inMemory = client->DownloadBinaryPackage(5, bytes);
        bool toFile = client->DownloadPackageToFile(5, TPackageMode::binary, files / "p.zip");
        if (c.expected != nullptr) {
            EXPECT_TRUE(inMemory) << messages->Dump();
            EXPECT_TRUE(toFile) << messages->Dump();
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.expected);
            EXPECT_EQ(files.Read("p.zip"), c.expected);
        } else {
            EXPECT_FALSE(inMemory);
            EXPECT_FALSE(toFile);
            auto errors = Errors();
            ASSERT_EQ(errors.size(), 4u) << messages->Dump();
            EXPECT_THAT(errors[0], StartsWith("connection failed: "));
            EXPECT_THAT(errors[0], HasSubstr("HTTPS to plain HTTP"));
            EXPECT_EQ(errors[1], "request failed (0): ");
        }
    }
    EXPECT_THAT(plainFiles.Requests(), IsEmpty());
}

}  // namespace
}  // namespace ombrel::testing

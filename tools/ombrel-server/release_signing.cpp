#include "tools/ombrel-server/release_signing.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/crypto.h"
#include "tools/ombrel-server/release_store.h"

namespace ombrel::server {
namespace {

using TKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string OpenSslError(const std::string& what) {
    unsigned long code = ERR_get_error();
    char text[256] = {0};
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return code != 0 ? what + ": " + text : what;
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {0};
    size_t length = 0;
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_EC &&
           EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) == 1 &&
           std::string(group) == "prime256v1";
}

bool PublicKeyText(EVP_PKEY* key, std::string& text, std::string& error) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        error = OpenSslError("cannot encode the public key");
        return false;
    }
    text = Base64Encode(std::string_view(reinterpret_cast<char*>(der), length));
    OPENSSL_free(der);
    return true;
}

bool WriteNew(const std::string& path, const std::string& content, mode_t mode,
              std::string& error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
              fsync(fd) == 0;
    if (!ok) error = "cannot write " + path + ": " + std::strerror(errno);
    if (close(fd) != 0 && ok) {
        ok = false;
        error = "cannot write " + path + ": " + std::strerror(errno);
    }
    if (!ok) unlink(path.c_str());
    return ok;
}

}  // namespace

bool GenerateSigningKey(const std::string& keyFile, std::string& publicKey, std::string& error) {
    TKey key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key) {
        error = OpenSslError("cannot make a P-256 key");
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        error = OpenSslError("cannot encode the private key");
        return false;
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    std::string pem(data, static_cast<size_t>(length));
    if (!PublicKeyText(key.get(), publicKey, error)) return false;
    if (access((keyFile + ".pub").c_str(), F_OK) == 0) {
        error = keyFile + ".pub exists already";
        return false;
    }
    if (!WriteNew(keyFile, pem, 0600, error)) return false;
    if (!WriteNew(keyFile + ".pub", publicKey + "\n", 0644, error)) {
        unlink(keyFile.c_str());
        return false;
    }
    return true;
}

bool SignWithKeyFile(const std::string& keyFile, const std::string& text, std::string& signature,
                     std::string& publicKey, std::string& error) {
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(keyFile.c_str(), "rb"), fclose);
    if (!file) {
        error = "cannot read " + keyFile + ": " + std::strerror(errno);
        return false;
    }
    TKey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key) {
        error = OpenSslError(keyFile + " holds no private key in PEM form");
        return false;
    }
    if (!IsP256(key.get())) {
        error = keyFile + " is not an ECDSA P-256 key";
        return false;
    }
    if (!PublicKeyText(key.get(), publicKey, error)) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        error = OpenSslError("cannot sign");
        return false;
    }
    std::string der(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        error = OpenSslError("cannot sign");
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
        d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)), ECDSA_SIG_free);
    unsigned char raw[64] = {0};
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw + 32, 32) != 32) {
        error = OpenSslError("cannot encode the signature");
        return false;
    }
    signature = Base64Encode(std::string_view(reinterpret_cast<char*>(raw), sizeof raw));
    return true;
}

}  // namespace ombrel::server

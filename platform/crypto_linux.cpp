#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "platform/crypto.h"

namespace ombrel {
namespace {

std::string OpenSslError(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

struct TDigest::TImpl {
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
    ~TImpl() { EVP_MD_CTX_free(context); }
};

TDigest::TDigest(TDigestAlgorithm algorithm) : iImpl(std::make_unique<TImpl>()) {
    const EVP_MD* md = algorithm == TDigestAlgorithm::Md5 ? EVP_md5() : EVP_sha256();
    iImpl->context = EVP_MD_CTX_new();
    iImpl->failed = iImpl->context == nullptr ||
                    EVP_DigestInit_ex(iImpl->context, md, nullptr) != 1;
}

TDigest::~TDigest() = default;

void TDigest::Update(const void* data, size_t size) {
    if (iImpl->failed || size == 0) return;
    if (EVP_DigestUpdate(iImpl->context, data, size) != 1) iImpl->failed = true;
}

bool TDigest::Finish(std::string& digest, std::string& error) {
    digest.clear();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (iImpl->failed || EVP_DigestFinal_ex(iImpl->context, out, &length) != 1) {
        error = OpenSslError("Cannot compute the digest");
        return false;
    }
    digest.assign(reinterpret_cast<const char*>(out), length);
    return true;
}

bool AesCbc256(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
               std::string& output, std::string& error) {
    output.clear();
    if (input.empty()) return true;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        error = OpenSslError("Cannot create a cipher context");
        return false;
    }
    auto* k = reinterpret_cast<const unsigned char*>(key.data());
    auto* v = reinterpret_cast<const unsigned char*>(iv.data());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        error = OpenSslError("Cannot initialise AES-256-CBC");
        return false;
    }
    std::string buffer(input.size() + 16, '\0');
    int written = 0;
    int final = 0;
    auto* out = reinterpret_cast<unsigned char*>(buffer.data());
    if (EVP_CipherUpdate(ctx.get(), out, &written,
                         reinterpret_cast<const unsigned char*>(input.data()),
                         static_cast<int>(input.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + written, &final) != 1) {
        error = OpenSslError("AES-256-CBC failed");
        return false;
    }
    buffer.resize(static_cast<size_t>(written + final));
    output = std::move(buffer);
    return true;
}

bool StrongRandomBytes(size_t count, std::string& bytes) {
    bytes.assign(count, '\0');
    if (count == 0) return true;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        ERR_clear_error();
        bytes.clear();
        return false;
    }
    return true;
}

bool VerifyEcdsaP256(std::string_view publicKey, std::string_view message,
                     std::string_view signature, std::string& error) {
    if (signature.size() != 64) {
        error = "the signature is not 64 bytes long";
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(publicKey.data());
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PUBKEY(nullptr, &p, static_cast<long>(publicKey.size())), EVP_PKEY_free);
    if (!key || p != reinterpret_cast<const unsigned char*>(publicKey.data()) + publicKey.size()) {
        error = "the public key is not a DER SubjectPublicKeyInfo";
        return false;
    }
    char group[64] = {0};
    size_t groupLength = 0;
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_utf8_string_param(key.get(), "group", group, sizeof group, &groupLength) !=
            1 ||
        std::string_view(group) != "prime256v1") {
        error = "the public key is not an ECDSA P-256 key";
        return false;
    }
    // P1363 (r || s) to the DER form that OpenSSL verifies.
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()), 32, nullptr);
    BIGNUM* s =
        BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()) + 32, 32, nullptr);
    if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        error = "out of memory";
        return false;
    }
    unsigned char* der = nullptr;
    int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) {
        error = "out of memory";
        return false;
    }
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
        der, [](unsigned char* d) { OPENSSL_free(d); });
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        error = "ECDSA verification is not available";
        return false;
    }
    int ok = EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(derLength),
                              reinterpret_cast<const unsigned char*>(message.data()),
                              message.size());
    if (ok != 1) {
        error = "the signature does not match";
        return false;
    }
    return true;
}

}  // namespace ombrel

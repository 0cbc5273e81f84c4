#include "tools/ombrel-server/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace ombrel::server {

struct TMd5::TState {
    EVP_MD_CTX* ctx = nullptr;
    ~TState() { EVP_MD_CTX_free(ctx); }
};

TMd5::TMd5() : state(std::make_unique<TState>()) {
    state->ctx = EVP_MD_CTX_new();
    if (state->ctx == nullptr || EVP_DigestInit_ex(state->ctx, EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available");
    }
}

TMd5::~TMd5() = default;

void TMd5::Update(const void* data, size_t size) {
    if (size > 0) EVP_DigestUpdate(state->ctx, data, size);
}

std::string TMd5::Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state->ctx, digest, &length);
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

bool Md5OfFile(const std::string& path, std::string& hex, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    TMd5 md5;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        md5.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    hex = md5.Hex();
    return true;
}

std::string Md5OfText(std::string_view text) {
    TMd5 md5;
    md5.Update(text);
    return md5.Hex();
}

}  // namespace ombrel::server

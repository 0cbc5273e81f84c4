// windows.h first: bcrypt.h needs its types.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include "platform/crypto.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// BCrypt answers NTSTATUS codes; the system has texts for them in ntdll.
std::string StatusText(NTSTATUS status) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleW(L"ntdll.dll"), static_cast<DWORD>(status), 0,
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
        --length;
    }
    std::string text = length > 0 ? Narrow(std::wstring_view(buffer, length)) : std::string();
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) {
        char code[16];
        snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
        text = std::string("BCrypt error ") + code;
    }
    return text;
}

class TAlgorithm {
  public:
    TAlgorithm(const wchar_t* id, NTSTATUS& status) {
        status = BCryptOpenAlgorithmProvider(&iHandle, id, nullptr, 0);
        if (!Succeeded(status)) iHandle = nullptr;
    }
    ~TAlgorithm() {
        if (iHandle != nullptr) BCryptCloseAlgorithmProvider(iHandle, 0);
    }
    TAlgorithm(const TAlgorithm&) = delete;
    TAlgorithm& operator=(const TAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return iHandle; }

  private:
    BCRYPT_ALG_HANDLE iHandle = nullptr;
};

}  // namespace

struct TDigest::TImpl {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    NTSTATUS status = 0;
    ~TImpl() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

TDigest::TDigest(TDigestAlgorithm algorithm) : iImpl(std::make_unique<TImpl>()) {
    const wchar_t* id =
        algorithm == TDigestAlgorithm::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
    iImpl->status = BCryptOpenAlgorithmProvider(&iImpl->algorithm, id, nullptr, 0);
    if (!Succeeded(iImpl->status)) {
        iImpl->algorithm = nullptr;
        return;
    }
    iImpl->status = BCryptCreateHash(iImpl->algorithm, &iImpl->hash, nullptr, 0, nullptr, 0, 0);
    if (!Succeeded(iImpl->status)) iImpl->hash = nullptr;
}

TDigest::~TDigest() = default;

void TDigest::Update(const void* data, size_t size) {
    auto* bytes = static_cast<const unsigned char*>(data);
    while (Succeeded(iImpl->status) && size > 0) {
        ULONG chunk = static_cast<ULONG>(size > (1u << 30) ? (1u << 30) : size);
        iImpl->status = BCryptHashData(iImpl->hash, const_cast<PUCHAR>(bytes), chunk, 0);
        bytes += chunk;
        size -= chunk;
    }
}

bool TDigest::Finish(std::string& digest, std::string& error) {
    digest.clear();
    DWORD length = 0;
    ULONG got = 0;
    if (Succeeded(iImpl->status)) {
        iImpl->status =
            BCryptGetProperty(iImpl->algorithm, BCRYPT_HASH_LENGTH,
                              reinterpret_cast<PUCHAR>(&length), sizeof length, &got, 0);
    }
    if (Succeeded(iImpl->status)) {
        digest.assign(length, '\0');
        iImpl->status =
            BCryptFinishHash(iImpl->hash, reinterpret_cast<PUCHAR>(digest.data()), length, 0);
    }
    if (!Succeeded(iImpl->status)) {
        digest.clear();
        error = StatusText(iImpl->status);
        return false;
    }
    return true;
}

bool AesCbc256(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
               std::string& output, std::string& error) {
    output.clear();
    if (input.empty()) return true;
    NTSTATUS status = 0;
    TAlgorithm aes(BCRYPT_AES_ALGORITHM, status);
    if (Succeeded(status)) {
        status =
            BCryptSetProperty(aes.Get(), BCRYPT_CHAINING_MODE,
                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                              sizeof(BCRYPT_CHAIN_MODE_CBC), 0);
    }
    BCRYPT_KEY_HANDLE keyHandle = nullptr;
    if (Succeeded(status)) {
        status = BCryptGenerateSymmetricKey(aes.Get(), &keyHandle, nullptr, 0,
                                            reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                                            static_cast<ULONG>(key.size()), 0);
    }
    std::string buffer(input.size(), '\0');
    if (Succeeded(status)) {
        // BCrypt updates the vector it is given; it works on a copy.
        std::string vector(iv);
        ULONG written = 0;
        auto* in = reinterpret_cast<PUCHAR>(const_cast<char*>(input.data()));
        auto* out = reinterpret_cast<PUCHAR>(buffer.data());
        auto* v = reinterpret_cast<PUCHAR>(vector.data());
        const auto size = static_cast<ULONG>(input.size());
        status = encrypt
                     ? BCryptEncrypt(keyHandle, in, size, nullptr, v, 16, out, size, &written, 0)
                     : BCryptDecrypt(keyHandle, in, size, nullptr, v, 16, out, size, &written, 0);
        if (Succeeded(status)) buffer.resize(written);
        BCryptDestroyKey(keyHandle);
    }
    if (!Succeeded(status)) {
        error = StatusText(status);
        return false;
    }
    output = std::move(buffer);
    return true;
}

bool StrongRandomBytes(size_t count, std::string& bytes) {
    bytes.assign(count, '\0');
    if (count == 0) return true;
    NTSTATUS status = BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()),
                                      static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!Succeeded(status)) {
        bytes.clear();
        return false;
    }
    return true;
}

}  // namespace ombrel

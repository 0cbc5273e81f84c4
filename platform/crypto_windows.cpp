// windows.h first: bcrypt.h needs its types.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include "platform/crypto.h"

#include <cstring>

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

namespace {

// One DER element: its tag and its contents. Only the definite length forms exist in DER.
struct TDerElement {
    unsigned char tag = 0;
    std::string_view contents;
};

// Reads the element at the start of `input` and moves `input` past it.
bool ReadDer(std::string_view& input, TDerElement& element) {
    if (input.size() < 2) return false;
    element.tag = static_cast<unsigned char>(input[0]);
    size_t length = static_cast<unsigned char>(input[1]);
    size_t header = 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 3 || input.size() < 2 + bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) {
            length = length << 8 | static_cast<unsigned char>(input[2 + i]);
        }
        // DER takes the shortest form.
        if (length < 0x80 || static_cast<unsigned char>(input[2]) == 0) return false;
        header += bytes;
    }
    if (input.size() - header < length) return false;
    element.contents = input.substr(header, length);
    input.remove_prefix(header + length);
    return true;
}

// id-ecPublicKey (1.2.840.10045.2.1) and prime256v1 (1.2.840.10045.3.1.7), encoded.
constexpr char kEcPublicKeyOid[] = "\x2a\x86\x48\xce\x3d\x02\x01";
constexpr char kPrime256v1Oid[] = "\x2a\x86\x48\xce\x3d\x03\x01\x07";

enum class TKeyParse { NotSpki, NotP256, Ok };

// Takes X || Y of the uncompressed point out of a SubjectPublicKeyInfo:
// SEQUENCE { SEQUENCE { OID algorithm, parameters }, BIT STRING key }.
TKeyParse P256PointOf(std::string_view spki, std::string& point) {
    TDerElement outer, algorithm, bits;
    if (!ReadDer(spki, outer) || outer.tag != 0x30 || !spki.empty()) return TKeyParse::NotSpki;
    std::string_view body = outer.contents;
    if (!ReadDer(body, algorithm) || algorithm.tag != 0x30 || !ReadDer(body, bits) ||
        bits.tag != 0x03 || !body.empty() || bits.contents.empty()) {
        return TKeyParse::NotSpki;
    }
    std::string_view ids = algorithm.contents;
    TDerElement oid, parameters;
    if (!ReadDer(ids, oid) || oid.tag != 0x06) return TKeyParse::NotSpki;
    const bool hasParameters = !ids.empty();
    if (hasParameters && (!ReadDer(ids, parameters) || !ids.empty())) return TKeyParse::NotSpki;
    if (oid.contents != std::string_view(kEcPublicKeyOid, sizeof kEcPublicKeyOid - 1) ||
        !hasParameters || parameters.tag != 0x06 ||
        parameters.contents != std::string_view(kPrime256v1Oid, sizeof kPrime256v1Oid - 1)) {
        return TKeyParse::NotP256;
    }
    // No unused bits, then the point: 0x04 || X || Y (32 bytes each).
    std::string_view key = bits.contents;
    if (key[0] != 0 || key.size() != 66 || key[1] != 0x04) return TKeyParse::NotP256;
    point.assign(key.substr(2));
    return TKeyParse::Ok;
}

}  // namespace

bool VerifyEcdsaP256(std::string_view publicKey, std::string_view message,
                     std::string_view signature, std::string& error) {
    if (signature.size() != 64) {
        error = "the signature is not 64 bytes long";
        return false;
    }
    std::string point;
    switch (P256PointOf(publicKey, point)) {
        case TKeyParse::NotSpki:
            error = "the public key is not a DER SubjectPublicKeyInfo";
            return false;
        case TKeyParse::NotP256:
            error = "the public key is not an ECDSA P-256 key";
            return false;
        case TKeyParse::Ok:
            break;
    }
    TDigest digest(TDigestAlgorithm::Sha256);
    digest.Update(message.data(), message.size());
    std::string hash;
    if (!digest.Finish(hash, error)) return false;

    NTSTATUS status = 0;
    TAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM, status);
    if (!Succeeded(status)) {
        error = "ECDSA verification is not available: " + StatusText(status);
        return false;
    }
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size(), '\0');
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.data(), point.size());
    BCRYPT_KEY_HANDLE key = nullptr;
    status = BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                 reinterpret_cast<PUCHAR>(blob.data()),
                                 static_cast<ULONG>(blob.size()), 0);
    if (!Succeeded(status)) {
        // A point that is not on the curve.
        error = "the public key is not an ECDSA P-256 key";
        return false;
    }
    status = BCryptVerifySignature(key, nullptr, reinterpret_cast<PUCHAR>(hash.data()),
                                   static_cast<ULONG>(hash.size()),
                                   reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
                                   static_cast<ULONG>(signature.size()), 0);
    BCryptDestroyKey(key);
    if (!Succeeded(status)) {
        error = "the signature does not match";
        return false;
    }
    return true;
}

}  // namespace ombrel

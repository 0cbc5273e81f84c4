#pragma once
// The cryptographic primitives: MD5 and SHA-256 digests, AES-256-CBC, strong random bytes and
// ECDSA P-256 signature checks over the platform's library (OpenSSL's libcrypto on Linux, BCrypt
// on Windows), and Base64.
// Nothing outside this unit sees either library.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ombrel {

enum class TDigestAlgorithm { Md5, Sha256 };

// A digest computed over data handed in piece by piece.
class TDigest {
public:
    explicit TDigest(TDigestAlgorithm algorithm);
    ~TDigest();
    TDigest(const TDigest&) = delete;
    TDigest& operator=(const TDigest&) = delete;

    // Adds data. Once a call has failed, Finish fails as well.
    void Update(const void* data, size_t size);
    // The digest (16 bytes for MD5, 32 for SHA-256). False, with the library's text in `error`,
    // when the platform could not compute it. Call once.
    bool Finish(std::string& digest, std::string& error);

private:
    struct TImpl;
    std::unique_ptr<TImpl> iImpl;
};

// The digest of the whole data.
bool ComputeDigest(TDigestAlgorithm algorithm, std::string_view data, std::string& digest,
                   std::string& error);

// AES-256 in CBC mode without padding: the output has the input's length. The caller passes a
// 32-byte key, a 16-byte initialisation vector and an input whose length is a multiple of 16.
// False, with the library's text in `error`, when the platform fails.
bool AesCbc256(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
               std::string& output, std::string& error);

// `count` bytes from the platform's cryptographically strong generator.
bool StrongRandomBytes(size_t count, std::string& bytes);

// RFC 4648 Base64 with "=" padding, on one line.
std::string Base64Encode(std::string_view bytes);

// Lower-case hexadecimal digits of the bytes.
std::string HexLower(std::string_view bytes);

// The strict inverse of Base64Encode: no blanks or line breaks, padding required. A failure
// answers false and leaves `bytes` empty.
bool Base64Decode(std::string_view text, std::string& bytes);

// SHA-256 of the bytes as 64 lowercase hexadecimal digits, the form package digests are
// exchanged in; empty when the platform could not compute it.
std::string Sha256Hex(std::string_view bytes);

// SHA-256 (as above) and size of a whole file (UTF-8 path), read in blocks. False with the
// reason in `error` when the file cannot be read.
bool Sha256OfFile(const std::string& path, std::string& hex, uint64_t& size, std::string& error);

// True for exactly 64 lowercase hexadecimal digits.
bool IsSha256Hex(std::string_view text);

// Verifies an ECDSA signature with SHA-256 over `message` under a P-256 public key.
// `publicKey` is a DER SubjectPublicKeyInfo; `signature` is the 64 bytes r || s, each 32 bytes
// big-endian (the IEEE P1363 form that BCrypt takes). False with a reason in `error` for a key
// that is not a P-256 key ("the public key is not ..."), a signature of another length ("the
// signature is not 64 bytes long"), or a signature that does not verify ("the signature does
// not match").
bool VerifyEcdsaP256(std::string_view publicKey, std::string_view message,
                     std::string_view signature, std::string& error);

}  // namespace ombrel

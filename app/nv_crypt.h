#pragma once
// uNvCrypt: the cryptographic primitives of the instruction envelope, over the platform's
// (platform/crypto.h); everything else sees byte strings.

#include <string>
#include <string_view>

namespace ombrel {

// A byte array. std::string is used as a byte container; no encoding is implied.
using TByteString = std::string;

// Decodes RFC 4648 Base64. Line breaks, blanks and tabs are skipped (MIME style) and the '='
// padding may be left out. Any other character outside the alphabet, misplaced padding or a
// length that cannot be Base64 ends in false with empty output; that failure is reported to
// the process's message handler as "Exception: ..." from "uNvCrypt.DecodeBase64".
bool DecodeBase64(std::string_view text, TByteString& bytes);

// RFC 4648 Base64 with '=' padding, on one line.
std::string EncodeBase64(std::string_view bytes);

// Digests of the whole array (32 and 16 bytes). An empty input gives an empty digest and true;
// a failure gives an empty digest and false, without a message.
bool HashSHA256(std::string_view data, TByteString& digest);
bool HashMD5(std::string_view data, TByteString& digest);

// AES-256 in CBC mode without any padding handling: the output has exactly the input's length.
// Needs a 32-byte key and a 16-byte IV. An empty input gives empty output and true. A length
// that is not a multiple of 16 fails with "Invalid buffer size for decryption" (or "... for
// encryption") in `error`; other failures carry the platform library's own text.
bool DecryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view data,
                         TByteString& plain, std::string& error);
bool EncryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view plain,
                         TByteString& data, std::string& error);

// Fills `bytes` with `count` bytes from the cryptographically strong generator.
bool RandomBytes(size_t count, TByteString& bytes);

}  // namespace ombrel

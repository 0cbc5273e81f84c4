#pragma once
// uNorvaGoCrypt: the encrypted instruction envelope, versions 1 and 2, both AES-256-CBC.
//
// Version 1 is bare Base64 of the ciphertext; key = SHA-256 and IV = MD5 of the password in
// Windows-1252; the decrypted buffer holds a count byte n, the message, then n filler bytes;
// the message is Windows-1252 text.
// Version 2 is "$02$" + Base64(IV) + "$" + Base64(ciphertext); key = SHA-256 of the password
// in UTF-8; the last decrypted byte n counts the padding at the end; the message is UTF-8, or
// UTF-16 LE/BE when it starts with that byte-order mark.
//
// Texts are UTF-8 in memory. No routine throws: failures end in false or empty text, and the
// ones the caught failure deserves are reported to MsgHandler().

#include <cstdint>
#include <string>
#include <string_view>

#include "app/nv_crypt.h"

namespace ombrel {

// Detects the version and decrypts; empty text and versions other than 1 and 2 give "".
std::string AES_256_CBC_DECRYPT(const std::string& password, const std::string& text);
std::string AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI(const std::string& password,
                                                    const std::string& text);
std::string AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8(const std::string& password,
                                                   const std::string& text);

// Reads the first three characters: "$" and two characters forming a decimal integer give that
// integer; anything else is version 1.
int32_t GetEnvelopeVersion(const std::string& text);

// Parses a version-2 envelope: exactly three non-empty "$"-separated pieces, the first the
// decimal `version`, the second Base64 of a 16-byte IV, the third Base64 of the data.
bool SplitEnvelope(int32_t version, const std::string& text, TByteString& iv, TByteString& data);

// CBC decryption with the version-2 (count byte last) and version-1 (count byte first) layouts.
// A key that is not 32 bytes gives false without a message. Other failures give false with
// "Exception: " + the reason in `error`, also reported to MsgHandler() as a log line.
bool DecryptAES256PKCS7Padding(const TByteString& key, const TByteString& iv,
                               const TByteString& data, std::string& error, TByteString& plain);
bool DecryptAES256CustomPadding(const TByteString& key, const TByteString& iv,
                                const TByteString& data, std::string& error, TByteString& plain);

// The publisher's side: encrypts `plainText` (UTF-8) under `password` into an envelope that
// the matching decryption reads back. Version 1 needs text that Windows-1252 can hold; the
// filler and the version-2 IV are random. False with the reason in `error` otherwise.
bool EncryptEnvelopeV1(const std::string& password, const std::string& plainText,
                       std::string& envelope, std::string& error);
bool EncryptEnvelopeV2(const std::string& password, const std::string& plainText,
                       std::string& envelope, std::string& error);
// Version 2 with a given IV (16 bytes); for reproducible output.
bool EncryptEnvelopeV2WithIv(const std::string& password, const std::string& plainText,
                             const TByteString& iv, std::string& envelope, std::string& error);

}  // namespace ombrel

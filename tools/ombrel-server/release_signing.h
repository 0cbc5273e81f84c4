#pragma once
// Signing keys of a publisher: `ombrel-server keygen` makes them, `publish --sign` uses them.

#include <string>

namespace ombrel::server {

// Makes a new ECDSA P-256 key pair. The private key goes to `keyFile` (PEM, PKCS #8, mode
// 0600, never over an existing file); the public key, as the Base64 of its DER
// SubjectPublicKeyInfo (the form OMBREL_RELEASE_PUBLIC_KEY takes), to `keyFile` + ".pub" and
// into `publicKey`. False with a reason in `error`; nothing is left behind then.
bool GenerateSigningKey(const std::string& keyFile, std::string& publicKey, std::string& error);

// Signs `text` with the P-256 private key in `keyFile`: ECDSA with SHA-256, answered as the
// Base64 of r || s (64 bytes). `publicKey` gets the key's public half as above.
bool SignWithKeyFile(const std::string& keyFile, const std::string& text, std::string& signature,
                     std::string& publicKey, std::string& error);

}  // namespace ombrel::server

// The embedded instruction on any bytes: text decoding, envelope detection and decryption of
// both envelope versions, and the JSON form of the instruction. The input is also encrypted
// with the built-in password first, so that the JSON reader sees more than noise.

#include <cstdint>
#include <string>

#include "app/instruction.h"
#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"

using namespace ombrel;

namespace {

void ReadInstruction(const std::string& text) {
    try {
        (void)InstructionFromJson(text);
    } catch (const EInstructionError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = InstructionTextFromBytes(bytes);
    const std::string password = build::kInstructionPassword;
    std::string error;
    ReadInstruction(AES_256_CBC_DECRYPT(password, text));
    ReadInstruction(AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI(password, text));
    ReadInstruction(AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8(password, text));
    ReadInstruction(text);

    // A fixed IV keeps every run of an input the same.
    std::string envelope;
    const TByteString iv(16, 7);
    if (EncryptEnvelopeV2WithIv(password, bytes, iv, envelope, error)) {
        ReadInstruction(AES_256_CBC_DECRYPT(password, envelope));
    }
    return 0;
}

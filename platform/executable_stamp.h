#pragma once
// The instruction of an installer file of either kind, as the publisher's stamp tool reads and
// writes it: a Linux installer (ELF) carries it as a trailer (resource_trailer.h), a Windows
// installer (PE) in its RT_RCDATA resource "INSTRUCTION", a slot of fixed capacity that the
// installer was linked with and whose text ends at the first zero byte (pe_resource.h). The kind
// is told by the file's headers, never by its name.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pe_resource.h"

namespace ombrel {

// Reads the first bytes of `file` and tells its kind. Answers false with the reason when the
// file cannot be read.
bool DetectExecutableFileKind(const std::string& file, TExecutableKind& kind, std::string& error);

// The instruction text of a stamped installer of either kind: the trailer's bytes, or the
// resource's bytes up to the first zero byte (empty when it was never stamped). Answers false
// with the reason in `error` for a file that is neither kind, carries no instruction resource,
// or cannot be read.
bool ReadStampedInstruction(const std::string& file, std::string& bytes, std::string& error);

// Writes a copy of the installer `input` to `output` (which may equal `input`) carrying `bytes`
// as its instruction, replacing any earlier one. For a Windows installer the bytes go into the
// INSTRUCTION resource, followed by zeros up to its capacity, and the PE checksum is updated; the
// rest of the file stays byte for byte, so the copy can be signed afterwards. Refused with the
// reason in `error`, leaving `output` untouched: a file of neither kind, a Windows file without
// the resource, an instruction longer than the resource or containing a zero byte (which would
// end its text early), and a signed file (stamping would break its signature: stamp first, then
// sign).
bool StampInstruction(const std::string& input, const std::string& output, std::string_view bytes,
                      std::string& error);

}  // namespace ombrel

#pragma once
// Model.Instruction: what the embedded instruction tells the installer, and its JSON form.

#include <memory>
#include <stdexcept>
#include <string>

namespace ombrel {

class TInstruction {
public:
    // Caption of the installer window ("title").
    std::string Title;
    // Name of the application to install, also the installation folder's name ("app").
    std::string App;
    // Program to start after installation, relative to the installation folder ("startApp").
    std::string StartApp;
    // Start that program with administrator rights ("asAdmin").
    bool RunAsAdmin = false;
};

// A failure to turn the decrypted text into an instruction; what() is the user-facing text.
class EInstructionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Converts decrypted text into an instruction. Members "title", "app", "startApp", "asAdmin"
// (exact case) fill the fields in member order; other members are ignored; a number sets a
// text field to its text; null restores a field's default.
// Answers null when the text yields no instruction: it is blank, or it is the JSON literal
// null. Throws EInstructionError with "Der Eingabewert ist kein gültiges Objekt" when it is
// anything else but an object, and with a conversion message for a member of the wrong type.
std::unique_ptr<TInstruction> InstructionFromJson(const std::string& text);

// The instruction as a JSON object with the four members in field order, 4-blank indentation.
std::string InstructionToJson(const TInstruction& instruction);

// The embedded resource's bytes read as text: a UTF-8, UTF-16 LE or UTF-16 BE byte-order mark
// selects that encoding and is dropped, otherwise Windows-1252; lines re-joined with CR LF;
// trimmed of every character up to U+0020 at both ends.
std::string InstructionTextFromBytes(const std::string& bytes);

}  // namespace ombrel

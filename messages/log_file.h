#pragma once
// The two places where the message log meets the operating system.

#include <ctime>
#include <string>

namespace ombrel {

// Appends the text to the file, creating it when missing. Each call opens and closes the file,
// so that a log that several processes append to interleaves whole writes. On failure answers
// false with "Cannot open file "NAME": REASON" or "Cannot write file "NAME": REASON" in
// `error`, REASON being the platform's own text.
bool AppendToFile(const std::string& fileName, const std::string& text, std::string& error);

// The broken-down local time of `t`.
std::tm LocalTime(std::time_t t);

}  // namespace ombrel

#pragma once
// Order of release and package versions.

#include <string_view>

namespace ombrel::server {

// Compares two versions part by part, parts separated by ".". Two parts made only of digits
// compare as numbers (1.10 > 1.9, 1.02 == 1.2 as a part); a numeric part ranks above a
// non-numeric one (1.0.1 > 1.0.beta); two non-numeric parts compare as text, byte by byte.
// When all common parts are equal, the version with more parts is higher (1.0.1 > 1.0).
// Versions that are still equal (1.02 and 1.2) are ordered by their text, so the order is
// total and only identical texts compare equal. Answers <0, 0 or >0.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace ombrel::server

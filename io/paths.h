#pragma once
// Path joining and the checks that every joined path goes through.
//
// The separator is "/" on Linux and "\" on Windows. Names that come from servers, archives or
// state files may use either; NormalizeSeparators turns them into the platform's before they
// are joined.

#include <stdexcept>
#include <string>
#include <string_view>

namespace ombrel {

// Raised when a path holds a character that paths may not contain (U+0000 to U+001F, '"',
// '<', '>' and '|'), or when a name would lead out of the folder it must stay in.
class EPathError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True when the text holds a character that paths may not contain.
bool HasInvalidPathChars(std::string_view path);

// Raises EPathError when HasInvalidPathChars.
void CheckPathChars(std::string_view path);

// True when the path begins with "\" or "/", or its second character is ':'.
bool IsRootedPath(std::string_view path);

// Joins a and b: b when a is empty, a when b is empty, b unchanged when b is rooted, and
// otherwise a, a "/" unless a already ends in "\", "/" or ":", then b. Both parts are checked
// first; a character that paths may not contain raises EPathError.
std::string PathJoin(std::string_view a, std::string_view b);

// Every "\" and "/" becomes kPathSeparator.
std::string NormalizeSeparators(std::string_view path);

// The folder part of a path: everything before its last separator ("/" or "\"). The root
// keeps its separator ("/x" gives "/"); a name without a separator gives "".
std::string ExtractFileDir(std::string_view path);

// The last component of a path (after the last "/", "\" or ":").
std::string ExtractFileName(std::string_view path);

// Resolves `name` (a relative name from a server, archive or state file; "\" and "/" are both
// separators) below `root`. Refuses with EPathError a name that is empty, rooted (leading
// separator or drive form), or that has a ".." component, and drops "." components.
// The answer is root joined with the cleaned name, with kPathSeparator between its parts.
std::string JoinInside(std::string_view root, std::string_view name);

// True when one of the folders between `root` and the last name of `path` is a symbolic link
// on disk, so that working on `path` would reach outside `root`; also true when `path` does not
// lie below `root` at all. The last name itself may be a link (it is removed or replaced as a
// link, never followed). `path` is expected as JoinInside or PathJoin made it from `root`.
bool PassesThroughLink(std::string_view root, std::string_view path);

// What the file system holds at `path`, the last name not followed (paths_posix.cpp,
// paths_windows.cpp; on Windows a reparse point such as a junction counts as a link).
enum class TPathOnDisk { Missing, Link, Other };
TPathOnDisk ProbePathOnDisk(const std::string& path);

}  // namespace ombrel

#pragma once
// Storage: a small line-oriented text format made of named blocks.
//
//   :name value        header: ":" + name, then optionally one blank and a one-line value
//   content line       every line up to the next line that begins with ":"
//                      (one empty separator line ends each block as written)
//
// The storage works in place on a line list that its caller owns and keeps alive; it does no
// file input or output. A block is found by the first line that begins with ":" + the trimmed
// name (a case-sensitive prefix test on the raw line, so "app" also finds ":apple 1" when that
// comes first). Values and content lines are read trimmed; empty content lines are skipped.
// Callers keep names free of blanks, tabs and line breaks, and values and content lines free
// of line breaks; no content line may begin with ":". Nothing is checked or escaped.
// One storage over a list at a time, on one thread.

#include <memory>
#include <string>

#include "io/io_interface.h"

namespace ombrel {

class TStorage {
public:
    struct TBlock {
        std::string Name;   // as the caller passed it
        std::string Value;  // empty when the block has none
        TStrings Lines;     // the content lines
    };

    // Remembers the list; it must outlive the storage.
    explicit TStorage(TStrings& Lines);

    bool BlockExists(const std::string& Name) const;
    // False, leaving Block untouched, when no header is found. Otherwise Block receives a new
    // block owned by the caller: Name exactly as passed, the header's value and the trimmed,
    // non-empty content lines.
    bool GetBlock(const std::string& Name, std::unique_ptr<TBlock>& Block) const;
    bool GetBlock(const std::string& Name, TBlock& Block) const;
    // DefaultValue when the block is missing or its header has neither a blank nor a tab;
    // otherwise the header's value, which may be empty.
    std::string GetValue(const std::string& Name, const std::string& DefaultValue) const;
    // Sets the value; the content lines stay (as read: trimmed, empty ones dropped). Creates
    // the block at the end when missing; an existing block keeps its place.
    void SetValue(const std::string& Name, const std::string& Value);
    // Replaces the content lines by an exact copy of Lines; the value stays. Creates the block
    // (with an empty value) at the end when missing; an existing block keeps its place.
    void SetLines(const std::string& Name, const TStrings& Lines);

private:
    static std::string BlockKey(const std::string& Name);
    // Index is the header's position, or the number of lines when nothing was found.
    bool FindBlock(const std::string& Name, size_t& Index) const;
    void ReadBlock(const std::string& Name, size_t Index, TBlock& Block) const;
    void DeleteBlock(const std::string& Name);
    void WriteBlock(const TBlock& Block, size_t Index);
    // The block as read, removed from the list, with its header position in Index (the number
    // of lines when it is new; then it carries only the name).
    TBlock TakeBlock(const std::string& Name, size_t& Index);

    TStrings& Lines;
};

}  // namespace ombrel

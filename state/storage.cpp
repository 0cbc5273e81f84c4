#include "state/storage.h"

#include "io/text.h"

namespace ombrel {

namespace {

bool IsHeader(const std::string& line) { return !line.empty() && line[0] == ':'; }

// Everything after the first blank or tab of the header, trimmed; false when there is none.
bool HeaderValue(const std::string& header, std::string& value) {
    size_t pos = header.find_first_of(" \t");
    if (pos == std::string::npos) return false;
    value = Trim(std::string_view(header).substr(pos + 1));
    return true;
}

}  // namespace

TStorage::TStorage(TStrings& Lines) : Lines(Lines) {}

std::string TStorage::BlockKey(const std::string& Name) { return ":" + Trim(Name); }

bool TStorage::FindBlock(const std::string& Name, size_t& Index) const {
    const std::string key = BlockKey(Name);
    for (size_t i = 0; i < Lines.size(); ++i) {
        if (Lines[i].compare(0, key.size(), key) == 0) {
            Index = i;
            return true;
        }
    }
    Index = Lines.size();
    return false;
}

void TStorage::ReadBlock(const std::string& Name, size_t Index, TBlock& Block) const {
    Block.Name = Name;
    Block.Value.clear();
    HeaderValue(Lines[Index], Block.Value);
    Block.Lines.clear();
    for (size_t i = Index + 1; i < Lines.size() && !IsHeader(Lines[i]); ++i) {
        std::string line = Trim(Lines[i]);
        if (!line.empty()) Block.Lines.push_back(std::move(line));
    }
}

bool TStorage::BlockExists(const std::string& Name) const {
    size_t index;
    return FindBlock(Name, index);
}

bool TStorage::GetBlock(const std::string& Name, std::unique_ptr<TBlock>& Block) const {
    size_t index;
    if (!FindBlock(Name, index)) return false;
    auto block = std::make_unique<TBlock>();
    ReadBlock(Name, index, *block);
    Block = std::move(block);
    return true;
}

bool TStorage::GetBlock(const std::string& Name, TBlock& Block) const {
    size_t index;
    if (!FindBlock(Name, index)) return false;
    ReadBlock(Name, index, Block);
    return true;
}

std::string TStorage::GetValue(const std::string& Name, const std::string& DefaultValue) const {
    size_t index;
    std::string value;
    if (!FindBlock(Name, index) || !HeaderValue(Lines[index], value)) return DefaultValue;
    return value;
}

void TStorage::DeleteBlock(const std::string& Name) {
    size_t index;
    if (!FindBlock(Name, index)) return;
    size_t end = index + 1;
    while (end < Lines.size() && !IsHeader(Lines[end])) ++end;
    Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(index),
                Lines.begin() + static_cast<std::ptrdiff_t>(end));
}

void TStorage::WriteBlock(const TBlock& Block, size_t Index) {
    TStrings rendering;
    rendering.reserve(Block.Lines.size() + 2);
    rendering.push_back(Trim(BlockKey(Block.Name) + " " + Block.Value));
    rendering.insert(rendering.end(), Block.Lines.begin(), Block.Lines.end());
    rendering.emplace_back();
    auto at = Index < Lines.size() ? Lines.begin() + static_cast<std::ptrdiff_t>(Index)
                                   : Lines.end();
    Lines.insert(at, rendering.begin(), rendering.end());
}

void TStorage::SetValue(const std::string& Name, const std::string& Value) {
    size_t index;
    TBlock block = TakeBlock(Name, index);
    block.Value = Value;
    WriteBlock(block, index);
}

void TStorage::SetLines(const std::string& Name, const TStrings& content) {
    size_t index;
    TBlock block = TakeBlock(Name, index);
    block.Lines = content;
    WriteBlock(block, index);
}

TStorage::TBlock TStorage::TakeBlock(const std::string& Name, size_t& Index) {
    TBlock block;
    if (FindBlock(Name, Index)) {
        ReadBlock(Name, Index, block);
        DeleteBlock(Name);
    } else {
        block.Name = Name;
    }
    return block;
}

}  // namespace ombrel

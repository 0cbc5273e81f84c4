#pragma once
// MD5 digests of the files the store holds and of the content it compares.

#include <memory>
#include <string>
#include <string_view>

namespace ombrel::server {

// Incremental MD5 (RFC 1321). Hex answers 32 lowercase hexadecimal digits and ends the digest.
class TMd5 {
  public:
    TMd5();
    ~TMd5();
    TMd5(const TMd5&) = delete;
    TMd5& operator=(const TMd5&) = delete;

    void Update(const void* data, size_t size);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    std::string Hex();

  private:
    struct TState;
    std::unique_ptr<TState> state;
};

// MD5 of a whole file, read in blocks. False with the system's text in `error` when the file
// cannot be read.
bool Md5OfFile(const std::string& path, std::string& hex, std::string& error);

std::string Md5OfText(std::string_view text);

}  // namespace ombrel::server

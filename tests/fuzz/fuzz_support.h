#pragma once
// What the fuzz targets share: a sink that drops everything, the real file system service, and
// a private folder to put an input into a file.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "io/io_system.h"
#include "messages/messages.h"

namespace ombrel::fuzz {

class TSilentMessages : public IMessages {
  public:
    void Error(const std::string&, const std::string&) override {}
    void Warning(const std::string&, const std::string&) override {}
    void Log(const std::string&, const std::string&) override {}
    void Debug(const std::string&, const std::string&) override {}
    void Progress(const std::string&, int32_t) override {}
};

inline IMessagesPtr Sink() {
    static IMessagesPtr sink = std::make_shared<TSilentMessages>();
    return sink;
}

inline IOInterfacePtr Io() {
    static IOInterfacePtr io = std::make_shared<TIO>(Sink());
    return io;
}

// Writes the input as `name` in a folder of this process and answers its path.
inline std::string WriteInput(const uint8_t* data, size_t size, const std::string& name) {
    static const std::string folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/ombrel-fuzz-XXXXXX";
        char* made = ::mkdtemp(pattern.data());
        return std::string(made != nullptr ? made : "/tmp");
    }();
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

}  // namespace ombrel::fuzz

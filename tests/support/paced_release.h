#pragma once
// A release of one package that a server sends in pieces with a pause between them, for the
// tests of download progress: served in-process on Linux and by http_fixture_server for the
// Windows build.
//
//   GET /api/update/install/Demo   release 1.0 with package Data (id 7, file data.bin)
//   GET /api/package/download/7    kPacedPieces pieces of kPacedPiece bytes, 150 ms apart

#include <chrono>
#include <cstddef>
#include <string>

#include "tests/support/http_test_server.h"

namespace ombrel::testing {

inline constexpr size_t kPacedPiece = 256 * 1024;
inline constexpr int kPacedPieces = 8;

inline void ServePacedRelease(HttpTestServer& server) {
    server.Handle("GET", "/api/update/install/Demo", [](const auto&, auto& response) {
        response.set_content(R"({"version": "1.0", "packages": [
            {"id": 7, "name": "Data", "version": "1.0", "filename": "data.bin", "files": ["*"]}]})",
                             "application/json");
    });
    // Pieces 150 ms apart: every piece comes after the ten-a-second limit has passed.
    server.Handle("GET", "/api/package/download/7", [&server](const auto&, auto& response) {
        response.set_content_provider(
            kPacedPiece * kPacedPieces, "application/octet-stream",
            [&server](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset > 0 && !server.SleepUnlessStopped(std::chrono::milliseconds(150))) {
                    return false;
                }
                const std::string piece(kPacedPiece, 'x');
                return sink.write(piece.data(), piece.size());
            });
    });
}

}  // namespace ombrel::testing

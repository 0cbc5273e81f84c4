#pragma once
// The HTTP layer of the server client: runs one request at a time over the platform's HTTP
// library (libcurl on Linux, WinHTTP on Windows) and turns each of its failures into a text.
// Nothing outside this unit sees that library.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/io_interface.h"

namespace ombrel {

struct THttpSettings {
    // Longest wait for a connection to be set up (also for every redirect hop).
    int64_t connectMs = 10000;
    // Longest time without a single byte received or sent once connected. A slow but steady
    // transfer may take as long as it needs.
    int64_t readMs = 10000;
    // When not empty, server certificates are checked against the authorities in this PEM file
    // instead of the system's (for tests with a certificate of their own). Linux only: on
    // Windows certificates are always checked against the system's store.
    std::string caFile;
    // A transfer that moves fewer than minBytesPerSecond on average over a window of
    // minSpeedWindowMs fails, however regularly its bytes come; 0 turns the floor off.
    int64_t minBytesPerSecond = 1024;
    int64_t minSpeedWindowMs = 30000;
    // Largest body held in memory (text answers, bytes, the body of a failed file download).
    int64_t maxMemoryBody = int64_t{256} << 20;
    // Largest body written to a file when the answer announces no length. A body with a
    // length must fit into the free space of the file's disk before its first byte is written.
    int64_t maxFileBodyWithoutLength = int64_t{4} << 30;
};

struct THttpRequest {
    std::string method = "GET";  // "GET" or "POST"
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    // Sent like `headers`, but only to the origin (scheme, host and port) of `url`: a redirect
    // to another origin goes there without them.
    std::vector<std::string> credentialHeaders;
    std::string body;                  // sent only with "POST"
    // When not empty, the body of a 2xx answer is written to this file (created or truncated,
    // synced to disk before Perform returns) instead of THttpResponse::body. Other answers
    // still land in THttpResponse::body.
    std::string bodyFile;
    // When not empty, a folder that bodyFile lies below (the package cache): the folder itself is
    // reached by its path, but below it no link is followed, so a folder swapped for a link on
    // the way makes the download fail instead of writing elsewhere.
    std::string bodyFileRoot;
    // Called on the calling thread after each piece of a body written to bodyFile: the bytes
    // written so far and the size the server announced (-1 when it announced none). An
    // exception it raises aborts the transfer and leaves Perform.
    std::function<void(int64_t received, int64_t total)> onBodyProgress;
    // When > 0, bodyFile already holds this many bytes of the body and is kept: a 206 answer
    // whose Content-Range starts there is appended to them; any other 2xx answer replaces the
    // file's content; a 206 answer starting elsewhere fails. (The caller sends the Range.)
    uint64_t bodyFileOffset = 0;
    // When set, a 2xx body that would make bodyFile longer than this many bytes stops the
    // transfer at once with a failure.
    std::optional<uint64_t> bodyFileLimit;
    // Also compute the SHA-256 of what is written to bodyFile, as it is written (see
    // THttpResponse::bodyFileSha256).
    bool bodyFileSha256 = false;
};

struct THttpResponse {
    // The status of the final answer; 0 when no answer came.
    long status = 0;
    // The Content-Type header of the final answer; empty when none.
    std::string contentType;
    // The body as received (none when it went to THttpRequest::bodyFile).
    TBytes body;
    // The ETag header of the last answer whose headers arrived, as sent (quotes included); kept
    // also when the transfer failed afterwards, so that a cut download can be resumed.
    std::string etag;
    // With bodyFile: how many bytes the file holds afterwards, also after a failure.
    uint64_t bodyFileSize = 0;
    // The transfer stopped because the body would have passed bodyFileLimit.
    bool bodyFileFull = false;
    // With THttpRequest::bodyFileSha256, after a transfer that wrote the whole file from its
    // first byte: the SHA-256 of its content in lowercase hex. Empty otherwise (a resumed body,
    // a failure): the file is then to be read to know it.
    std::string bodyFileSha256;
    // Empty when the request ran. Otherwise the HTTP layer's text of what went wrong; a
    // request that did not run leaves status 0 and an empty body.
    std::string failure;
    // The failure is the body file's, not the connection's: it could not be created or
    // written. `failure` then names the file, its folder and the system's reason.
    bool fileFailed = false;
};

// Owns one handle of the HTTP library and reuses its connections across requests. Redirects are followed,
// at most five in a row, to HTTP and HTTPS only, never from HTTPS to plain HTTP, and a POST
// turns into a GET after 301, 302 and 303; certificates are verified. Not safe for concurrent use; one object per thread.
class THttpTransport {
  public:
    explicit THttpTransport(THttpSettings settings);
    ~THttpTransport();
    THttpTransport(const THttpTransport&) = delete;
    THttpTransport& operator=(const THttpTransport&) = delete;

    // Runs the request and answers true when it ran: an answer came completely and its status
    // is below 500. An answer with a status from 500 to 599 answers false with a failure text
    // but keeps its status and body. Anything else (no connection, time-out, a transfer below
    // the speed floor, a body shorter or longer than announced, a body beyond its cap, a
    // refused redirect, a file that cannot be written or does not fit on its disk) answers
    // false with status 0 and no body; what went to a file by then stays there.
    bool Perform(const THttpRequest& request, THttpResponse& response);

  private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

// Empty where THttpSettings::caFile is honoured; otherwise why a file of authorities cannot be
// used (the Windows build trusts the system's certificate store only).
std::string CaFileUnsupportedReason();

// The body as UTF-8 text, decoded by the charset that contentType names ("text/plain;
// charset=ISO-8859-1"); taken as UTF-8 when no charset is named or the charset is unknown.
// Bytes that do not fit the charset become U+FFFD.
std::string DecodeBodyText(const TBytes& body, const std::string& contentType);

}  // namespace ombrel

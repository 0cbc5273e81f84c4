#pragma once
// The HTTP side of ombrel-server: routes, API keys, downloads and the request log.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ombrel::server {

struct TServerOptions {
    std::string Store;  // the release store folder
    std::string Host = "127.0.0.1";
    int Port = 0;                      // 0: any free port
    std::vector<std::string> ApiKeys;  // accepted "X-API-Key" values; empty: the built-in key
    std::string DownloadBase;          // when set, downloads redirect to DownloadBase/<file>
    bool Quiet = false;                // no request log
    // Receives the request log and the server's own problems, one line each (no line end).
    // Default: standard error. Called from the serving threads, one call at a time.
    std::function<void(const std::string&)> LogLine;
};

// One server over one store. The store is read again whenever its index was replaced, so a
// publication shows up with the next request. Every request needs a valid "X-API-Key" (401
// otherwise); unknown projects, versions, packages and ids answer 404 with a short text;
// malformed bodies 400; a failure inside a handler 500. Nothing a client sends stops it.
class THttpService {
  public:
    explicit THttpService(TServerOptions options);
    ~THttpService();  // stops serving and waits for the serving thread
    THttpService(const THttpService&) = delete;
    THttpService& operator=(const THttpService&) = delete;

    // Binds the listening socket. False, with the reason, when the address is not usable.
    bool Bind(std::string& error);
    // The bound port (after Bind).
    int Port() const;
    // "http://HOST:PORT" of the bound socket.
    std::string BaseUrl() const;
    // Serves on the calling thread until Stop. Bind first.
    bool Serve();
    // Binds when not yet bound, serves on a thread of its own, and returns once connections
    // are being accepted.
    bool Start(std::string& error);
    // Stops serving; may be called from any thread, also from a signal-waiting thread.
    void Stop();

  private:
    struct TImpl;
    std::unique_ptr<TImpl> impl;
};

}  // namespace ombrel::server

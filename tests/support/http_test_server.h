#pragma once
// A recording HTTP server on 127.0.0.1 for tests (cpp-httplib underneath).
//
//     HttpTestServer server;                                  // listening once constructed
//     server.Handle("GET", "/api/ping/.*", [](const auto& req, auto& res) {
//         res.set_content("pong", "text/plain");
//     });
//     ... point the code under test at server.BaseUrl() ...
//     EXPECT_EQ(server.Requests().at(0).path, "/api/ping/secure");
//
// Every request is recorded before its handler runs, so a test sees it as soon as the client
// has its answer. A request that no handler matches is answered 404 with the body "not found".
// Handlers run on the server's threads; a handler that throws answers 500.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace ombrel::testing {

struct RecordedRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // decoded, without the query: "/api/update/install/my app"
    std::string target;  // as sent on the request line: "/api/update/install/my%20app?channel=b"
    std::string query;   // the raw text after "?" in target; empty when none
    httplib::Headers headers;  // names compare case-insensitively
    std::string body;

    // The value of the first header of that name; empty when there is none.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

class HttpTestServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Binds a free port on 127.0.0.1 and waits until the server accepts connections.
    HttpTestServer();
    // The same over HTTPS with the given certificate and key; the caller keeps its references.
    HttpTestServer(X509* certificate, EVP_PKEY* key);
    // Stops the server and waits for its threads; see SleepUnlessStopped for slow handlers.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int Port() const { return port; }
    // "http://127.0.0.1:<port>" ("https://" when serving HTTPS), without a trailing "/".
    std::string BaseUrl() const;

    // Answers requests of `method` whose decoded path matches `pathPattern` (std::regex, whole
    // path) with `handler`. Earlier registrations win. May be called while the server runs.
    void Handle(const std::string& method, const std::string& pathPattern, Handler handler);

    // Every request received so far, in order of arrival.
    std::vector<RecordedRequest> Requests() const;
    // The request last received; throws std::out_of_range when there is none.
    RecordedRequest LastRequest() const;
    void ClearRequests();

    // For handlers and content providers that stall on purpose: sleeps for `duration`, but
    // returns early (answering false) once the server is being stopped, so tests never wait
    // for a stalled handler to finish.
    bool SleepUnlessStopped(std::chrono::milliseconds duration) const;

  private:
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };

    void Start();
    void Dispatch(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server;
    bool https = false;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable stopped;
    bool stopping = false;
    std::vector<Route> routes;
    std::vector<RecordedRequest> requests;
};

// A port on 127.0.0.1 on which nothing listens (bound once by the system, then released).
int UnusedLoopbackPort();

}  // namespace ombrel::testing

// A native HTTP server on 127.0.0.1 for the transport tests of the Windows build, which run under
// Wine and cannot host a server of their own. Prints "<port>\n" once it accepts connections and
// serves until it receives SIGTERM or SIGINT.
//
//   /text                  200, a short text with a charset and an ETag
//   /echo                  (GET, POST) the method, the body and the X-Test and Authorization
//                          headers, one a line
//   /redirect/<n>          302 to /redirect/<n-1> (a relative Location); /redirect/0 answers 200
//   /see-other, /temporary (GET, POST) 303 and 307 to echo (relative Locations)
//   /elsewhere             302 to the same server under the name "localhost" (another origin)
//   /silent                no answer for 30 s
//   /stall                 headers, 10 of 1000 bytes, then nothing for 30 s
//   /trickle               without a length: 1 byte every 100 ms for 30 s
//   /cut                   announces 100 bytes, sends 10 and closes
//   /gone/...              announces 1000 bytes, sends the 4 that start a zip archive and closes
//                          (the file host of an ombrel-server that goes away mid-download)
//   /big/<n>, /unsized/<n> n bytes (byte i is i % 251), with and without a length
//   /resource              the 1000 bytes of /big/1000 with ETag "r1"; a Range "bytes=k-" is
//                          answered 206 from k
//   /shifted               206 "bytes 0-999/1000" whatever the Range asks for
//   /status/<n>            status n with the body "status <n>"
//   /api/update/install/Demo, /api/package/download/7
//                          a release whose package comes in pieces with pauses between
//                          them (tests/support/paced_release.h)

#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/http_test_server.h"
#include "tests/support/paced_release.h"

namespace {

using ombrel::testing::HttpTestServer;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The number that ends the request's path ("/big/42": 42).
size_t Number(const httplib::Request& req) {
    return std::stoul(req.path.substr(req.path.rfind('/') + 1));
}

void Serve(HttpTestServer& server) {
    const std::string other = "http://localhost:" + std::to_string(server.Port());
    server.Handle("GET", "/text", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"t1\"");
        res.set_content("hello, windows", "text/plain; charset=utf-8");
    });
    auto echo = [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.method + "\n" + req.body + "\n" + req.get_header_value("X-Test") +
                            "\n" + req.get_header_value("Authorization"),
                        "text/plain");
    };
    server.Handle("GET", "/echo", echo);
    server.Handle("POST", "/echo", echo);
    server.Handle("GET", "/redirect/([0-9]+)",
                  [](const httplib::Request& req, httplib::Response& res) {
                      const int left = static_cast<int>(Number(req));
                      if (left == 0) {
                          res.set_content("arrived", "text/plain");
                          return;
                      }
                      res.status = 302;
                      res.set_header("Location", std::to_string(left - 1));
                  });
    for (const char* method : {"GET", "POST"}) {
        server.Handle(method, "/see-other", [](const httplib::Request&, httplib::Response& res) {
            res.status = 303;
            res.set_header("Location", "echo");
        });
        server.Handle(method, "/temporary", [](const httplib::Request&, httplib::Response& res) {
            res.status = 307;
            res.set_header("Location", "/echo");
        });
    }
    server.Handle("GET", "/elsewhere", [other](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", other + "/echo");
    });
    server.Handle("GET", "/silent", [&server](const httplib::Request&, httplib::Response& res) {
        server.SleepUnlessStopped(std::chrono::seconds(30));
        res.set_content("late", "text/plain");
    });
    server.Handle("GET", "/stall", [&server](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/octet-stream",
                                 [&server](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) return sink.write("0123456789", 10);
                                     server.SleepUnlessStopped(std::chrono::seconds(30));
                                     return false;
                                 });
    });
    server.Handle("GET", "/trickle", [&server](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/octet-stream", [&server](size_t offset, httplib::DataSink& sink) {
                if (offset >= 300) {
                    sink.done();
                    return true;
                }
                if (!server.SleepUnlessStopped(std::chrono::milliseconds(100))) return false;
                return sink.write("x", 1);
            });
    });
    server.Handle("GET", "/cut", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(100, "application/octet-stream",
                                 [](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) return sink.write("0123456789", 10);
                                     return false;
                                 });
    });
    server.Handle("GET", "/gone/.*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/zip",
                                 [](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) return sink.write("PK\x03\x04", 4);
                                     return false;
                                 });
    });
    server.Handle("GET", "/big/([0-9]+)", [](const httplib::Request& req, httplib::Response& res) {
        auto body = std::make_shared<std::string>(Pattern(Number(req)));
        res.set_content_provider(body->size(), "application/octet-stream",
                                 [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset,
                                                       std::min<size_t>(length, 65536));
                                 });
    });
    server.Handle(
        "GET", "/unsized/([0-9]+)", [](const httplib::Request& req, httplib::Response& res) {
            auto body = std::make_shared<std::string>(Pattern(Number(req)));
            res.set_chunked_content_provider(
                "application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
                    if (offset >= body->size()) {
                        sink.done();
                        return true;
                    }
                    return sink.write(body->data() + offset,
                                      std::min<size_t>(body->size() - offset, 65536));
                });
        });
    server.Handle("GET", "/resource", [](const httplib::Request& req, httplib::Response& res) {
        const std::string body = Pattern(1000);
        const std::string range = req.get_header_value("Range");
        const_cast<httplib::Request&>(req).ranges.clear();
        res.set_header("ETag", "\"r1\"");
        size_t from = 0;
        if (range.rfind("bytes=", 0) == 0 && range.back() == '-') {
            from = std::stoul(range.substr(6));
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(from) + "-999/1000");
        }
        res.set_content(body.substr(from), "application/octet-stream");
    });
    server.Handle("GET", "/shifted", [](const httplib::Request& req, httplib::Response& res) {
        const_cast<httplib::Request&>(req).ranges.clear();
        res.status = 206;
        res.set_header("ETag", "\"r1\"");
        res.set_header("Content-Range", "bytes 0-999/1000");
        res.set_content(Pattern(1000), "application/octet-stream");
    });
    ombrel::testing::ServePacedRelease(server);
    server.Handle("GET", "/status/([0-9]+)",
                  [](const httplib::Request& req, httplib::Response& res) {
                      res.status = static_cast<int>(Number(req));
                      res.set_content("status " + std::to_string(Number(req)), "text/plain");
                  });
}

}  // namespace

int main() {
    // The signals are taken by sigwait below, not by any of the server's threads.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    HttpTestServer server;
    Serve(server);
    std::printf("%d\n", server.Port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}

#pragma once
// A server on 127.0.0.1 that answers with exactly the bytes a test writes, for answers that a
// well-behaved HTTP library never sends: a body longer than its Content-Length, a body without
// end, a trickle of one byte at a time.
//
//     RawHttpServer server([](RawHttpServer::Connection& c) {
//         c.Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcEXTRA");
//     });
//     ... point the client at server.BaseUrl() ...
//
// Each connection is handled on its own thread: the request head is read first, then the
// script runs; the connection is closed when the script returns. The destructor stops every
// script at its next Send or Sleep.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ombrel::testing {

class RawHttpServer {
  public:
    class Connection {
      public:
        // Writes all bytes; false once the peer closed the connection or the server stops.
        bool Send(const std::string& bytes);
        // Waits, returning false early when the server stops.
        bool Sleep(std::chrono::milliseconds duration);
        // The request line and headers as received (without the blank line).
        const std::string& RequestHead() const { return head; }

      private:
        friend class RawHttpServer;
        Connection(RawHttpServer& server, int fd) : server(server), fd(fd) {}
        RawHttpServer& server;
        int fd;
        std::string head;
    };
    using Script = std::function<void(Connection&)>;

    explicit RawHttpServer(Script script);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    std::string BaseUrl() const;
    // Connections accepted so far.
    int Connections() const { return accepted.load(); }

  private:
    void AcceptLoop();
    void Serve(int fd);

    Script script;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::thread acceptor;
    std::mutex mutex;
    std::vector<std::thread> workers;
    std::vector<int> open;
};

}  // namespace ombrel::testing

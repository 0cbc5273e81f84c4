#include "tools/ombrel-server/bounded_http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ombrel::server {
namespace {

constexpr size_t kKeepAliveMaxCount = 100;

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd waiting{fd, events, 0};
    int n;
    do {
        n = ::poll(&waiting, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

void AddressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                      sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) ==
        0) {
        ip = host;
        port = std::atoi(service);
    }
}

// A buffered socket stream that counts the bytes of each request head it hands out and fails
// once a head runs past the limit.
class TBoundedStream : public httplib::Stream {
  public:
    TBoundedStream(int fd, int readTimeoutMs, int writeTimeoutMs)
        : fd(fd), readTimeoutMs(readTimeoutMs), writeTimeoutMs(writeTimeoutMs) {}

    bool HasBuffered() const { return begin < end; }

    // A new request begins: its head is counted afresh.
    void StartRequest() {
        headBytes = 0;
        matched = 0;
        inHead = true;
    }

    bool is_readable() const override {
        return begin < end || WaitFor(fd, POLLIN, readTimeoutMs);
    }
    bool is_writable() const override { return WaitFor(fd, POLLOUT, writeTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (begin == end) {
            if (!WaitFor(fd, POLLIN, readTimeoutMs)) return -1;
            ssize_t got;
            do {
                got = ::recv(fd, buffer, sizeof buffer, 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) return got;
            begin = 0;
            end = static_cast<size_t>(got);
        }
        size_t n = std::min(size, end - begin);
        if (inHead && !CountHead(buffer + begin, n)) return -1;
        std::memcpy(ptr, buffer + begin, n);
        begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!WaitFor(fd, POLLOUT, writeTimeoutMs)) return -1;
        ssize_t sent;
        do {
            sent = ::send(fd, ptr, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            AddressOf(address, ip, port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            AddressOf(address, ip, port);
        }
    }
    socket_t socket() const override { return fd; }

  private:
    // Counts head bytes up to the blank line that ends the head.
    bool CountHead(const char* data, size_t size) {
        static const char kEnd[] = "\r\n\r\n";
        for (size_t i = 0; i < size; ++i) {
            if (++headBytes > TBoundedHttpServer::kMaxRequestHead) return false;
            matched = data[i] == kEnd[matched] ? matched + 1 : (data[i] == '\r' ? 1 : 0);
            if (matched == 4) {
                inHead = false;
                return true;
            }
        }
        return true;
    }

    int fd;
    int readTimeoutMs;
    int writeTimeoutMs;
    char buffer[4096];
    size_t begin = 0;
    size_t end = 0;
    size_t headBytes = 0;
    size_t matched = 0;
    bool inHead = true;
};

}  // namespace

bool TBoundedHttpServer::process_and_close_socket(socket_t sock) {
    const auto ms = [](time_t sec, time_t usec) { return static_cast<int>(sec * 1000 + usec / 1000); };
    TBoundedStream stream(sock, ms(read_timeout_sec_, read_timeout_usec_),
                          ms(write_timeout_sec_, write_timeout_usec_));
    const int keepAliveMs = ms(keep_alive_timeout_sec_, 0);
    bool ok = false;
    for (size_t count = kKeepAliveMaxCount; count > 0; --count) {
        // Between requests: wait for the next one, but not past the keep-alive time-out or
        // beyond the server's stop.
        if (count != kKeepAliveMaxCount && !stream.HasBuffered()) {
            bool readable = false;
            for (int waited = 0; waited < keepAliveMs && svr_sock_ != INVALID_SOCKET;
                 waited += 100) {
                if (WaitFor(sock, POLLIN, 100)) {
                    readable = true;
                    break;
                }
            }
            if (!readable) break;
        }
        if (svr_sock_ == INVALID_SOCKET) break;
        stream.StartRequest();
        bool closed = false;
        ok = process_request(stream, count == 1, closed, nullptr);
        if (!ok || closed) break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

}  // namespace ombrel::server

#include "tests/support/raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace ombrel::testing {

bool RawHttpServer::Connection::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (server.stopping) return false;
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawHttpServer::Connection::Sleep(std::chrono::milliseconds duration) {
    auto end = std::chrono::steady_clock::now() + duration;
    while (!server.stopping) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        auto step = std::min<std::chrono::steady_clock::duration>(end - now,
                                                                  std::chrono::milliseconds(20));
        std::this_thread::sleep_for(step);
    }
    return false;
}

RawHttpServer::RawHttpServer(Script script) : script(std::move(script)) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { AcceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
    stopping = true;
    ::shutdown(listener, SHUT_RDWR);
    acceptor.join();
    ::close(listener);
    {
        std::lock_guard lock(mutex);
        for (int fd : open) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers) worker.join();
}

std::string RawHttpServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port);
}

void RawHttpServer::AcceptLoop() {
    while (!stopping) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted;
        std::lock_guard lock(mutex);
        open.push_back(fd);
        workers.emplace_back([this, fd] { Serve(fd); });
    }
}

void RawHttpServer::Serve(int fd) {
    Connection connection(*this, fd);
    char buffer[4096];
    while (connection.head.find("\r\n\r\n") == std::string::npos && !stopping) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        connection.head.append(buffer, static_cast<size_t>(n));
    }
    size_t end = connection.head.find("\r\n\r\n");
    if (end != std::string::npos) {
        connection.head.resize(end);
        script(connection);
    }
    std::lock_guard lock(mutex);
    open.erase(std::remove(open.begin(), open.end(), fd), open.end());
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

}  // namespace ombrel::testing

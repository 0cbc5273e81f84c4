#include "tests/support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace ombrel::testing {

std::string RecordedRequest::Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::HasHeader(const std::string& name) const {
    return headers.find(name) != headers.end();
}

HttpTestServer::HttpTestServer() : server(std::make_unique<httplib::Server>()) {
    Start();
}

HttpTestServer::HttpTestServer(X509* certificate, EVP_PKEY* key)
    : server(std::make_unique<httplib::SSLServer>(certificate, key)), https(true) {
    if (!server->is_valid()) throw std::runtime_error("test server: certificate not accepted");
    Start();
}

void HttpTestServer::Start() {
    server->set_keep_alive_timeout(1);
    auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
        Dispatch(request, response);
    };
    server->Get(".*", dispatch);
    server->Post(".*", dispatch);
    server->Put(".*", dispatch);
    server->Delete(".*", dispatch);
    server->Patch(".*", dispatch);
    server->Options(".*", dispatch);

    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("test server: cannot bind 127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
    // stop() before the server runs would be lost and the destructor would hang.
    for (int i = 0; i < 5000 && !server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server->is_running()) {
        server->stop();
        thread.join();
        throw std::runtime_error("test server: did not start");
    }
}

HttpTestServer::~HttpTestServer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stopped.notify_all();
    server->stop();
    thread.join();
}

std::string HttpTestServer::BaseUrl() const {
    return (https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port);
}

void HttpTestServer::Handle(const std::string& method, const std::string& pathPattern,
                            Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    routes.push_back({method, std::regex(pathPattern), std::move(handler)});
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

RecordedRequest HttpTestServer::LastRequest() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (requests.empty()) throw std::out_of_range("test server: no request received");
    return requests.back();
}

void HttpTestServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    requests.clear();
}

bool HttpTestServer::SleepUnlessStopped(std::chrono::milliseconds duration) const {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopped.wait_for(lock, duration, [this] { return stopping; });
}

void HttpTestServer::Dispatch(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex);
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        recorded.target = request.target;
        size_t question = request.target.find('?');
        if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
        recorded.headers = request.headers;
        recorded.body = request.body;
        requests.push_back(std::move(recorded));
        for (const auto& route : routes) {
            if (route.method == request.method && std::regex_match(request.path, route.pattern)) {
                handler = route.handler;
                break;
            }
        }
    }
    if (handler) {
        handler(request, response);
    } else {
        response.status = 404;
        response.set_content("not found", "text/plain");
    }
}

int UnusedLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot bind a loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace ombrel::testing

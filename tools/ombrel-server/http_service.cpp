#include "tools/ombrel-server/http_service.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "ombrel/build_config.h"
#include "tools/ombrel-server/bounded_http_server.h"
#include "tools/ombrel-server/release_store.h"
#include "tools/ombrel-server/update_answers.h"

namespace ombrel::server {
namespace {

constexpr char kJsonType[] = "application/json; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";
// A hash list of 150,000 installed files fits.
constexpr size_t kMaxBody = 16u << 20;
constexpr size_t kGiveBackAbove = 1u << 20;
// Each open connection is served by one thread for as long as it stays open (kept alive for up
// to two seconds between requests, or until the read time-out for a client that says nothing),
// so the pool bounds how many clients are served at once; the threads' stacks cost address
// space, not memory.
constexpr size_t kWorkerThreads = 64;
// Connections waiting to be accepted. Below what a burst of clients brings, the kernel drops
// connection attempts and the clients wait for their retransmissions.
constexpr int kListenBacklog = SOMAXCONN;

bool SameKey(const std::string& a, const std::string& b) {
    // Constant time for keys of equal length, so the comparison tells nothing about the key.
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

void SetText(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, kTextType);
}

void Send(httplib::Response& res, const TAnswer& answer) {
    res.status = answer.Status;
    res.set_content(answer.Body, answer.IsJson ? kJsonType : kTextType);
}

// A package id as the URL gives it: decimal, positive, 32 bits.
bool ParseId(const std::string& text, int32_t& id) {
    if (text.empty() || text.size() > 10) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    return ec == std::errc() && end == text.data() + text.size() && id > 0 && text[0] != '0';
}

// The one range of a "Range: bytes=..." header that a download answers: "bytes=N-",
// "bytes=N-M" or "bytes=-N". Anything else (several ranges, other units, bad syntax) is no range
// and gets the whole file, as a server may always answer.
enum class TRange { None, Satisfiable, Unsatisfiable };
TRange ParseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& length) {
    constexpr std::string_view kPrefix = "bytes=";
    if (header.compare(0, kPrefix.size(), kPrefix) != 0) return TRange::None;
    std::string_view spec = std::string_view(header).substr(kPrefix.size());
    size_t dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos) {
        return TRange::None;
    }
    auto number = [](std::string_view text, uint64_t& value) {
        if (text.empty() || text.size() > 19) return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return ec == std::errc() && end == text.data() + text.size();
    };
    std::string_view from = spec.substr(0, dash), to = spec.substr(dash + 1);
    uint64_t a = 0, b = 0;
    if (from.empty()) {
        if (!number(to, b)) return TRange::None;
        if (b == 0 || size == 0) return TRange::Unsatisfiable;
        first = size - std::min(b, size);
        length = size - first;
        return TRange::Satisfiable;
    }
    if (!number(from, a)) return TRange::None;
    if (to.empty()) {
        b = size == 0 ? 0 : size - 1;
    } else if (!number(to, b) || b < a) {
        return TRange::None;
    }
    if (a >= size) return TRange::Unsatisfiable;
    first = a;
    length = std::min(b, size - 1) - a + 1;
    return TRange::Satisfiable;
}

struct TOpenFile {
    int fd = -1;
    ~TOpenFile() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

struct THttpService::TImpl {
    TServerOptions options;
    TStoreReader reader;
    TBoundedHttpServer server;
    std::thread thread;
    std::atomic<bool> finished{false};
    int port = -1;
    bool bound = false;
    std::mutex logMutex;
    std::string lastStoreError;
    int listenSocket = -1;

    explicit TImpl(TServerOptions o) : options(std::move(o)), reader(options.Store) {
        if (options.ApiKeys.empty()) options.ApiKeys.push_back(build::kApiKey);
        while (!options.DownloadBase.empty() && options.DownloadBase.back() == '/') {
            options.DownloadBase.pop_back();
        }
        Routes();
    }

    void Log(const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        if (options.LogLine) {
            options.LogLine(line);
        } else {
            std::cerr << line << '\n' << std::flush;
        }
    }

    std::shared_ptr<const TStoreIndex> Index() {
        std::string error;
        auto index = reader.Current(&error);
        std::lock_guard<std::mutex> lock(logMutex);
        if (error != lastStoreError) {
            lastStoreError = error;
            if (!error.empty()) {
                std::string line = "store: " + error + " (serving the last good index)";
                if (options.LogLine)
                    options.LogLine(line);
                else
                    std::cerr << line << '\n' << std::flush;
            }
        }
        return index;
    }

    static std::string Channel(const httplib::Request& req) {
        std::string channel = req.get_param_value("channel");
        return channel.empty() ? std::string(kDefaultChannel) : channel;
    }

    // Runs a handler; whatever it throws becomes a 500 instead of reaching the server loop.
    template <typename F>
    httplib::Server::Handler Guard(F f) {
        return [this, f](const httplib::Request& req, httplib::Response& res) {
            try {
                f(req, res);
            } catch (const std::exception& e) {
                Log(std::string("error: ") + req.method + " " + req.path + ": " + e.what());
                SetText(res, 500, "internal server error");
            } catch (...) {
                SetText(res, 500, "internal server error");
            }
            // A large request body is answered: what it took goes back to the system now,
            // not when some later request happens to reuse it. The body is no longer needed
            // (the request object is the server's own, handed over as const).
            if (req.body.size() > kGiveBackAbove) {
                std::string().swap(const_cast<std::string&>(req.body));
                ::malloc_trim(0);
            }
        };
    }

    void Download(const httplib::Request& req, httplib::Response& res, bool source) {
        int32_t id = 0;
        const std::string& text = req.matches[1];
        if (!ParseId(text, id)) return SetText(res, 404, "unknown package id: " + text);
        auto index = Index();
        const TStoredPackage* p = index->PackageById(id);
        if (p == nullptr) return SetText(res, 404, "unknown package id: " + text);
        const std::string& file = source ? p->SourceFile : p->StoredFile;
        if (file.empty()) return SetText(res, 404, "no source published for package id " + text);
        if (!options.DownloadBase.empty()) {
            res.set_redirect(options.DownloadBase + "/" + file, 302);
            return;
        }
        auto handle = std::make_shared<TOpenFile>();
        std::string path = FilesDir(reader.Store()) + "/" + file;
        handle->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (handle->fd < 0 || fstat(handle->fd, &st) != 0) {
            Log("error: package file " + path + " cannot be read");
            return SetText(res, 500, "package file of id " + text + " is missing from the store");
        }
        const std::string& digest = source ? p->SourceSha256 : p->Sha256;
        const std::string etag = digest.empty() ? "" : "\"" + digest + "\"";
        const auto size = static_cast<uint64_t>(st.st_size);
        uint64_t first = 0, length = size;
        TRange range = TRange::None;
        if (req.has_header("Range")) {
            // If-Range: the range only when the client's copy is this very file, else all of it.
            std::string ifRange = req.get_header_value("If-Range");
            if (!req.has_header("If-Range") || (!etag.empty() && ifRange == etag)) {
                range = ParseRange(req.get_header_value("Range"), size, first, length);
            }
        }
        // Ranges are answered here; the HTTP library must not cut the answer a second time.
        const_cast<httplib::Request&>(req).ranges.clear();
        if (!etag.empty()) res.set_header("ETag", etag);
        res.set_header("Accept-Ranges", "bytes");
        if (range == TRange::Unsatisfiable) {
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            return SetText(res, 416, "range not satisfiable");
        }
        if (range == TRange::Satisfiable) {
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(first + length - 1) + "/" +
                                                std::to_string(size));
        } else {
            res.status = 200;
        }
        res.set_header("Content-Disposition", "attachment; filename=\"" + file + "\"");
        // Streamed in blocks from the open file: a package of any size costs constant memory.
        res.set_content_provider(
            static_cast<size_t>(length), "application/octet-stream",
            [handle, first](size_t offset, size_t length, httplib::DataSink& sink) {
                char buffer[1 << 16];
                size_t want = std::min(length, sizeof buffer);
                ssize_t n = pread(handle->fd, buffer, want, static_cast<off_t>(first + offset));
                if (n <= 0) return false;  // shorter than announced: the connection is dropped
                return sink.write(buffer, static_cast<size_t>(n));
            });
    }

    void Routes() {
        server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        // Only SO_REUSEADDR (a restart need not wait for old connections to time out); httplib's
        // default also sets SO_REUSEPORT, which lets a second server bind the same port and take
        // every other connection from this one.
        server.set_socket_options([this](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            listenSocket = sock;
        });
        server.set_payload_max_length(kMaxBody);
        server.set_keep_alive_timeout(2);
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            std::string key = req.get_header_value("X-API-Key");
            for (const auto& valid : options.ApiKeys) {
                if (!key.empty() && SameKey(key, valid))
                    return httplib::Server::HandlerResponse::Unhandled;
            }
            SetText(res, 401, key.empty() ? "missing API key" : "invalid API key");
            return httplib::Server::HandlerResponse::Handled;
        });
        server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty() && res.status == 404) SetText(res, 404, "not found");
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
                SetText(res, 500, "internal server error");
            });
        if (!options.Quiet) {
            server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
                std::string target = req.target.empty() ? req.path : req.target;
                std::string size = res.content_length_ > 0 ? std::to_string(res.content_length_)
                                                           : std::to_string(res.body.size());
                Log(req.remote_addr + " \"" + req.method + " " + target + "\" " +
                    std::to_string(res.status) + " " + size);
            });
        }

        server.Get("/api/ping/secure", Guard([](const httplib::Request&, httplib::Response& res) {
                       res.set_content("{\"ping\": \"ok\"}", kJsonType);
                   }));
        server.Get(R"(/api/update/install/([^/]+))", Guard([this](const auto& req, auto& res) {
                       Send(res, InstallAnswer(*Index(), req.matches[1], "", Channel(req)));
                   }));
        server.Get(
            R"(/api/update/install/([^/]+)/([^/]+))", Guard([this](const auto& req, auto& res) {
                Send(res, InstallAnswer(*Index(), req.matches[1], req.matches[2], Channel(req)));
            }));
        server.Get(
            R"(/api/update/version/([^/]+)/([^/]+))", Guard([this](const auto& req, auto& res) {
                Send(res, UpdateAnswer(*Index(), req.matches[1], req.matches[2], Channel(req)));
            }));
        server.Post(
            R"(/api/update/force/([^/]+)/([^/]+))", Guard([this](const auto& req, auto& res) {
                Send(res,
                     ForceAnswer(*Index(), req.matches[1], req.matches[2], Channel(req), req.body));
            }));
        server.Post(R"(/api/update/repair/([^/]+)/([^/]+))",
                    Guard([this](const auto& req, auto& res) {
                        Send(res, RepairAnswer(*Index(), req.matches[1], req.matches[2],
                                               Channel(req), req.body));
                    }));
        server.Get(R"(/api/package/info/([^/]+))", Guard([this](const auto& req, auto& res) {
                       Send(res, PackageInfoAnswer(*Index(), req.matches[1]));
                   }));
        server.Get(R"(/api/package/info/([^/]+)/([^/]+))",
                   Guard([this](const auto& req, auto& res) {
                       Send(res, PackageInfoAnswer(*Index(), req.matches[1], req.matches[2]));
                   }));
        server.Get(R"(/api/package/download/source/([^/]+))",
                   Guard([this](const auto& req, auto& res) { Download(req, res, true); }));
        server.Get(R"(/api/package/download/([^/]+))",
                   Guard([this](const auto& req, auto& res) { Download(req, res, false); }));
    }
};

namespace {

// The library does not tell why a bind failed; a bind of our own finds the system's reason
// ("Address already in use").
std::string BindFailureReason(const TServerOptions& options) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.Port);
    if (getaddrinfo(options.Host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        return ": not a numeric address";
    }
    std::string reason;
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd >= 0) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) reason = std::strerror(errno);
        close(fd);
    } else {
        reason = std::strerror(errno);
    }
    freeaddrinfo(found);
    return reason.empty() ? "" : ": " + reason;
}

}  // namespace

THttpService::THttpService(TServerOptions options)
    : impl(std::make_unique<TImpl>(std::move(options))) {}

THttpService::~THttpService() {
    Stop();
    if (impl->thread.joinable()) impl->thread.join();
}

bool THttpService::Bind(std::string& error) {
    if (impl->bound) return true;
    if (impl->options.Port == 0) {
        impl->port = impl->server.bind_to_any_port(impl->options.Host);
    } else if (impl->server.bind_to_port(impl->options.Host, impl->options.Port)) {
        impl->port = impl->options.Port;
    } else {
        impl->port = -1;
    }
    if (impl->port <= 0) {
        error = "cannot listen on " + impl->options.Host + " port " +
                std::to_string(impl->options.Port) + BindFailureReason(impl->options);
        return false;
    }
    impl->bound = true;
    // httplib listens with a backlog of five; listening again on the bound socket raises it.
    if (impl->listenSocket >= 0) ::listen(impl->listenSocket, kListenBacklog);
    std::string storeError;
    impl->reader.Current(&storeError);
    if (!storeError.empty()) impl->Log("store: " + storeError);
    return true;
}

int THttpService::Port() const {
    return impl->port;
}

std::string THttpService::BaseUrl() const {
    const std::string& host = impl->options.Host;
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(impl->port);
}

bool THttpService::Serve() {
    if (!impl->bound) return false;
    return impl->server.listen_after_bind();
}

bool THttpService::Start(std::string& error) {
    if (!Bind(error)) return false;
    impl->finished = false;
    impl->thread = std::thread([this] {
        impl->server.listen_after_bind();
        impl->finished = true;
    });
    while (!impl->server.is_running()) {
        if (impl->finished) {
            impl->thread.join();
            error = "the server stopped at once";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void THttpService::Stop() {
    impl->server.stop();
}

}  // namespace ombrel::server

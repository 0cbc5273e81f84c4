#include "api/http_transport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include "io/owned_folders.h"
#include "io/text.h"
#include "platform/crypto.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 5;
// Large receive buffer: fewer callbacks and system calls per megabyte.
constexpr long kReceiveBufferSize = 512 * 1024;
// The announced length is reserved up front only up to this size; beyond it the buffer grows.
constexpr curl_off_t kMaxReserve = curl_off_t{1} << 30;
// When a 2xx body goes to a file, the body of any other answer is kept for the error text only.
constexpr size_t kMaxErrorBody = 1 << 20;
// A body without a length stops before it leaves less than this free on its disk; the free space
// is looked at whenever this much more has been written.
constexpr int64_t kDiskReserve = int64_t{64} << 20;
constexpr int64_t kDiskCheckInterval = int64_t{16} << 20;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

class CurlHandle {
  public:
    CurlHandle() : handle(curl_easy_init()) {}
    ~CurlHandle() {
        if (handle != nullptr) curl_easy_cleanup(handle);
    }
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    CurlHandle(CurlHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    CurlHandle& operator=(CurlHandle&& other) noexcept {
        std::swap(handle, other.handle);
        return *this;
    }

    CURL* get() const { return handle; }

  private:
    CURL* handle;
};

class CurlList {
  public:
    CurlList() = default;
    ~CurlList() { curl_slist_free_all(list); }
    CurlList(const CurlList&) = delete;
    CurlList& operator=(const CurlList&) = delete;
    CurlList(CurlList&& other) noexcept : list(std::exchange(other.list, nullptr)) {}
    CurlList& operator=(CurlList&& other) noexcept {
        std::swap(list, other.list);
        return *this;
    }

    bool Append(const std::string& line) {
        curl_slist* extended = curl_slist_append(list, line.c_str());
        if (extended == nullptr) return false;
        list = extended;
        return true;
    }
    curl_slist* get() const { return list; }

  private:
    curl_slist* list = nullptr;
};

// A file descriptor that is closed on destruction unless Finish closed it.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile() {
        if (fd >= 0) ::close(fd);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // With keep, the content stays until Restart says where the body goes.
    bool Open(const std::string& path, const std::string& root, bool keep, std::string& failure) {
        this->path = path;
        // A link planted at the name is not followed.
        const int flags = O_WRONLY | O_CREAT | (keep ? 0 : O_TRUNC) | O_CLOEXEC | O_NOFOLLOW;
        if (root.empty()) {
            fd = ::open(path.c_str(), flags, 0666);
        } else {
            // Below the root, every folder on the way is opened without following a link.
            TOwnedFolders owned;
            owned.Add(root);
            TDirFd parent;
            std::string name;
            std::error_code error = owned.Owns(path)
                                        ? owned.OpenParent(path, false, parent, name)
                                        : std::make_error_code(std::errc::permission_denied);
            if (!error && name.empty()) error = std::make_error_code(std::errc::is_a_directory);
            if (error) {
                failure = Failure(error.value());
                return false;
            }
            fd = ::openat(parent.Get(), name.c_str(), flags, 0666);
        }
        if (fd < 0) {
            failure = Failure(errno);
            return false;
        }
        if (!keep) StartDigest(0);
        return true;
    }
    bool IsOpen() const { return fd >= 0; }

    // Bytes that an unprivileged writer may still put on the file's disk; -1 when unknown.
    int64_t FreeBytes() const {
        struct statvfs info {};
        if (::fstatvfs(fd, &info) != 0) return -1;
        return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    }

    // The body goes on after the first `offset` bytes; anything beyond them is dropped.
    bool Restart(uint64_t offset, std::string& failure) {
        if (::ftruncate(fd, static_cast<off_t>(offset)) != 0 ||
            ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
            failure = ErrnoText(errno);
            return false;
        }
        StartDigest(offset);
        return true;
    }

    bool Write(const char* data, size_t length, std::string& failure) {
        if (digest) digest->Update(data, length);
        while (length > 0) {
            ssize_t written = ::write(fd, data, length);
            if (written < 0) {
                if (errno == EINTR) continue;
                failure = Failure(errno);
                return false;
            }
            data += written;
            length -= static_cast<size_t>(written);
        }
        return true;
    }

    // Syncs the file to disk and closes it.
    bool Finish(std::string& failure) {
        int error = 0;
        if (::fsync(fd) != 0) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
        fd = -1;
        if (error != 0) failure = Failure(error);
        return error == 0;
    }

    // The SHA-256 of what is written is computed along, when asked before Open.
    void ComputeSha256() { wantDigest = true; }
    // The SHA-256 of the content in lowercase hex, when every byte of it went through Write
    // since the file was started anew; empty otherwise.
    std::string Sha256Hex() {
        std::string bytes, error;
        if (!digest || !digest->Finish(bytes, error)) return {};
        digest.reset();
        return HexLower(bytes);
    }

  private:
    // Names the file, its folder and the system's reason.
    std::string Failure(int error) const {
        const size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0));
        return "could not write file " + name + " in folder " + folder + ": " + ErrnoText(error);
    }

    // Only a body written from the first byte on: a kept start was never seen here.
    void StartDigest(uint64_t offset) {
        digest.reset();
        if (wantDigest && offset == 0) digest = std::make_unique<TDigest>(TDigestAlgorithm::Sha256);
    }

    int fd = -1;
    std::string path;
    bool wantDigest = false;
    std::unique_ptr<TDigest> digest;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

bool IsFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What one Perform call shares with its callbacks.
struct Transfer {
    CURL* handle = nullptr;
    const THttpSettings* settings = nullptr;

    Clock::time_point lastActivity;
    bool connected = false;
    curl_off_t lastDownloaded = -1;
    curl_off_t lastUploaded = -1;

    // The speed floor: bytes moved in all when the current window began.
    Clock::time_point windowStart;
    curl_off_t windowBase = -1;  // -1: take the next progress report as the base

    // libcurl read more than the announced length and dropped the rest.
    bool excess = false;

    // A failure noticed by a callback: the code whose text names it, and the detail.
    CURLcode ownCode = CURLE_OK;
    std::string ownDetail;
    // The body file could not be written: ownDetail says so in full.
    bool fileFailed = false;

    // Set at the first body byte of each answer: whether this body goes to the file.
    bool decided = false;
    bool toFile = false;
    OutputFile* file = nullptr;
    const std::function<void(int64_t, int64_t)>* onBodyProgress = nullptr;
    int64_t fileBytes = 0;
    int64_t fileTotal = -1;
    std::exception_ptr pending;
    TBytes* body = nullptr;
    size_t bodyLimit = 0;
    int64_t received = 0;        // body bytes of the current answer
    int64_t receivedLimit = -1;  // -1: none
    int64_t nextDiskCheck = 0;

    // Resuming into the file: bytes already there, and the cap on its whole length.
    uint64_t fileOffset = 0;
    std::optional<uint64_t> fileLimit;
    uint64_t fileSize = 0;  // what the file holds now
    std::string contentRange;
    std::string* etag = nullptr;

    void Fail(CURLcode code, std::string detail) {
        ownCode = code;
        ownDetail = std::move(detail);
    }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    t.lastActivity = Clock::now();
    if (StartsWithNoCase(line, "HTTP/")) {
        // A new answer begins (after an interim or a redirect answer).
        t.decided = false;
        t.body->clear();
        t.received = 0;
        t.etag->clear();
        t.contentRange.clear();
    } else if (StartsWithNoCase(line, "etag:")) {
        *t.etag = Trim(line.substr(5));
    } else if (StartsWithNoCase(line, "content-range:")) {
        t.contentRange = Trim(line.substr(14));
    } else if (StartsWithNoCase(line, "location:")) {
        long status = 0;
        curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &status);
        const char* scheme = nullptr;
        curl_easy_getinfo(t.handle, CURLINFO_SCHEME, &scheme);
        std::string target = Trim(line.substr(9));
        if (IsFollowedRedirect(status) && scheme != nullptr && SameTextAscii(scheme, "https") &&
            StartsWithNoCase(target, "http:")) {
            t.Fail(CURLE_UNSUPPORTED_PROTOCOL,
                   "redirect from HTTPS to plain HTTP refused: " + target);
            return 0;
        }
    }
    return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t length = size * count;
    t.lastActivity = Clock::now();
    try {
        if (!t.decided) {
            t.decided = true;
            long status = 0;
            curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &status);
            t.toFile = t.file->IsOpen() && status >= 200 && status <= 299;
            t.bodyLimit = t.file->IsOpen() ? kMaxErrorBody : SIZE_MAX;
            if (t.toFile) {
                // A resumed body must continue exactly where the file ends.
                uint64_t start = 0;
                if (status == 206 && t.fileOffset > 0) {
                    const std::string expected = "bytes " + std::to_string(t.fileOffset) + "-";
                    if (!StartsWithNoCase(t.contentRange, expected)) {
                        t.Fail(CURLE_RANGE_ERROR,
                               "the answer continues at another place (Content-Range: " +
                                   t.contentRange + ")");
                        return 0;
                    }
                    start = t.fileOffset;
                }
                std::string failure;
                if (!t.file->Restart(start, failure)) {
                    t.Fail(CURLE_WRITE_ERROR, failure);
                    return 0;
                }
                t.fileSize = start;
            }
            curl_off_t announced = -1;
            curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
            t.fileBytes = 0;
            t.fileTotal = announced >= 0 ? static_cast<int64_t>(announced) : -1;
            if (!t.toFile) {
                t.receivedLimit = t.settings->maxMemoryBody;
                if (announced > t.receivedLimit) {
                    t.Fail(CURLE_FILESIZE_EXCEEDED,
                           "the answer announces " + std::to_string(announced) +
                               " bytes, more than the " + std::to_string(t.receivedLimit) +
                               " bytes kept in memory");
                    return 0;
                }
                if (announced > 0) {
                    auto reserve = std::min<curl_off_t>(announced, kMaxReserve);
                    t.body->reserve(std::min(static_cast<size_t>(reserve), t.bodyLimit));
                }
            } else if (announced >= 0) {
                // libcurl takes no more than the announced length, so the disk needs that much.
                t.receivedLimit = -1;
                int64_t free = t.file->FreeBytes();
                if (free >= 0 && announced > free) {
                    t.Fail(CURLE_WRITE_ERROR, "the answer announces " + std::to_string(announced) +
                                                  " bytes, but only " + std::to_string(free) +
                                                  " bytes are free on the disk");
                    return 0;
                }
            } else {
                t.receivedLimit = t.settings->maxFileBodyWithoutLength;
                t.nextDiskCheck = 0;
            }
        }
        t.received += static_cast<int64_t>(length);
        if (t.receivedLimit >= 0 && t.received > t.receivedLimit) {
            t.Fail(CURLE_FILESIZE_EXCEEDED, "the answer is longer than " +
                                                std::to_string(t.receivedLimit) + " bytes");
            return 0;
        }
        if (t.toFile && t.receivedLimit >= 0 && t.received >= t.nextDiskCheck) {
            t.nextDiskCheck = t.received + kDiskCheckInterval;
            int64_t free = t.file->FreeBytes();
            if (free >= 0 && free - static_cast<int64_t>(length) < kDiskReserve) {
                t.Fail(CURLE_WRITE_ERROR,
                       "the answer has no length and the disk is nearly full (" +
                           std::to_string(free) + " bytes free)");
                return 0;
            }
        }
        if (t.toFile) {
            if (t.fileLimit && t.fileSize + length > *t.fileLimit) {
                t.Fail(CURLE_FILESIZE_EXCEEDED,
                       "the body is longer than " + std::to_string(*t.fileLimit) + " bytes");
                return 0;
            }
            std::string failure;
            if (!t.file->Write(data, length, failure)) {
                t.Fail(CURLE_WRITE_ERROR, failure);
                t.fileFailed = true;
                return 0;
            }
            t.fileBytes += static_cast<int64_t>(length);
            if (t.onBodyProgress != nullptr && *t.onBodyProgress) {
                (*t.onBodyProgress)(t.fileBytes, t.fileTotal);
            }
            t.fileSize += length;
        } else if (t.body->size() < t.bodyLimit) {
            size_t keep = std::min(length, t.bodyLimit - t.body->size());
            t.body->insert(t.body->end(), reinterpret_cast<const uint8_t*>(data),
                           reinterpret_cast<const uint8_t*>(data) + keep);
        }
    } catch (const std::bad_alloc&) {
        t.Fail(CURLE_OUT_OF_MEMORY, "the answer does not fit into memory");
        return 0;
    } catch (...) {
        // Raised by the progress callback: carried past libcurl and raised again by Perform.
        t.pending = std::current_exception();
        t.Fail(CURLE_ABORTED_BY_CALLBACK, "");
        return 0;
    }
    return length;
}

// libcurl's low-speed limit averages over several seconds; this notes the time of the last
// byte moved and aborts when it is readMs old. It also holds the speed floor: every window of
// minSpeedWindowMs must move its share of bytes, so a trickle that never stalls still ends.
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& t = *static_cast<Transfer*>(user);
    auto now = Clock::now();
    const THttpSettings& settings = *t.settings;
    if (t.connected && settings.minBytesPerSecond > 0) {
        const curl_off_t moved = downloaded + uploaded;
        if (t.windowBase < 0) {
            t.windowBase = moved;
        } else if (now - t.windowStart >= std::chrono::milliseconds(settings.minSpeedWindowMs)) {
            const curl_off_t floor = settings.minBytesPerSecond * settings.minSpeedWindowMs / 1000;
            if (moved - t.windowBase < floor) {
                t.Fail(CURLE_OPERATION_TIMEDOUT,
                       "less than " + std::to_string(settings.minBytesPerSecond) +
                           " bytes per second for " + std::to_string(settings.minSpeedWindowMs) +
                           " milliseconds");
                return 1;
            }
            t.windowStart = now;
            t.windowBase = moved;
        }
    }
    if (downloaded != t.lastDownloaded || uploaded != t.lastUploaded) {
        t.lastDownloaded = downloaded;
        t.lastUploaded = uploaded;
        t.lastActivity = now;
        return 0;
    }
    // Before the first connection stands, the connect time-out is in charge.
    if (!t.connected) return 0;
    if (now - t.lastActivity >= std::chrono::milliseconds(settings.readMs)) {
        t.Fail(CURLE_OPERATION_TIMEDOUT,
               "no data received for " + std::to_string(settings.readMs) + " milliseconds");
        return 1;
    }
    return 0;
}

// Called once a connection stands (or is reused), before each request is sent.
int OnConnected(void* user, char*, char*, int, int) {
    auto& t = *static_cast<Transfer*>(user);
    t.connected = true;
    t.lastActivity = Clock::now();
    t.windowStart = t.lastActivity;
    t.windowBase = -1;
    return CURL_PREREQFUNC_OK;
}

// libcurl tells of a body longer than its Content-Length only in its informational text; it
// keeps the announced bytes and drops the rest.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_TEXT) return 0;
    auto& t = *static_cast<Transfer*>(user);
    if (std::string_view(data, size).starts_with("Excess found")) t.excess = true;
    return 0;
}

// Whether bytes or the end of the connection wait unread on a connection that should be idle.
bool IsReadable(curl_socket_t socket) {
    if (socket == CURL_SOCKET_BAD) return false;
    pollfd waiting{socket, POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
}

// Whether bytes (not merely the end) wait unread on a plain connection.
bool HasUnreadBytes(curl_socket_t socket) {
    if (socket == CURL_SOCKET_BAD) return false;
    char byte;
    return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// The proxy exceptions of the environment, plus the local machine, which is never reached
// through a proxy.
std::string NoProxyList() {
    const char* fromEnvironment = std::getenv("no_proxy");
    if (fromEnvironment == nullptr) fromEnvironment = std::getenv("NO_PROXY");
    std::string list = fromEnvironment != nullptr ? fromEnvironment : "";
    if (!list.empty()) list += ",";
    return list + "localhost,127.0.0.1,::1";
}

std::string FailureText(CURLcode code, const std::string& detail) {
    std::string text = curl_easy_strerror(code);
    std::string cleanDetail = Trim(detail);
    if (!cleanDetail.empty() && cleanDetail != text) text += " (" + cleanDetail + ")";
    return text;
}

// Scheme, host and port of a URL: where credentials may go.
struct TOrigin {
    bool valid = false;
    std::string scheme;
    std::string host;
    std::string port;
    bool operator==(const TOrigin& other) const {
        return valid && other.valid && scheme == other.scheme && host == other.host &&
               port == other.port;
    }
};

TOrigin OriginOf(const std::string& url) {
    TOrigin origin;
    CURLU* parsed = curl_url();
    if (parsed == nullptr) return origin;
    auto part = [parsed](CURLUPart which, unsigned flags, std::string& out) {
        char* text = nullptr;
        if (curl_url_get(parsed, which, &text, flags) != CURLUE_OK) return false;
        out = text;
        curl_free(text);
        return true;
    };
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        part(CURLUPART_SCHEME, 0, origin.scheme) && part(CURLUPART_HOST, 0, origin.host) &&
        part(CURLUPART_PORT, CURLU_DEFAULT_PORT, origin.port)) {
        origin.scheme = LowerAscii(origin.scheme);
        origin.host = LowerAscii(origin.host);
        origin.valid = true;
    }
    curl_url_cleanup(parsed);
    return origin;
}

// The charset parameter of a Content-Type value, without quotes; empty when none.
std::string CharsetOf(const std::string& contentType) {
    size_t pos = contentType.find(';');
    while (pos != std::string::npos) {
        size_t next = contentType.find(';', pos + 1);
        std::string parameter = contentType.substr(
            pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        size_t equals = parameter.find('=');
        if (equals != std::string::npos &&
            SameTextAscii(Trim(parameter.substr(0, equals)), "charset")) {
            std::string value = Trim(parameter.substr(equals + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            return Trim(value);
        }
        pos = next;
    }
    return "";
}

}  // namespace

class THttpTransport::Impl {
  public:
    explicit Impl(THttpSettings settings) : settings(std::move(settings)), noProxy(NoProxyList()) {}

    bool Perform(const THttpRequest& request, THttpResponse& response) {
        response = THttpResponse();
        if (handle.get() == nullptr) {
            response.failure = FailureText(CURLE_FAILED_INIT, "");
            return false;
        }
        OutputFile file;
        if (!request.bodyFile.empty()) {
            if (request.bodyFileSha256) file.ComputeSha256();
            std::string failure;
            if (!file.Open(request.bodyFile, request.bodyFileRoot, request.bodyFileOffset > 0,
                           failure)) {
                response.failure = failure;
                response.fileFailed = true;
                return false;
            }
        }

        // Redirects are followed here rather than by libcurl, so that each hop decides which
        // headers go with it: credentials only ever reach the origin of the first URL.
        const TOrigin origin = OriginOf(request.url);
        std::string url = request.url;
        std::string method = request.method;
        bool secure = false;
        for (long hop = 0;; ++hop) {
            secure = secure || StartsWithNoCase(url, "https:");
            const bool sameOrigin = origin.valid && OriginOf(url) == origin;
            std::string next;
            if (PerformOnce(request, url, method, sameOrigin, secure, file, response, next) !=
                CURLE_OK) {
                return false;
            }
            if (!IsFollowedRedirect(response.status) || next.empty()) break;
            if (hop == kMaxRedirects) {
                response = THttpResponse();
                response.failure = FailureText(
                    CURLE_TOO_MANY_REDIRECTS,
                    "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed");
                return false;
            }
            // As browsers do: 303 always, 301 and 302 for a POST, go on with a GET.
            if (response.status == 303 ||
                ((response.status == 301 || response.status == 302) && method == "POST")) {
                method = "GET";
            }
            url = std::move(next);
        }

        if (file.IsOpen()) {
            std::string failure;
            if (!file.Finish(failure)) {
                response = THttpResponse();
                response.failure = failure;
                response.fileFailed = true;
                return false;
            }
            if (response.status >= 200 && response.status <= 299) {
                response.bodyFileSha256 = file.Sha256Hex();
            }
        }
        if (response.status >= 500 && response.status <= 599) {
            response.failure =
                FailureText(CURLE_HTTP_RETURNED_ERROR,
                            "The requested URL returned error: " + std::to_string(response.status));
            return false;
        }
        return true;
    }

    // One request to `url`, without following a redirect: the answer's status and content type
    // go to `response`, a redirect's target to `next`. On failure `response` holds the failure
    // text, status 0 and no body.
    CURLcode PerformOnce(const THttpRequest& request, const std::string& url,
                         const std::string& method, bool withCredentials, bool secure,
                         OutputFile& file, THttpResponse& response, std::string& next) {
        // A server that went on sending after its last answer leaves bytes on the connection
        // that the next request would take for its answer: start afresh.
        if (IsReadable(idleSocket)) handle = CurlHandle();
        idleSocket = CURL_SOCKET_BAD;
        if (handle.get() == nullptr) {
            response = THttpResponse();
            response.failure = FailureText(CURLE_FAILED_INIT, "");
            return CURLE_FAILED_INIT;
        }
        CURL* curl = handle.get();
        curl_easy_reset(curl);
        Transfer transfer;
        transfer.handle = curl;
        transfer.settings = &settings;
        transfer.lastActivity = Clock::now();
        transfer.file = &file;
        transfer.onBodyProgress = &request.onBodyProgress;
        transfer.body = &response.body;
        transfer.fileOffset = request.bodyFileOffset;
        transfer.fileSize = request.bodyFileOffset;
        transfer.fileLimit = request.bodyFileLimit;
        transfer.etag = &response.etag;

        CurlList headers;
        bool listed = true;
        for (const auto& header : request.headers) listed = listed && headers.Append(header);
        if (withCredentials) {
            for (const auto& header : request.credentialHeaders) {
                listed = listed && headers.Append(header);
            }
        }
        const bool post = method == "POST";
        // Without this, libcurl holds back a larger body for up to a second waiting for
        // "100 Continue".
        if (post) listed = listed && headers.Append("Expect:");
        if (!listed) {
            response = THttpResponse();
            response.failure = FailureText(CURLE_OUT_OF_MEMORY, "");
            return CURLE_OUT_OF_MEMORY;
        }

        char errorBuffer[CURL_ERROR_SIZE] = {0};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.c_str());
        // Once a hop was HTTPS, the following ones must be too.
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectMs));
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        if (!settings.caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
        if (post) {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body.size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnConnected);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);

        CURLcode code = curl_easy_perform(curl);
        // The buffer lives on this stack frame; the handle outlives it.
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        if (transfer.pending) std::rethrow_exception(transfer.pending);

        if (code == CURLE_OK) {
            // Read before the handle may be replaced below.
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
            const char* contentType = nullptr;
            curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
            response.contentType = contentType != nullptr ? contentType : "";
            const char* redirect = nullptr;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect);
            if (redirect != nullptr) next = redirect;

            curl_socket_t socket = CURL_SOCKET_BAD;
            curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket);
            const char* scheme = nullptr;
            curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme);
            // Over TLS, unread bytes may be the server's closing or session records.
            const bool plain = scheme != nullptr && SameTextAscii(scheme, "http");
            // Answers without a body (204, 304) from sloppy servers may trail a few bytes: they
            // only cost the connection. An answer with a length must not run past it.
            const long status = response.status;
            const bool hasBody = status >= 200 && status != 204 && status != 304;
            const bool surplus = transfer.excess || (plain && HasUnreadBytes(socket));
            if (surplus && !hasBody) {
                handle = CurlHandle();
            } else if (surplus) {
                curl_off_t announced = -1;
                curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
                transfer.Fail(code = CURLE_WEIRD_SERVER_REPLY,
                              "the body is longer than its Content-Length of " +
                                  std::to_string(announced) + " bytes");
                handle = CurlHandle();
            } else {
                idleSocket = socket;
            }
        }
        if (code == CURLE_OK && file.IsOpen()) {
            std::string failure;
            // An empty 2xx body never reached OnBody; it still replaces a kept file's content.
            if (!transfer.decided && response.status >= 200 && response.status <= 299 &&
                transfer.fileOffset > 0) {
                if (file.Restart(0, failure)) {
                    transfer.fileSize = 0;
                } else {
                    transfer.Fail(code = CURLE_WRITE_ERROR, failure);
                }
            }
        }
        response.bodyFileSize = transfer.fileSize;
        response.bodyFileFull = transfer.ownCode == CURLE_FILESIZE_EXCEEDED;
        if (code != CURLE_OK) {
            // What reached the file, and the tag it came with, stay known: a cut download
            // continues from there.
            THttpResponse failed;
            failed.bodyFileSize = response.bodyFileSize;
            failed.bodyFileFull = response.bodyFileFull;
            failed.etag = std::move(response.etag);
            response = std::move(failed);
            response.fileFailed = transfer.fileFailed;
            response.failure = transfer.fileFailed ? transfer.ownDetail
                               : transfer.ownCode != CURLE_OK
                                   ? FailureText(transfer.ownCode, transfer.ownDetail)
                                   : FailureText(code, errorBuffer);
        }
        return code;
    }

  private:
    THttpSettings settings;
    std::string noProxy;
    CurlHandle handle;
    // The connection the last request left open for reuse.
    curl_socket_t idleSocket = CURL_SOCKET_BAD;
};

THttpTransport::THttpTransport(THttpSettings settings) {
    GlobalInit();
    impl = std::make_unique<Impl>(std::move(settings));
}

THttpTransport::~THttpTransport() = default;

bool THttpTransport::Perform(const THttpRequest& request, THttpResponse& response) {
    return impl->Perform(request, response);
}

std::string CaFileUnsupportedReason() {
    return "";
}

std::string DecodeBodyText(const TBytes& body, const std::string& contentType) {
    std::string raw(body.begin(), body.end());
    std::string charset = CharsetOf(contentType);
    // Malformed UTF-8 must not reach the rest of the system as text.
    if (charset.empty() || SameTextAscii(charset, "utf-8") || SameTextAscii(charset, "utf8")) {
        return DecodeText(raw, TTextEncoding::Utf8);
    }
    iconv_t converter = iconv_open("UTF-8", charset.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return DecodeText(raw, TTextEncoding::Utf8);

    std::string text;
    text.resize(raw.size() * 2 + 16);
    char* in = raw.data();
    size_t inLeft = raw.size();
    size_t used = 0;
    while (true) {
        char* out = text.data() + used;
        size_t outLeft = text.size() - used;
        size_t result = inLeft == 0 ? iconv(converter, nullptr, nullptr, &out, &outLeft)
                                    : iconv(converter, &in, &inLeft, &out, &outLeft);
        used = text.size() - outLeft;
        if (result != static_cast<size_t>(-1)) {
            if (inLeft == 0) break;
            continue;
        }
        if (errno == E2BIG) {
            text.resize(text.size() * 2);
        } else if (errno == EILSEQ) {
            text.replace(used, 0, "\xEF\xBF\xBD");
            used += 3;
            text.resize(std::max(text.size(), used + inLeft * 4 + 16));
            ++in;
            --inLeft;
        } else {  // EINVAL: the body ends inside a character
            text.replace(used, 0, "\xEF\xBF\xBD");
            used += 3;
            inLeft = 0;
        }
    }
    iconv_close(converter);
    text.resize(used);
    return text;
}

}  // namespace ombrel

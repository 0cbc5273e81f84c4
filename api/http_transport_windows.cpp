// windows.h first: winhttp.h needs its types.
// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "api/http_transport.h"
#include "io/atomic_file.h"
#include "io/owned_folders.h"
#include "io/text.h"
#include "platform/crypto.h"
#include "io/win32_files.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 5;
// Bytes taken from WinHTTP at a time; the buffer is the transport's own, so memory stays flat.
constexpr DWORD kReceiveBufferSize = 512 * 1024;
// The announced length is reserved up front only up to this size; beyond it the buffer grows.
constexpr int64_t kMaxReserve = int64_t{1} << 30;
// When a 2xx body goes to a file, the body of any other answer is kept for the error text only.
constexpr size_t kMaxErrorBody = 1 << 20;
// A body without a length stops before it leaves less than this free on its disk; the free space
// is looked at whenever this much more has been written.
constexpr int64_t kDiskReserve = int64_t{64} << 20;
constexpr int64_t kDiskCheckInterval = int64_t{16} << 20;

// The kinds of failure, worded as the Linux build words them, so that reports read the same.
constexpr char kTimedOut[] = "Timeout was reached";
constexpr char kCannotConnect[] = "Couldn't connect to server";
constexpr char kCannotResolve[] = "Couldn't resolve host name";
constexpr char kReceiveFailed[] = "Failure when receiving data from the peer";
constexpr char kSendFailed[] = "Failure when sending data to the peer";
constexpr char kWeirdReply[] = "Weird server reply";
constexpr char kTlsFailed[] = "SSL connect error";
constexpr char kBadCertificate[] = "SSL peer certificate or SSH remote key was not OK";
constexpr char kBadUrl[] = "URL using bad/illegal format or missing URL";
constexpr char kUnsupportedProtocol[] = "Unsupported protocol";
constexpr char kTooManyRedirects[] = "Number of redirects hit maximum amount";
constexpr char kPartialFile[] = "Transferred a partial file";
constexpr char kTooLarge[] = "Maximum file size exceeded";
constexpr char kWriteError[] = "Failed writing received data to disk/application";
constexpr char kRangeError[] = "Requested range was not delivered by the server";
constexpr char kOutOfMemory[] = "Out of memory";
constexpr char kServerError[] = "HTTP response code said error";
constexpr char kFailedInit[] = "Failed initialization";

std::string FailureText(const std::string& kind, const std::string& detail) {
    std::string text = kind;
    std::string cleanDetail = Trim(detail);
    if (!cleanDetail.empty() && cleanDetail != text) text += " (" + cleanDetail + ")";
    return text;
}

// WinHTTP's own error codes have their texts in winhttp.dll, not in the system's table.
std::string WinHttpErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleW(L"winhttp.dll"), code, 0,
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
        --length;
    }
    std::string text = length > 0 ? Narrow(std::wstring_view(buffer, length)) : std::string();
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) text = "WinHTTP error " + std::to_string(code);
    return text;
}

// The kind of a WinHTTP failure and the system's detail.
std::string WinHttpFailure(DWORD code, const std::string& what) {
    const char* kind = kReceiveFailed;
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:
            kind = kTimedOut;
            break;
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case WSAECONNREFUSED:
            kind = kCannotConnect;
            break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            kind = kCannotResolve;
            break;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case ERROR_WINHTTP_HEADER_NOT_FOUND:
            kind = kWeirdReply;
            break;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
            kind = kBadCertificate;
            break;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            kind = kTlsFailed;
            break;
        case ERROR_WINHTTP_INVALID_URL:
            kind = kBadUrl;
            break;
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            kind = kUnsupportedProtocol;
            break;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            kind = kOutOfMemory;
            break;
        default:
            break;
    }
    return FailureText(kind, what + WinHttpErrorText(code));
}

// Wine answers a receive time-out with the socket's own code.
bool IsTimeOut(DWORD error) {
    return error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT;
}

class TInternet {
  public:
    TInternet() = default;
    explicit TInternet(HINTERNET handle) : iHandle(handle) {}
    ~TInternet() {
        if (iHandle != nullptr) WinHttpCloseHandle(iHandle);
    }
    TInternet(const TInternet&) = delete;
    TInternet& operator=(const TInternet&) = delete;
    HINTERNET Get() const { return iHandle; }

  private:
    HINTERNET iHandle = nullptr;
};

class THandle {
  public:
    THandle() = default;
    explicit THandle(HANDLE handle) : iHandle(handle) {}
    ~THandle() { Close(); }
    THandle(THandle&& other) noexcept
        : iHandle(std::exchange(other.iHandle, INVALID_HANDLE_VALUE)) {}
    THandle& operator=(THandle&& other) noexcept {
        std::swap(iHandle, other.iHandle);
        return *this;
    }
    HANDLE Get() const { return iHandle; }
    bool Valid() const { return iHandle != INVALID_HANDLE_VALUE; }
    bool Close() {
        bool ok = true;
        if (Valid()) ok = CloseHandle(iHandle) != 0;
        iHandle = INVALID_HANDLE_VALUE;
        return ok;
    }

  private:
    HANDLE iHandle = INVALID_HANDLE_VALUE;
};

// The body file, opened without following a link at its name. Below bodyFileRoot every folder
// on the way is walked from the root's handle without following a link, so that a folder
// swapped for a link makes the download fail instead of writing elsewhere.
class OutputFile {
  public:
    bool Open(const std::string& path, const std::string& root, bool keep, std::string& failure) {
        this->path = path;
        folder = SplitPath(path).folder;
        if (folder.empty()) folder = ".";
        HANDLE opened = INVALID_HANDLE_VALUE;
        std::error_code error;
        if (root.empty()) {
            opened = CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
            if (opened == INVALID_HANDLE_VALUE) error = LastWin32Error();
        } else {
            TOwnedFolders owned;
            owned.Add(root);
            TDirFd parent;
            std::string name;
            error = owned.Owns(path) ? owned.OpenParent(path, false, parent, name)
                                     : std::make_error_code(std::errc::permission_denied);
            if (!error && name.empty()) error = std::make_error_code(std::errc::is_a_directory);
            if (!error) {
                error = OpenAt(FdHandle(parent.Get()), name, GENERIC_WRITE, FILE_OPEN_IF,
                               FILE_NON_DIRECTORY_FILE, opened, FILE_SHARE_READ);
            }
        }
        if (error) {
            failure = Failure(error);
            return false;
        }
        handle = THandle(opened);
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
            error = LastWin32Error();
        } else if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link planted at the name is not followed.
            error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
        } else if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            error = std::make_error_code(std::errc::is_a_directory);
        }
        if (error) {
            failure = Failure(error);
            handle.Close();
            return false;
        }
        if (!keep && !Restart(0, failure)) {
            handle.Close();
            return false;
        }
        return true;
    }
    bool IsOpen() const { return handle.Valid(); }

    // Bytes that the user may still put on the file's disk; -1 when unknown.
    int64_t FreeBytes() const {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(Win32Path(folder).c_str(), &available, nullptr, nullptr)) {
            return -1;
        }
        return static_cast<int64_t>(available.QuadPart);
    }

    // The body goes on after the first `offset` bytes; anything beyond them is dropped.
    bool Restart(uint64_t offset, std::string& failure) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(handle.Get(), at, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(handle.Get())) {
            failure = LastWin32Error().message();
            return false;
        }
        StartDigest(offset);
        return true;
    }

    bool Write(const char* data, size_t length, std::string& failure) {
        if (digest) digest->Update(data, length);
        while (length > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(handle.Get(), data, chunk, &written, nullptr)) {
                failure = Failure(LastWin32Error());
                return false;
            }
            data += written;
            length -= written;
        }
        return true;
    }

    // Flushes the file to disk and closes it.
    bool Finish(std::string& failure) {
        std::error_code error;
        if (!FlushFileBuffers(handle.Get())) error = LastWin32Error();
        if (!handle.Close() && !error) error = LastWin32Error();
        if (error) failure = Failure(error);
        return !error;
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
    std::string Failure(const std::error_code& error) const {
        return "could not write file " + SplitPath(path).name + " in folder " + folder + ": " +
               error.message();
    }

    // Only a body written from the first byte on: a kept start was never seen here.
    void StartDigest(uint64_t offset) {
        digest.reset();
        if (wantDigest && offset == 0) digest = std::make_unique<TDigest>(TDigestAlgorithm::Sha256);
    }

    THandle handle;
    std::string path;
    std::string folder;
    bool wantDigest = false;
    std::unique_ptr<TDigest> digest;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

bool IsFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The parts of an absolute http or https URL.
struct TUrl {
    bool valid = false;
    bool https = false;
    std::string scheme;  // lowercase
    std::string host;    // lowercase; IPv6 without brackets
    INTERNET_PORT port = 0;
    std::string path;  // path and query as sent, "/" when empty
};

TUrl ParseUrl(const std::string& url) {
    TUrl parsed;
    const size_t colon = url.find("://");
    if (colon == std::string::npos) return parsed;
    parsed.scheme = LowerAscii(url.substr(0, colon));
    const size_t authorityStart = colon + 3;
    size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return parsed;
        parsed.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return parsed;
            port = authority.substr(close + 2);
        }
    } else {
        const size_t portColon = authority.rfind(':');
        parsed.host = authority.substr(0, portColon);
        if (portColon != std::string::npos) port = authority.substr(portColon + 1);
    }
    parsed.host = LowerAscii(parsed.host);
    if (parsed.host.empty()) return parsed;
    parsed.https = parsed.scheme == "https";
    unsigned long number = parsed.https ? 443 : 80;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
            return parsed;
        }
        number = std::stoul(port);
        if (number == 0 || number > 65535) return parsed;
    }
    parsed.port = static_cast<INTERNET_PORT>(number);
    size_t fragment = url.find('#', authorityEnd);
    parsed.path = url.substr(
        authorityEnd, fragment == std::string::npos ? std::string::npos : fragment - authorityEnd);
    if (parsed.path.empty() || parsed.path[0] == '?') parsed.path = "/" + parsed.path;
    parsed.valid = true;
    return parsed;
}

// A redirect's Location resolved against the URL it came from.
std::string ResolveLocation(const std::string& base, const std::string& location) {
    const size_t schemeEnd = location.find(':');
    const size_t firstSpecial = location.find_first_of("/?#");
    if (schemeEnd != std::string::npos &&
        (firstSpecial == std::string::npos || schemeEnd < firstSpecial)) {
        return location;  // absolute
    }
    const size_t colon = base.find("://");
    if (colon == std::string::npos) return location;
    if (location.starts_with("//")) return base.substr(0, colon + 1) + location;
    size_t authorityEnd = base.find_first_of("/?#", colon + 3);
    if (authorityEnd == std::string::npos) authorityEnd = base.size();
    const std::string origin = base.substr(0, authorityEnd);
    if (location.starts_with("/")) return origin + location;
    std::string path = base.substr(authorityEnd);
    path = path.substr(0, path.find_first_of("?#"));
    if (location.starts_with("?")) return origin + (path.empty() ? "/" : path) + location;
    const size_t lastSlash = path.rfind('/');
    const std::string directory =
        lastSlash == std::string::npos ? "/" : path.substr(0, lastSlash + 1);
    return origin + directory + location;
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// A header of the answer as text; empty when it has none.
std::string QueryHeader(HINTERNET request, DWORD which) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return "";
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return "";
    }
    value.resize(size / sizeof(wchar_t));
    return Narrow(value);
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

// UTF-16 bytes (big- or little-endian) to UTF-8; a byte left over becomes U+FFFD.
std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::wstring wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        wide.push_back(static_cast<wchar_t>(bigEndian ? first << 8 | second : second << 8 | first));
    }
    std::string text = Narrow(wide);
    if (bytes.size() % 2 != 0) text += "\xEF\xBF\xBD";
    return text;
}

// The Windows code page of a charset name; 0 when it has none.
UINT CodePageOf(const std::string& charset) {
    const std::string name = LowerAscii(charset);
    static const struct {
        const char* name;
        UINT codePage;
    } kNames[] = {
        {"latin1", 28591}, {"l1", 28591},     {"us-ascii", 20127}, {"ascii", 20127},
        {"cp1252", 1252},  {"koi8-r", 20866}, {"koi8-u", 21866},   {"shift_jis", 932},
        {"euc-jp", 20932}, {"gb2312", 936},   {"gbk", 936},        {"big5", 950},
        {"euc-kr", 949},   {"cp850", 850},    {"ibm850", 850},     {"cp437", 437},
    };
    for (const auto& entry : kNames) {
        if (name == entry.name) return entry.codePage;
    }
    auto numberAfter = [&name](std::string_view prefix) -> UINT {
        if (!name.starts_with(prefix) || name.size() == prefix.size() ||
            name.size() > prefix.size() + 4 ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
            return 0;
        }
        return static_cast<UINT>(std::stoul(name.substr(prefix.size())));
    };
    if (UINT n = numberAfter("iso-8859-"); n >= 1 && n <= 15 && n != 12) return 28590 + n;
    if (UINT n = numberAfter("iso8859-"); n >= 1 && n <= 15 && n != 12) return 28590 + n;
    if (UINT n = numberAfter("windows-"); n >= 1250 && n <= 1258) return n;
    return 0;
}

// Bytes in the code page `codePage` to UTF-8; what has no character becomes U+FFFD.
std::string DecodeCodePage(std::string_view bytes, UINT codePage) {
    std::wstring wide;
    if (codePage >= 1250 && codePage <= 1258) {
        // The bytes that these code pages leave undefined come through as C1 control
        // characters.
        for (char c : bytes) {
            wchar_t out = 0;
            if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &c, 1, &out, 1) != 1 ||
                (out >= 0x80 && out <= 0x9F)) {
                out = 0xFFFD;
            }
            wide.push_back(out);
        }
        return Narrow(wide);
    }
    const int length =
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return DecodeText(bytes, TTextEncoding::Utf8);
    wide.resize(static_cast<size_t>(length));
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                        length);
    return Narrow(wide);
}

// The automatic proxy of the user's settings (a configuration script or discovery), or a named
// one, for one URL; the local machine is never reached through a proxy.
class TProxyChooser {
  public:
    TProxyChooser() {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
        if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
            autoDetect = config.fAutoDetect != FALSE;
            if (config.lpszAutoConfigUrl != nullptr) autoConfigUrl = config.lpszAutoConfigUrl;
            if (config.lpszProxy != nullptr) proxy = config.lpszProxy;
            if (config.lpszProxyBypass != nullptr) bypass = config.lpszProxyBypass;
            if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
            if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
            if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
        }
    }

    // Sets the proxy of `request`. Without any of the user's settings, the session's default
    // (the machine's WinHTTP proxy) stays.
    void Apply(HINTERNET session, HINTERNET request, const std::string& url,
               const std::string& host) {
        if (IsLoopback(host)) {
            WINHTTP_PROXY_INFO direct{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
            WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &direct, sizeof direct);
            return;
        }
        if (autoDetect || !autoConfigUrl.empty()) {
            WINHTTP_AUTOPROXY_OPTIONS options{};
            if (!autoConfigUrl.empty()) {
                options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
                options.lpszAutoConfigUrl = autoConfigUrl.c_str();
            }
            if (autoDetect) {
                options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
                options.dwAutoDetectFlags =
                    WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
            }
            options.fAutoLogonIfChallenged = TRUE;
            WINHTTP_PROXY_INFO info{};
            if (WinHttpGetProxyForUrl(session, Widen(url).c_str(), &options, &info)) {
                WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
                if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
                if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
                return;
            }
            // No script found or it failed: the named proxy, if any, as browsers do.
        }
        if (!proxy.empty()) {
            WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(),
                                    bypass.empty() ? nullptr : bypass.data()};
            WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
        }
    }

  private:
    bool autoDetect = false;
    std::wstring autoConfigUrl;
    std::wstring proxy;
    std::wstring bypass;
};

// What one answer's body does while it is read.
struct TBodyState {
    bool toFile = false;
    size_t bodyLimit = SIZE_MAX;
    int64_t announced = -1;
    int64_t received = 0;
    int64_t receivedLimit = -1;  // -1: none
    int64_t nextDiskCheck = 0;
    uint64_t fileSize = 0;
};

}  // namespace

class THttpTransport::Impl {
  public:
    explicit Impl(THttpSettings settings)
        : settings(std::move(settings)),
          session(WinHttpOpen(L"ombrel", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0)) {
        if (session.Get() == nullptr) return;
        const int connect = static_cast<int>(this->settings.connectMs);
        const int read = static_cast<int>(this->settings.readMs);
        WinHttpSetTimeouts(session.Get(), connect, connect, read, read);
        // TLS 1.2 and later, also where the system's default still offers older versions.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
#ifdef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
        protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif
        if (!WinHttpSetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            WinHttpSetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols);
        }
        buffer.resize(kReceiveBufferSize);
    }

    bool Perform(const THttpRequest& request, THttpResponse& response) {
        response = THttpResponse();
        if (session.Get() == nullptr) {
            response.failure = FailureText(kFailedInit, "");
            return false;
        }
        if (!settings.caFile.empty()) {
            response.failure =
                FailureText(kFailedInit, "a certificate file is " + CaFileUnsupportedReason());
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

        // Redirects are followed here, so that each hop decides which headers go with it:
        // credentials only ever reach the origin of the first URL.
        const TUrl origin = ParseUrl(request.url);
        std::string url = request.url;
        std::string method = request.method;
        bool secure = false;
        for (long hop = 0;; ++hop) {
            const TUrl target = ParseUrl(url);
            if (hop > 0 && secure && target.scheme == "http") {
                response = THttpResponse();
                response.failure = FailureText(kUnsupportedProtocol,
                                               "redirect from HTTPS to plain HTTP refused: " + url);
                return false;
            }
            secure = secure || target.https;
            const bool sameOrigin = origin.valid && target.valid &&
                                    origin.scheme == target.scheme && origin.host == target.host &&
                                    origin.port == target.port;
            std::string next;
            if (!PerformOnce(request, url, target, method, sameOrigin, file, response, next)) {
                return false;
            }
            if (!IsFollowedRedirect(response.status) || next.empty()) break;
            if (hop == kMaxRedirects) {
                response = THttpResponse();
                response.failure =
                    FailureText(kTooManyRedirects, "Maximum (" + std::to_string(kMaxRedirects) +
                                                       ") redirects followed");
                return false;
            }
            // As browsers do: 303 always, 301 and 302 for a POST, go on with a GET.
            if (response.status == 303 ||
                ((response.status == 301 || response.status == 302) && method == "POST")) {
                method = "GET";
            }
            url = ResolveLocation(url, next);
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
            response.failure = FailureText(kServerError, "The requested URL returned error: " +
                                                             std::to_string(response.status));
            return false;
        }
        return true;
    }

  private:
    // One request to `url`, without following a redirect: the answer's status and content type
    // go to `response`, a redirect's target to `next`. On failure `response` holds the failure
    // text, status 0 and no body (the body file's size and the tag stay known).
    bool PerformOnce(const THttpRequest& request, const std::string& url, const TUrl& target,
                     const std::string& method, bool withCredentials, OutputFile& file,
                     THttpResponse& response, std::string& next) {
        response.body.clear();
        response.etag.clear();
        response.status = 0;
        response.contentType.clear();
        TBodyState state;
        state.fileSize = request.bodyFileOffset;
        std::string failure;
        bool fileFailed = false;
        bool full = false;
        const bool ok = Exchange(request, url, target, method, withCredentials, file, response,
                                 next, state, failure, fileFailed, full);
        response.bodyFileSize = file.IsOpen() ? state.fileSize : 0;
        response.bodyFileFull = full;
        if (!ok) {
            THttpResponse failed;
            failed.bodyFileSize = response.bodyFileSize;
            failed.bodyFileFull = full;
            failed.etag = std::move(response.etag);
            failed.fileFailed = fileFailed;
            failed.failure = std::move(failure);
            response = std::move(failed);
        }
        return ok;
    }

    bool Exchange(const THttpRequest& request, const std::string& url, const TUrl& target,
                  const std::string& method, bool withCredentials, OutputFile& file,
                  THttpResponse& response, std::string& next, TBodyState& state,
                  std::string& failure, bool& fileFailed, bool& full) {
        if (!target.valid) {
            failure = FailureText(kBadUrl, url);
            return false;
        }
        if (target.scheme != "http" && target.scheme != "https") {
            failure = FailureText(kUnsupportedProtocol,
                                  "Protocol \"" + target.scheme + "\" not supported");
            return false;
        }
        TInternet connection(
            WinHttpConnect(session.Get(), Widen(target.host).c_str(), target.port, 0));
        if (connection.Get() == nullptr) {
            failure = WinHttpFailure(GetLastError(), "");
            return false;
        }
        const std::wstring verb = Widen(method);
        TInternet handle(WinHttpOpenRequest(
            connection.Get(), verb.c_str(), Widen(target.path).c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES,
            (target.https ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_ESCAPE_DISABLE |
                WINHTTP_FLAG_ESCAPE_DISABLE_QUERY));
        if (handle.Get() == nullptr) {
            failure = WinHttpFailure(GetLastError(), "");
            return false;
        }
        HINTERNET h = handle.Get();
        // Redirects are ours to follow; no cookies are kept and no Windows logon is offered.
        DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
        WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
        DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
        WinHttpSetOption(h, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);
        // The wait for the answer's headers is a wait for data like any other.
        DWORD responseTimeout = static_cast<DWORD>(settings.readMs);
        WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                         sizeof responseTimeout);
        proxies.Apply(session.Get(), h, url, target.host);

        std::string headers;
        for (const auto& header : request.headers) headers += header + "\r\n";
        if (withCredentials) {
            for (const auto& header : request.credentialHeaders) headers += header + "\r\n";
        }
        const std::wstring wideHeaders = Widen(headers);
        const bool post = method == "POST";
        const DWORD bodySize = post ? static_cast<DWORD>(request.body.size()) : 0;
        void* body = post && bodySize > 0 ? const_cast<char*>(request.body.data()) : nullptr;
        if (!WinHttpSendRequest(
                h, wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
                static_cast<DWORD>(wideHeaders.size()), body, bodySize, bodySize, 0) ||
            !WinHttpReceiveResponse(h, nullptr)) {
            const DWORD error = GetLastError();
            failure =
                IsTimeOut(error)
                    ? FailureText(kTimedOut, "no data received for " +
                                                 std::to_string(settings.readMs) + " milliseconds")
                    : WinHttpFailure(error, "");
            return false;
        }

        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            failure = WinHttpFailure(GetLastError(), "");
            return false;
        }
        response.etag = QueryHeader(h, WINHTTP_QUERY_ETAG);
        const std::string contentRange = QueryHeader(h, WINHTTP_QUERY_CONTENT_RANGE);
        const std::string length = QueryHeader(h, WINHTTP_QUERY_CONTENT_LENGTH);
        const bool chunked =
            SameTextAscii(Trim(QueryHeader(h, WINHTTP_QUERY_TRANSFER_ENCODING)), "chunked");
        if (!length.empty() && !chunked) {
            const std::string digits = Trim(length);
            if (digits.empty() || digits.size() > 18 ||
                digits.find_first_not_of("0123456789") != std::string::npos) {
                failure = FailureText(kWeirdReply, "invalid Content-Length: " + length);
                return false;
            }
            state.announced = std::stoll(digits);
        }
        if (IsFollowedRedirect(static_cast<long>(status))) {
            next = Trim(QueryHeader(h, WINHTTP_QUERY_LOCATION));
        }
        const bool hasBody = method != "HEAD" && status != 204 && status != 304;

        // Where the body goes, decided once the headers are in.
        state.toFile = file.IsOpen() && status >= 200 && status <= 299;
        state.bodyLimit = file.IsOpen() ? kMaxErrorBody : SIZE_MAX;
        if (state.toFile) {
            // A resumed body must continue exactly where the file ends.
            uint64_t start = 0;
            if (status == 206 && request.bodyFileOffset > 0) {
                const std::string expected =
                    "bytes " + std::to_string(request.bodyFileOffset) + "-";
                if (!StartsWithNoCase(contentRange, expected)) {
                    failure = FailureText(kRangeError,
                                          "the answer continues at another place (Content-Range: " +
                                              contentRange + ")");
                    return false;
                }
                start = request.bodyFileOffset;
            }
            if (!file.Restart(start, failure)) {
                failure = FailureText(kWriteError, failure);
                return false;
            }
            state.fileSize = start;
        }
        if (!state.toFile) {
            state.receivedLimit = settings.maxMemoryBody;
            if (state.announced > state.receivedLimit) {
                failure = FailureText(
                    kTooLarge, "the answer announces " + std::to_string(state.announced) +
                                   " bytes, more than the " + std::to_string(state.receivedLimit) +
                                   " bytes kept in memory");
                full = true;
                return false;
            }
            if (state.announced > 0) {
                const int64_t reserve = std::min(state.announced, kMaxReserve);
                response.body.reserve(std::min(static_cast<size_t>(reserve), state.bodyLimit));
            }
        } else if (state.announced >= 0) {
            state.receivedLimit = -1;
            const int64_t free = file.FreeBytes();
            if (free >= 0 && state.announced > free) {
                failure = FailureText(kWriteError, "the answer announces " +
                                                       std::to_string(state.announced) +
                                                       " bytes, but only " + std::to_string(free) +
                                                       " bytes are free on the disk");
                return false;
            }
        } else {
            state.receivedLimit = settings.maxFileBodyWithoutLength;
        }

        // The body, piece by piece as it comes. WinHTTP waits at most readMs for each piece.
        Clock::time_point windowStart = Clock::now();
        int64_t windowBase = 0;
        int64_t fileBytes = 0;
        while (hasBody) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(h, &available)) {
                failure = ReadFailure(GetLastError());
                return false;
            }
            if (available == 0) break;
            DWORD got = 0;
            if (!WinHttpReadData(h, buffer.data(), std::min<DWORD>(available, kReceiveBufferSize),
                                 &got)) {
                failure = ReadFailure(GetLastError());
                return false;
            }
            if (got == 0) break;
            const char* data = buffer.data();
            state.received += got;
            if (state.receivedLimit >= 0 && state.received > state.receivedLimit) {
                failure =
                    FailureText(kTooLarge, "the answer is longer than " +
                                               std::to_string(state.receivedLimit) + " bytes");
                full = true;
                return false;
            }
            if (state.toFile && state.receivedLimit >= 0 && state.received >= state.nextDiskCheck) {
                state.nextDiskCheck = state.received + kDiskCheckInterval;
                const int64_t free = file.FreeBytes();
                if (free >= 0 && free - static_cast<int64_t>(got) < kDiskReserve) {
                    failure = FailureText(kWriteError,
                                          "the answer has no length and the disk is nearly full (" +
                                              std::to_string(free) + " bytes free)");
                    return false;
                }
            }
            if (state.toFile) {
                if (request.bodyFileLimit && state.fileSize + got > *request.bodyFileLimit) {
                    failure = FailureText(kTooLarge, "the body is longer than " +
                                                         std::to_string(*request.bodyFileLimit) +
                                                         " bytes");
                    full = true;
                    return false;
                }
                std::string writeFailure;
                if (!file.Write(data, got, writeFailure)) {
                    failure = writeFailure;
                    fileFailed = true;
                    return false;
                }
                state.fileSize += got;
                fileBytes += got;
                if (request.onBodyProgress) request.onBodyProgress(fileBytes, state.announced);
            } else if (response.body.size() < state.bodyLimit) {
                try {
                    const size_t keep =
                        std::min<size_t>(got, state.bodyLimit - response.body.size());
                    response.body.insert(response.body.end(),
                                         reinterpret_cast<const uint8_t*>(data),
                                         reinterpret_cast<const uint8_t*>(data) + keep);
                } catch (const std::bad_alloc&) {
                    failure = FailureText(kOutOfMemory, "the answer does not fit into memory");
                    return false;
                }
            }
            // The speed floor: every window of minSpeedWindowMs must move its share of bytes,
            // so a trickle that never stalls still ends.
            if (settings.minBytesPerSecond > 0) {
                const auto now = Clock::now();
                if (now - windowStart >= std::chrono::milliseconds(settings.minSpeedWindowMs)) {
                    const int64_t floor =
                        settings.minBytesPerSecond * settings.minSpeedWindowMs / 1000;
                    if (state.received - windowBase < floor) {
                        failure = FailureText(
                            kTimedOut, "less than " + std::to_string(settings.minBytesPerSecond) +
                                           " bytes per second for " +
                                           std::to_string(settings.minSpeedWindowMs) +
                                           " milliseconds");
                        return false;
                    }
                    windowStart = now;
                    windowBase = state.received;
                }
            }
        }
        // The connection ended before the announced length.
        if (state.announced >= 0 && hasBody && state.received < state.announced) {
            failure =
                FailureText(kPartialFile, "end of response with " +
                                              std::to_string(state.announced - state.received) +
                                              " bytes missing");
            return false;
        }
        response.status = static_cast<long>(status);
        response.contentType = Trim(QueryHeader(h, WINHTTP_QUERY_CONTENT_TYPE));
        return true;
    }

    std::string ReadFailure(DWORD error) const {
        if (IsTimeOut(error)) {
            return FailureText(kTimedOut, "no data received for " +
                                              std::to_string(settings.readMs) + " milliseconds");
        }
        return WinHttpFailure(error, "");
    }

    THttpSettings settings;
    TInternet session;
    TProxyChooser proxies;
    std::vector<char> buffer;
};

THttpTransport::THttpTransport(THttpSettings settings)
    : impl(std::make_unique<Impl>(std::move(settings))) {}

THttpTransport::~THttpTransport() = default;

bool THttpTransport::Perform(const THttpRequest& request, THttpResponse& response) {
    return impl->Perform(request, response);
}

std::string CaFileUnsupportedReason() {
    return "not supported on Windows, where certificates are checked against the system's "
           "certificate store";
}

std::string DecodeBodyText(const TBytes& body, const std::string& contentType) {
    const std::string_view raw(reinterpret_cast<const char*>(body.data()), body.size());
    const std::string charset = LowerAscii(CharsetOf(contentType));
    // Malformed UTF-8 must not reach the rest of the system as text.
    if (charset.empty() || charset == "utf-8" || charset == "utf8") {
        return DecodeText(raw, TTextEncoding::Utf8);
    }
    if (charset == "utf-16be") return DecodeUtf16(raw, true);
    if (charset == "utf-16le") return DecodeUtf16(raw, false);
    if (charset == "utf-16") {
        // A byte order mark says which; without one, big-endian.
        if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE') {
            return DecodeUtf16(raw.substr(2), false);
        }
        if (raw.size() >= 2 && raw[0] == '\xFE' && raw[1] == '\xFF') {
            return DecodeUtf16(raw.substr(2), true);
        }
        return DecodeUtf16(raw, true);
    }
    const UINT codePage = CodePageOf(charset);
    if (codePage == 0 || !IsValidCodePage(codePage)) return DecodeText(raw, TTextEncoding::Utf8);
    return DecodeCodePage(raw, codePage);
}

}  // namespace ombrel

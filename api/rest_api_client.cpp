#include "api/rest_api_client.h"

#include <fmt/printf.h>

#include <cstring>
#include <exception>
#include <utility>

#include "io/text.h"
#include "model/json_models.h"
#include "platform/crypto.h"
#include "state/ombrel_file.h"

namespace ombrel {
namespace {

constexpr int64_t kTimeoutMs = 10000;
constexpr int64_t kDebugTimeoutMs = 1000000;

// Trimmed, with "http://" in front when no scheme is named, one trailing "/" dropped.
std::string NormalizeBaseUrl(const std::string& apiUrl) {
    std::string url = Trim(apiUrl);
    if (url.find("://") == std::string::npos) url = "http://" + url;
    if (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string JoinUrl(const std::string& baseUrl, const std::string& resource) {
    if (!resource.empty() && (resource[0] == '/' || resource[0] == '?' || resource[0] == '#')) {
        return baseUrl + resource;
    }
    return baseUrl + "/" + resource;
}

std::string Base64(const std::string& text) { return Base64Encode(text); }

// Percent-encodes every byte that may not stand in the given part of a URL as it is: bytes
// beyond ASCII, control characters, blanks and the delimiters that would change its meaning.
std::string EscapeUrlPart(const std::string& text, const char* allowed) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (unsigned char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     (c != '\0' && std::strchr("-._~", c) != nullptr) ||
                     (c != '\0' && std::strchr(allowed, c) != nullptr);
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

// A "/" inside an argument stays a path separator, as the server expects.
std::string EscapePath(const std::string& text) {
    return EscapeUrlPart(text, "!$&'()*+,;=:@/");
}
std::string EscapeQueryValue(const std::string& text) {
    return EscapeUrlPart(text, "!$'()*,;:@/?");
}

// Header values must not carry line breaks or other control characters.
std::string HeaderValue(const std::string& value) {
    std::string clean;
    for (char c : value) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) clean += c;
    }
    return clean;
}

std::string EscapeArgument(const std::string& text) {
    return EscapePath(text);
}
int32_t EscapeArgument(int32_t number) {
    return number;
}

}  // namespace

struct TApiClient::TRestClient {
    TRestClient(std::string baseUrl, THttpSettings settings)
        : baseUrl(std::move(baseUrl)), transport(std::move(settings)) {}

    std::string baseUrl;
    // Sent with every request, but never to another origin than the update server's when a
    // request is redirected (a static file host, say).
    std::vector<std::string> credentialHeaders;
    THttpTransport transport;
};

struct TApiClient::TRequest {
    // Fills resource with the arguments as given and urlResource with them URL-encoded.
    template <typename... Args>
    static TRequest Get(const char* format, const Args&... args) {
        TRequest request;
        request.resource = fmt::sprintf(format, args...);
        request.urlResource = fmt::sprintf(format, EscapeArgument(args)...);
        return request;
    }

    std::string method = "GET";
    std::string resource;     // as the debug line names it
    std::string urlResource;  // as it goes into the URL
    std::string body;
    std::string bodyFile;
    std::string bodyFileRoot;  // see THttpRequest::bodyFileRoot
    std::function<void(int64_t, int64_t)> onBodyProgress;
    std::vector<std::string> headers;  // besides the client's own
    uint64_t bodyFileOffset = 0;
    std::optional<uint64_t> bodyFileLimit;
    bool bodyFileSha256 = false;  // see THttpRequest::bodyFileSha256
};

TApiClient::TApiClient(IOptionsPtr Options, IMessagesPtr Messages)
    : Options(std::move(Options)), Messages(std::move(Messages)) {
    Create(std::nullopt);
}

TApiClient::TApiClient(IOptionsPtr Options, IMessagesPtr Messages, THttpSettings settings)
    : Options(std::move(Options)), Messages(std::move(Messages)) {
    Create(std::move(settings));
}

TApiClient::TApiClient(IOptionsPtr Options, IMessagesPtr Messages, THttpSettings settings,
                       bool ping)
    : Options(std::move(Options)), Messages(std::move(Messages)) {
    Create(std::move(settings), ping);
}

TApiClient::~TApiClient() = default;

IApiClientPtr TApiClient::ForThread(IMessagesPtr messages) {
    // Built like this one, without the debug mode's ping: the server was asked already.
    return std::shared_ptr<TApiClient>(new TApiClient(Options, std::move(messages), iSettings, false));
}

void TApiClient::Create(std::optional<THttpSettings> settings, bool ping) {
    Sender = "TApiClient";
    const bool debug = Options->Debug();
    if (!settings) {
        int64_t ms = debug ? kDebugTimeoutMs : kTimeoutMs;
        settings = THttpSettings{ms, ms, Options->CaFile()};
        // A server halted in a debugger sends nothing for as long as it stands.
        if (debug) settings->minBytesPerSecond = 0;
    }
    iSettings = *settings;
    iRestClient =
        std::make_unique<TRestClient>(NormalizeBaseUrl(Options->ApiUrl()), std::move(*settings));

    std::string apiKey = Options->ApiKey();
    auto& credentials = iRestClient->credentialHeaders;
    if (!apiKey.empty()) credentials.push_back("X-API-Key: " + HeaderValue(apiKey));
    std::string userAuth = Options->UserAuth();
    std::string customerAuth = Options->CustomerAuth();
    if (!userAuth.empty()) {
        credentials.push_back("Authorization: Basic " + Base64(userAuth));
    } else if (!customerAuth.empty()) {
        credentials.push_back("Authorization: Customer " + HeaderValue(customerAuth));
    }

    if (debug && ping) Ping();
}

void TApiClient::AddError(const std::string& text) {
    errors.push_back(text);
    Messages->Error(text, Sender);
}

void TApiClient::LogDebug(const std::string& text) {
    Messages->Debug(text, Sender);
}

void TApiClient::ReportException(const std::exception& error) {
    AddError(error.what());
}

bool TApiClient::ExecuteRequest(TRequest& request, THttpResponse& answer) {
    std::string channel = Options->UpdateChannel();
    if (!channel.empty()) {
        request.resource = fmt::sprintf("%s?channel=%s", request.resource, channel);
        request.urlResource =
            fmt::sprintf("%s?channel=%s", request.urlResource, EscapeQueryValue(channel));
    }
    LogDebug(fmt::sprintf("request: %s", request.resource));

    THttpRequest http;
    http.method = request.method;
    http.url = JoinUrl(iRestClient->baseUrl, request.urlResource);
    http.credentialHeaders = iRestClient->credentialHeaders;
    if (request.method == "POST") {
        http.headers.push_back("Content-Type: application/json");
        http.body = std::move(request.body);
    }
    http.bodyFile = request.bodyFile;
    http.bodyFileRoot = request.bodyFileRoot;
    http.onBodyProgress = request.onBodyProgress;
    http.bodyFileOffset = request.bodyFileOffset;
    http.bodyFileLimit = request.bodyFileLimit;
    http.bodyFileSha256 = request.bodyFileSha256;
    for (const auto& header : request.headers) http.headers.push_back(header);

    if (!iRestClient->transport.Perform(http, answer)) {
        // A package file that cannot be written is no failure of the connection.
        if (answer.fileFailed) {
            AddError(answer.failure);
            return false;
        }
        AddError(fmt::sprintf("connection failed: %s", answer.failure));
    }
    if (answer.failure.empty() && answer.status >= 200 && answer.status <= 299) {
        LogDebug("success");
        return true;
    }
    AddError(fmt::sprintf("request failed (%s): %s", std::to_string(answer.status),
                          DecodeBodyText(answer.body, answer.contentType)));
    return false;
}

bool TApiClient::ResponseText(const THttpResponse& answer, std::string& response) {
    response = DecodeBodyText(answer.body, answer.contentType);
    return true;
}

bool TApiClient::TextRequest(TRequest& request, std::string& response) {
    THttpResponse answer;
    if (!ExecuteRequest(request, answer)) return false;
    ResponseText(answer, response);
    // Every text request asks for a JSON document: an answer without one would otherwise end
    // the run as if there were nothing to do.
    const std::string content = Trim(response);
    if (content.empty() || content == "null") {
        AddError(fmt::sprintf("request %s answered %s without a document (%s)", request.resource,
                              std::to_string(answer.status),
                              content.empty() ? "empty body" : "null"));
        response.clear();
        return false;
    }
    return true;
}

bool TApiClient::DownloadBytes(TRequest& request, TBytes& bytes) {
    THttpResponse answer;
    if (!ExecuteRequest(request, answer)) return false;
    bytes = std::move(answer.body);
    return true;
}

bool TApiClient::Ping() {
    try {
        std::string resource = "api/ping/secure";
        if (Options->Debug()) resource += "?XDEBUG_SESSION_START=PHPSTORM";
        THttpRequest http;
        http.url = JoinUrl(iRestClient->baseUrl, resource);
        http.credentialHeaders = iRestClient->credentialHeaders;
        THttpResponse answer;
        if (!iRestClient->transport.Perform(http, answer)) {
            AddError(fmt::sprintf("Connection failed: %s", answer.failure));
            return false;
        }
        LogDebug(fmt::sprintf("ping on %s successfull", Options->ApiUrl()));
        return answer.status >= 200 && answer.status <= 299;
    } catch (const std::exception& error) {
        ReportException(error);
        return false;
    }
}

bool TApiClient::GetInfoForPackage(const std::string& package, std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/package/info/%s", package);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetInfoForPackage(const std::string& package, const std::string& version,
                                   std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/package/info/%s/%s", package, version);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetInstallInfoForVersion(const std::string& project, const std::string& version,
                                          std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/update/install/%s/%s", project, version);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetInstallInfoForLatest(const std::string& project, std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/update/install/%s", project);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetUpdateInfoForVersion(const std::string& project, const std::string& version,
                                         std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/update/version/%s/%s", project, version);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetVersionInfoForVersion(const std::string& project, const std::string& version,
                                          const TOmbrelFile& ombrelFile, std::string& response) {
    response.clear();
    try {
        std::vector<json::TRequestPackage> packages;
        packages.reserve(ombrelFile.Packages().size());
        for (const auto& package : ombrelFile.Packages()) {
            packages.push_back({package.Name, package.Version});
        }
        auto request = TRequest::Get("/api/update/force/%s/%s", project, version);
        request.method = "POST";
        request.body = json::WriteRequestPackages(packages);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::GetRepairInfoForVersion(const std::string& project, const std::string& version,
                                         const THashList& HashList, std::string& response) {
    response.clear();
    try {
        auto request = TRequest::Get("/api/update/repair/%s/%s", project, version);
        request.method = "POST";
        request.body = json::WriteRequestHashes(HashList);
        return TextRequest(request, response);
    } catch (const std::exception& error) {
        ReportException(error);
        response.clear();
        return false;
    }
}

bool TApiClient::DownloadBinaryPackage(int32_t packageId, TBytes& bytes) {
    bytes.clear();
    try {
        auto request = TRequest::Get("/api/package/download/%d", packageId);
        return DownloadBytes(request, bytes);
    } catch (const std::exception& error) {
        ReportException(error);
        bytes.clear();
        return false;
    }
}

bool TApiClient::DownloadSourcePackage(int32_t packageId, TBytes& bytes) {
    bytes.clear();
    try {
        auto request = TRequest::Get("/api/package/download/source/%d", packageId);
        return DownloadBytes(request, bytes);
    } catch (const std::exception& error) {
        ReportException(error);
        bytes.clear();
        return false;
    }
}

bool TApiClient::DownloadPackageToFile(int32_t packageId, TPackageMode mode,
                                       const std::string& path) {
    try {
        auto request = mode == TPackageMode::source
                           ? TRequest::Get("/api/package/download/source/%d", packageId)
                           : TRequest::Get("/api/package/download/%d", packageId);
        request.bodyFile = path;
        request.onBodyProgress = iDownloadProgress;
        THttpResponse answer;
        return ExecuteRequest(request, answer);
    } catch (const std::exception& error) {
        ReportException(error);
        return false;
    }
}

bool TApiClient::DownloadPackageToFile(TPackageDownload& download) {
    download.etag.clear();
    download.sha256.clear();
    download.received = 0;
    download.tooLong = download.cut = false;
    try {
        auto request = download.mode == TPackageMode::source
                           ? TRequest::Get("/api/package/download/source/%d", download.packageId)
                           : TRequest::Get("/api/package/download/%d", download.packageId);
        request.bodyFile = download.path;
        request.bodyFileRoot = download.root;
        request.onBodyProgress = iDownloadProgress;
        request.bodyFileLimit = download.maxSize;
        request.bodyFileSha256 = download.computeSha256;
        if (download.resumeFrom > 0) {
            request.bodyFileOffset = download.resumeFrom;
            request.headers.push_back(fmt::sprintf("Range: bytes=%d-", download.resumeFrom));
            if (!download.ifRange.empty()) {
                request.headers.push_back("If-Range: " + HeaderValue(download.ifRange));
            }
        }
        THttpResponse answer;
        bool ok = ExecuteRequest(request, answer);
        download.etag = answer.etag;
        download.received = answer.bodyFileSize;
        download.tooLong = answer.bodyFileFull;
        if (ok) download.sha256 = answer.bodyFileSha256;
        download.cut = !ok && answer.status == 0 && !answer.bodyFileFull;
        return ok;
    } catch (const std::exception& error) {
        ReportException(error);
        return false;
    }
}

std::string TApiClient::ErrorText() {
    std::string text;
    for (const auto& error : errors) text += error + "\r\n";
    return text;
}

bool TApiClient::IsError() {
    return !errors.empty();
}

void TApiClient::ClearErrors() {
    errors.clear();
}

}  // namespace ombrel

#pragma once
// Ombrel.Rest.ApiClient: the update server client over HTTP.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/api_client.h"
#include "api/http_transport.h"
#include "messages/messages.h"

namespace ombrel {

// Talks to the server named by Options.ApiUrl. Base URL and credentials are read once, here;
// the debug flag and the update channel whenever a request is made. Every failure is appended
// to the error list and reported to Messages at level Error under "TApiClient"; requests and
// successes are reported at level Debug. Use from one thread at a time.
class TApiClient final : public IApiClient {
  public:
    // Connect and read time-outs are 10000 ms each, 1000000 ms when Options.Debug; in debug
    // mode the server is pinged at once.
    TApiClient(IOptionsPtr Options, IMessagesPtr Messages);
    // The same with other HTTP settings, for tests that cannot wait for the real time-outs or
    // bring a certificate of their own.
    TApiClient(IOptionsPtr Options, IMessagesPtr Messages, THttpSettings settings);
    ~TApiClient() override;

    bool Ping() override;
    bool GetInfoForPackage(const std::string& package, std::string& response) override;
    bool GetInfoForPackage(const std::string& package, const std::string& version,
                           std::string& response) override;
    bool GetInstallInfoForVersion(const std::string& project, const std::string& version,
                                  std::string& response) override;
    bool GetInstallInfoForLatest(const std::string& project, std::string& response) override;
    bool GetUpdateInfoForVersion(const std::string& project, const std::string& version,
                                 std::string& response) override;
    bool GetVersionInfoForVersion(const std::string& project, const std::string& version,
                                  const TOmbrelFile& ombrelFile, std::string& response) override;
    bool GetRepairInfoForVersion(const std::string& project, const std::string& version,
                                 const THashList& HashList, std::string& response) override;
    bool DownloadBinaryPackage(int32_t packageId, TBytes& bytes) override;
    bool DownloadSourcePackage(int32_t packageId, TBytes& bytes) override;
    std::string ErrorText() override;
    bool IsError() override;
    void ClearErrors() override;
    bool DownloadPackageToFile(int32_t packageId, TPackageMode mode,
                               const std::string& path) override;
    bool DownloadPackageToFile(TPackageDownload& download) override;

    IApiClientPtr ForThread(IMessagesPtr Messages) override;

    void SetDownloadProgress(TDownloadProgress onProgress) override {
        iDownloadProgress = std::move(onProgress);
    }

  private:
    struct TRestClient;
    struct TRequest;

    TApiClient(IOptionsPtr Options, IMessagesPtr Messages, THttpSettings settings, bool ping);
    void Create(std::optional<THttpSettings> settings, bool ping = true);
    void AddError(const std::string& text);
    void LogDebug(const std::string& text);
    bool ExecuteRequest(TRequest& request, THttpResponse& answer);
    bool ResponseText(const THttpResponse& answer, std::string& response);
    bool DownloadBytes(TRequest& request, TBytes& bytes);
    bool TextRequest(TRequest& request, std::string& response);
    void ReportException(const std::exception& error);

    std::vector<std::string> errors;
    TDownloadProgress iDownloadProgress;
    IOptionsPtr Options;
    std::unique_ptr<TRestClient> iRestClient;
    THttpSettings iSettings;
    IMessagesPtr Messages;
    std::string Sender;
};

}  // namespace ombrel

#pragma once
// Stores made by the publisher and a server running on them, for the ombrel-server tests.

#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/ombrel-server/http_service.h"
#include "tools/ombrel-server/publisher.h"

namespace ombrel::server::testing {

// An archive package made from a folder, with masks.
inline TPackageSpec FolderPackage(const std::string& name, const std::string& folder,
                                  std::vector<std::string> masks = {"*"}) {
    TPackageSpec spec;
    spec.Name = name;
    spec.Kind = TPackageKind::Folder;
    spec.Path = folder;
    spec.Masks = std::move(masks);
    return spec;
}

inline TPackageSpec FilePackage(const std::string& name, const std::string& file,
                                const std::string& installName) {
    TPackageSpec spec;
    spec.Name = name;
    spec.Kind = TPackageKind::SingleFile;
    spec.Path = file;
    spec.InstallName = installName;
    return spec;
}

// Publishes and answers the packages as published; an error fails the calling test (the
// sink's dump names the cause).
inline std::vector<TPublishedPackage> PublishOk(const std::string& store,
                                                const std::string& project,
                                                const std::string& version,
                                                const std::vector<TPackageSpec>& packages,
                                                const std::string& channel = "stable") {
    TPublishRequest request;
    request.Store = store;
    request.Project = project;
    request.Version = version;
    request.Channel = channel;
    request.Packages = packages;
    ombrel::testing::CollectingMessages messages;
    std::vector<TPublishedPackage> published;
    bool ok = Publish(request, messages, &published);
    EXPECT_TRUE(ok) << messages.Dump();
    return published;
}

// A server on 127.0.0.1, any port, quiet, started on construction. It accepts Key(), or with
// `builtInKey` the key built into the programs (as the installer sends it).
class TRunningServer {
  public:
    explicit TRunningServer(const std::string& store, std::string downloadBase = "",
                            bool builtInKey = false) {
        TServerOptions options;
        options.Store = store;
        options.Quiet = true;
        options.DownloadBase = std::move(downloadBase);
        if (!builtInKey) options.ApiKeys = {Key()};
        options.LogLine = [](const std::string&) {};
        service = std::make_unique<THttpService>(options);
        std::string error;
        if (!service->Start(error)) throw std::runtime_error(error);
    }

    static std::string Key() { return "test-key-0123"; }
    std::string BaseUrl() const { return service->BaseUrl(); }
    int Port() const { return service->Port(); }

    // A client that sends the valid key.
    std::unique_ptr<httplib::Client> Client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", service->Port());
        client->set_default_headers({{"X-API-Key", Key()}});
        client->set_connection_timeout(5);
        client->set_read_timeout(10);
        return client;
    }

  private:
    std::unique_ptr<THttpService> service;
};

}  // namespace ombrel::server::testing

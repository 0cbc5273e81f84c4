#pragma once
// Shared pieces of the server client tests: settable options and a fixture with a recording
// server on 127.0.0.1.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/rest_api_client.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"

namespace ombrel::testing {

struct FakeOptions : IOptions {
    std::string customerAuth;
    std::string userAuth;
    std::string apiKey = "7c1d0a4e-9b2f-4e6a-8d3c-51a0b7e2c9f4";
    std::string apiUrl;
    std::string updateChannel;
    bool debug = false;
    std::string caFile;

    std::string CustomerAuth() const override { return customerAuth; }
    std::string UserAuth() const override { return userAuth; }
    std::string ApiKey() const override { return apiKey; }
    std::string AppName() const override { return "app"; }
    std::string PackageName() const override { return ""; }
    std::string Destination() const override { return "/nonexistent"; }
    std::string ApiUrl() const override { return apiUrl; }
    std::string Version() const override { return ""; }
    bool Repair() const override { return false; }
    bool Debug() const override { return debug; }
    std::string UpdateChannel() const override { return updateChannel; }
    bool Info() const override { return false; }
    bool DependenciesOnly() const override { return false; }
    TPackageMode PackageMode() const override { return TPackageMode::binary; }
    std::string CaFile() const override { return caFile; }
};

class ApiClientTest : public ::testing::Test {
  protected:
    ApiClientTest() { options->apiUrl = server.BaseUrl(); }

    // A client with the product's time-outs.
    std::unique_ptr<TApiClient> Client() { return std::make_unique<TApiClient>(options, messages); }
    std::unique_ptr<TApiClient> Client(THttpSettings timeouts) {
        return std::make_unique<TApiClient>(options, messages, timeouts);
    }

    // Answers every GET and POST with status 200 and `body`.
    void AnswerEverything(const std::string& body,
                          const std::string& contentType = "application/json") {
        auto handler = [body, contentType](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, contentType);
        };
        server.Handle("GET", ".*", handler);
        server.Handle("POST", ".*", handler);
    }

    std::vector<std::string> Errors() const { return messages->Texts(Level::Error); }
    std::vector<std::string> DebugLines() const { return messages->Texts(Level::Debug); }

    HttpTestServer server;
    std::shared_ptr<FakeOptions> options = std::make_shared<FakeOptions>();
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
};

}  // namespace ombrel::testing

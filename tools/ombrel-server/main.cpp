// ombrel-server: the reference update server and its publishing tool.
//
//   ombrel-server --store DIR [--host H] [--port P] [--api-key K]... [--download-base URL]
//   ombrel-server publish --store DIR --project P --version V [--channel C]
//                 --package NAME=PATH[:MASK,...] --file NAME=FILE[:INSTALLNAME]
//                 [--source NAME=PATH] [--replace] [--sign KEYFILE]
//   ombrel-server list --store DIR
//   ombrel-server keygen --out KEYFILE

#include <malloc.h>
#include <pthread.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <map>
#include <thread>

#include "messages/std_messages.h"
#include "tools/ombrel-server/http_service.h"
#include "tools/ombrel-server/publisher.h"
#include "tools/ombrel-server/release_signing.h"
#include "tools/ombrel-server/release_store.h"

namespace {

using namespace ombrel;
using namespace ombrel::server;

int RunServer(const TServerOptions& options) {
    // Request bodies and answers of a megabyte or more get pages of their own, which go back to
    // the system when freed; without this glibc raises the threshold after the first large
    // free and keeps such blocks in its heaps for good.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // Termination signals are taken by a thread of their own, which stops the server cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::string error;
    if (!CheckStore(options.Store, error)) {
        std::cerr << "ombrel-server: " << error << '\n';
        return 1;
    }
    THttpService service(options);
    if (!service.Bind(error)) {
        std::cerr << "ombrel-server: " << error << '\n';
        return 1;
    }
    std::cout << "listening on " << service.BaseUrl() << std::endl;
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        service.Stop();
    });
    waiter.detach();
    return service.Serve() ? 0 : 1;
}

int RunPublish(TPublishRequest request, const std::vector<std::string>& packages,
               const std::vector<std::string>& files, const std::vector<std::string>& sources) {
    std::string error;
    for (const auto& argument : packages) {
        TPackageSpec spec;
        if (!ParsePackageArgument(argument, false, spec, error)) {
            std::cerr << "ombrel-server publish: " << error << '\n';
            return 2;
        }
        request.Packages.push_back(spec);
    }
    for (const auto& argument : files) {
        TPackageSpec spec;
        if (!ParsePackageArgument(argument, true, spec, error)) {
            std::cerr << "ombrel-server publish: " << error << '\n';
            return 2;
        }
        request.Packages.push_back(spec);
    }
    for (const auto& argument : sources) {
        std::string name, path;
        if (!ParseSourceArgument(argument, name, path, error)) {
            std::cerr << "ombrel-server publish: " << error << '\n';
            return 2;
        }
        auto it = std::find_if(request.Packages.begin(), request.Packages.end(),
                               [&](const TPackageSpec& s) { return s.Name == name; });
        if (it == request.Packages.end()) {
            std::cerr << "ombrel-server publish: --source names no package given: " << name << '\n';
            return 2;
        }
        it->SourcePath = path;
    }
    TMessages messages(
        [](const std::string& msg, const std::string&) { std::cerr << "error: " << msg << '\n'; },
        [](const std::string& msg, const std::string&) { std::cerr << "warning: " << msg << '\n'; },
        [](const std::string& msg, const std::string&) { std::cout << msg << '\n'; }, nullptr,
        nullptr);
    return Publish(request, messages) ? 0 : 1;
}

int RunList(const std::string& store) {
    TStoreIndex index;
    std::string error;
    if (!CheckStore(store, error) || !LoadIndex(store, index, error)) {
        std::cerr << "ombrel-server list: " << error << '\n';
        return 1;
    }
    for (const auto& r : index.Releases) {
        std::cout << r.Project << ' ' << r.Version << " [" << r.Channel << "] " << r.PublishedAt
                  << (r.Signature.empty() ? "" : " signed") << '\n';
        for (const auto* p : index.ReleasePackages(r)) {
            std::cout << "  " << p->Name << ' ' << p->FullVersion() << " (id " << p->Id << ", "
                      << p->Installed.size() << " file(s)"
                      << (p->SourceFile.empty() ? "" : ", source") << ")\n";
        }
    }
    return 0;
}

int RunKeygen(const std::string& keyFile) {
    std::string publicKey, error;
    if (!GenerateSigningKey(keyFile, publicKey, error)) {
        std::cerr << "ombrel-server keygen: " << error << '\n';
        return 1;
    }
    std::cout << "private key: " << keyFile << " (keep it secret; publish --sign " << keyFile
              << ")\n"
              << "public key:  " << keyFile << ".pub\n"
              << "build the programs with -DOMBREL_RELEASE_PUBLIC_KEY=" << publicKey << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Reference update server of Ombrel: serves a release store over HTTP.",
                 "ombrel-server");
    app.require_subcommand(0, 1);

    TServerOptions serve;
    app.add_option("--store", serve.Store, "Release store folder");
    app.add_option("--host", serve.Host, "Address to listen on")->capture_default_str();
    app.add_option("--port", serve.Port, "Port to listen on; 0 takes any free port")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option(
        "--api-key", serve.ApiKeys,
        "Accepted X-API-Key value (repeatable); default: the key built into the programs");
    app.add_option("--download-base", serve.DownloadBase,
                   "Answer downloads with a redirect to URL/<stored file name>");
    app.add_flag("--quiet", serve.Quiet, "Do not log requests");

    TPublishRequest publish;
    std::vector<std::string> packages, files, sources;
    auto* pub = app.add_subcommand("publish", "Publish a release into a store");
    pub->add_option("--store", publish.Store, "Release store folder (created when missing)")
        ->required();
    pub->add_option("--project", publish.Project, "Project (application) name")->required();
    pub->add_option("--version", publish.Version, "Release version")->required();
    pub->add_option("--channel", publish.Channel, "Update channel")->capture_default_str();
    pub->add_option("--package", packages,
                    "NAME=PATH[:MASK,MASK...]: a folder (zipped now) or a .zip archive; masks "
                    "default to *");
    pub->add_option("--file", files,
                    "NAME=FILE[:INSTALLNAME]: a single-file package installed as INSTALLNAME "
                    "(default: the file's name), e.g. tool=build/tool:bin/tool");
    pub->add_option("--source", sources, "NAME=PATH: source of package NAME (folder or file)");
    pub->add_flag("--replace", publish.Replace,
                  "Replace a release of the same version and channel");
    pub->add_option("--sign", publish.SignKeyFile,
                    "Sign the release with this private key (made by keygen)");

    std::string keyFile;
    auto* keygen = app.add_subcommand("keygen", "Make an ECDSA P-256 key pair to sign releases");
    keygen->add_option("--out", keyFile, "Private key file; the public key goes to KEYFILE.pub")
        ->required();

    std::string listStore;
    auto* list = app.add_subcommand("list", "List the releases of a store");
    list->add_option("--store", listStore, "Release store folder")->required();

    CLI11_PARSE(app, argc, argv);

    if (pub->parsed()) return RunPublish(publish, packages, files, sources);
    if (list->parsed()) return RunList(listStore);
    if (keygen->parsed()) return RunKeygen(keyFile);
    if (serve.Store.empty()) {
        std::cerr << "ombrel-server: --store is required\n" << app.help();
        return 2;
    }
    return RunServer(serve);
}

#include "ReferenceService.hpp"

#include "AdminHandlers.hpp"
#include "AtomicFile.hpp"
#include "CertificateAuthority.hpp"
#include "FaultInjector.hpp"
#include "ProtocolHandlers.hpp"
#include "RandomIds.hpp"
#include "ServiceKeys.hpp"
#include "ServiceStore.hpp"
#include "ServiceToken.hpp"

#include <httplib.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <csignal>

#include <sys/stat.h>

namespace velquor::service {
namespace {

constexpr size_t largestBody = 8 * 1024 * 1024;
constexpr size_t mostParts = 16;
constexpr size_t serverThreads = 24;

bool isLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

std::optional<std::string> header(const httplib::Request& request, const char* name) {
    if (!request.has_header(name))
        return std::nullopt;
    return request.get_header_value(name);
}

// The refusal for a status the HTTP layer chose itself (no route, unreadable request).
ServiceError errorForStatus(int status) {
    switch (status) {
    case 404:
        return ServiceError::notFound("path", "Nothing is served at this address.");
    case 405:
        return {405, "METHOD_NOT_ALLOWED", "This method is not served here.", {}};
    case 413:
        return ServiceError::payloadTooLarge();
    case 500:
        return ServiceError::internal("The service failed while handling the request.");
    default:
        return {status, "INVALID_REQUEST", "The request could not be read.", {}};
    }
}

} // namespace

struct ReferenceService::Impl {
    explicit Impl(ServiceOptions options)
        : options(std::move(options)) {}

    ServiceOptions options;
    std::optional<TlsFiles> tls;
    std::optional<ServiceKeys> serviceKey;
    std::once_flag foreignKeyOnce;
    std::optional<ServiceKeys> foreignKey;
    std::unique_ptr<ServiceStore> store;
    FaultInjector faults;
    std::unique_ptr<ProtocolHandlers> protocol;
    std::unique_ptr<AdminHandlers> admin;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread serving;
    int port = 0;

    std::mutex lifecycle; // start() and stop() one at a time
    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool finished = false;
    bool started = false;
    bool stopped = false;

    std::optional<std::string> prepareState();
    std::string urlHost() const;
    void serve(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader* reader);
    bool readBody(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& reader, ServiceRequest& into, int& failedStatus);
    void write(const ServiceReply& reply, const std::string& correlationId, httplib::Response& response);
    const ServiceKeys* foreign();
};

std::optional<std::string> ReferenceService::Impl::prepareState() {
    const auto& directory = options.stateDirectory;
    std::error_code failure;
    if (!std::filesystem::exists(directory, failure)) {
        std::filesystem::create_directories(directory, failure);
        if (failure)
            return "cannot create the state directory " + directory.string() + ": " + failure.message();
        ::chmod(directory.c_str(), 0700);
    }
    std::string error;
    tls = CertificateAuthority::ensure(directory, error);
    if (!tls)
        return error;

    const auto keyPath = directory / "service-key.pem";
    if (auto pem = AtomicFile::read(keyPath)) {
        serviceKey = ServiceKeys::fromPrivatePem(*pem, error);
        if (!serviceKey)
            return "the service key " + keyPath.string() + " is unreadable (" + error +
                   "); remove it to create a new one";
    } else {
        serviceKey = ServiceKeys::generate(2048, error);
        if (!serviceKey)
            return error;
        if (auto failed = AtomicFile::write(keyPath, serviceKey->privatePem(), 0600))
            return failed;
    }
    store = ServiceStore::open(directory / "service.db", error);
    if (!store)
        return error;
    protocol = std::make_unique<ProtocolHandlers>(*store, *serviceKey);
    admin = std::make_unique<AdminHandlers>(*store, *serviceKey, faults, [this](Region region) {
        return "https://" + urlHost() + ":" + std::to_string(port) + "/" + regionPathPrefix(region) + "/";
    });
    return std::nullopt;
}

std::string ReferenceService::Impl::urlHost() const {
    const auto& host = options.host;
    if (host.empty() || host == "0.0.0.0" || host == "::")
        return "127.0.0.1";
    if (host.find(':') != std::string::npos)
        return "[" + host + "]";
    return host;
}

const ServiceKeys* ReferenceService::Impl::foreign() {
    std::call_once(foreignKeyOnce, [&] {
        std::string error;
        foreignKey = ServiceKeys::generate(2048, error);
    });
    return foreignKey ? &*foreignKey : nullptr;
}

bool ReferenceService::Impl::readBody(const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& reader, ServiceRequest& into,
                                      int& failedStatus) {
    size_t total = 0;
    bool tooLarge = false;
    bool ok = false;
    if (request.is_multipart_form_data()) {
        into.multipart = true;
        ok = reader(
            [&](const httplib::MultipartFormData& part) {
                if (into.parts.size() >= mostParts)
                    return false;
                into.parts.push_back({part.name, part.filename, part.content_type, {}});
                return true;
            },
            [&](const char* data, size_t length) {
                total += length;
                if (total > largestBody || into.parts.empty()) {
                    tooLarge = total > largestBody;
                    return false;
                }
                into.parts.back().content.append(data, length);
                return true;
            });
    } else {
        ok = reader([&](const char* data, size_t length) {
            total += length;
            if (total > largestBody) {
                tooLarge = true;
                return false;
            }
            into.body.append(data, length);
            return true;
        });
    }
    if (!ok)
        failedStatus = tooLarge || response.status == 413 ? 413 : 400;
    return ok;
}

void ReferenceService::Impl::serve(const httplib::Request& request, httplib::Response& response,
                                   const httplib::ContentReader* reader) {
    const std::string correlationId = RandomIds::uuid();
    ServiceRequest incoming;
    incoming.method = request.method;
    int failedStatus = 0;
    try {
        if (reader)
            readBody(request, response, *reader, incoming, failedStatus);
        const std::string& path = request.path;
        const bool isAdmin = path.rfind("/admin/", 0) == 0;
        const size_t slash = path.find('/', 1);
        const auto region = slash == std::string::npos
                                ? std::nullopt
                                : regionFromPathPrefix(std::string_view(path).substr(1, slash - 1));
        if (!isAdmin && !region) {
            write(ServiceReply::refusal(ServiceError::notFound("path", "Nothing is served at " + path + ".")),
                  correlationId, response);
            return;
        }
        incoming.path = path.substr(isAdmin ? 7 : slash + 1);
        if (isAdmin) {
            if (!isLoopback(request.remote_addr))
                write(ServiceReply::jsonRefusal(
                          ServiceError::forbidden("address", "The admin interface is loopback only.")),
                      correlationId, response);
            else if (failedStatus)
                write(ServiceReply::jsonRefusal(errorForStatus(failedStatus)), correlationId, response);
            else
                write(admin->handle(incoming), correlationId, response);
            return;
        }
        // A fault answers before any check, so the real handler never sees the request.
        if (incoming.method == "POST") {
            if (auto fault = faults.take(incoming.path)) {
                if (fault->delay.count() > 0)
                    faults.wait(fault->delay);
                write(FaultInjector::replyFor(*fault), correlationId, response);
                return;
            }
        }
        if (failedStatus) {
            auto error = errorForStatus(failedStatus);
            if (failedStatus == 400)
                error.message = incoming.multipart ? "The multipart body is malformed."
                                                   : "The request body could not be read.";
            write(ServiceReply::refusal(error), correlationId, response);
            return;
        }
        incoming.region = region;
        for (const auto& [name, value] : request.params)
            incoming.query.emplace(name, value);
        incoming.contentType = header(request, "content-type");
        incoming.accept = header(request, "Accept");
        incoming.logsToken = header(request, "Marvis-Mobile-Logs");
        write(protocol->handle(incoming), correlationId, response);
    } catch (const std::exception& e) {
        if (options.verbose)
            std::fprintf(stderr, "velquor-reference-service: %s failed: %s\n", request.path.c_str(),
                         e.what());
        write(ServiceReply::refusal(ServiceError::internal("The service failed while handling the request.")),
              correlationId, response);
    }
}

void ReferenceService::Impl::write(const ServiceReply& reply, const std::string& correlationId,
                                   httplib::Response& response) {
    response.status = reply.status;
    response.headers.erase("correlation-id");
    response.set_header("correlation-id", correlationId);
    if (!reply.claims) {
        response.set_content(reply.rawBody, reply.contentType.c_str());
        return;
    }
    nlohmann::json claims = *reply.claims;
    if (reply.isError && claims.is_object())
        claims["id"] = correlationId;
    std::optional<std::string> token;
    switch (reply.signature) {
    case ReplySignature::valid:
        token = ServiceToken::signRS256(claims, *serviceKey);
        break;
    case ReplySignature::none:
        token = ServiceToken::unsignedToken(claims);
        break;
    case ReplySignature::foreign:
        if (const auto* key = foreign())
            token = ServiceToken::signRS256(claims, *key);
        break;
    }
    if (!token) {
        response.status = 500;
        token =
            ServiceToken::unsignedToken(ServiceError::internal("The reply could not be signed.").toJson());
    }
    response.set_content(*token, "application/jwt");
}

ReferenceService::ReferenceService(ServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

ReferenceService::~ReferenceService() {
    stop();
}

std::optional<std::string> ReferenceService::start() {
    auto& impl = *impl_;
    std::lock_guard lifecycle(impl.lifecycle);
    if (impl.started)
        return "the service is already started";
    // A peer that drops its connection must not end the process with SIGPIPE.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGPIPE, SIG_IGN);
    if (auto failed = impl.prepareState())
        return failed;

    const auto tls = *impl.tls;
    impl.server = std::make_unique<httplib::SSLServer>([&tls](SSL_CTX& context) {
        return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 &&
               SSL_CTX_use_certificate_chain_file(&context, tls.serverCertificate.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&context, tls.serverKey.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&context) == 1;
    });
    if (!impl.server->is_valid())
        return "cannot set up TLS with " + tls.serverCertificate.string() + ": " +
               detail::drainOpenSSLErrors();

    auto& server = *impl.server;
    server.new_task_queue = [] {
        return new httplib::ThreadPool(serverThreads);
    };
    server.set_payload_max_length(largestBody);
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(2);
    // Headers and body leave in separate writes; without this, delayed ACKs add ~40 ms per reply.
    server.set_tcp_nodelay(true);
    server.Post(".*",
                [&impl](const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& reader) { impl.serve(request, response, &reader); });
    server.Get(".*", [&impl](const httplib::Request& request, httplib::Response& response) {
        impl.serve(request, response, nullptr);
    });
    server.Delete(".*", [&impl](const httplib::Request& request, httplib::Response& response) {
        impl.serve(request, response, nullptr);
    });
    // Whatever the HTTP layer refuses on its own still gets a signed error and a correlation id.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([&impl](const httplib::Request&, httplib::Response& response) {
            // Replies written by serve() carry a correlation id already (a fault may be empty on purpose).
            if (response.has_header("correlation-id"))
                return httplib::Server::HandlerResponse::Unhandled;
            impl.write(ServiceReply::refusal(errorForStatus(response.status)), RandomIds::uuid(), response);
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [&impl](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            impl.write(ServiceReply::refusal(errorForStatus(500)), RandomIds::uuid(), response);
        });
    if (impl.options.verbose)
        server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::fprintf(stderr, "%s %s -> %d correlation-id=%s\n", request.method.c_str(),
                         request.path.c_str(), response.status,
                         response.get_header_value("correlation-id").c_str());
        });

    if (impl.options.port == 0) {
        impl.port = server.bind_to_any_port(impl.options.host);
        if (impl.port < 0)
            return "cannot listen on " + impl.options.host;
    } else if (server.bind_to_port(impl.options.host, impl.options.port)) {
        impl.port = impl.options.port;
    } else {
        return "cannot listen on " + impl.options.host + ":" + std::to_string(impl.options.port);
    }
    impl.started = true;
    impl.serving = std::thread([&impl] {
        impl.server->listen_after_bind();
        std::lock_guard lock(impl.stateMutex);
        impl.finished = true;
        impl.stateChanged.notify_all();
    });
    // The socket already listens (connections queue); wait until the accept loop runs so that an
    // early stop() cannot slip in before it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock lock(impl.stateMutex);
    while (!impl.finished && !server.is_running() && std::chrono::steady_clock::now() < deadline)
        impl.stateChanged.wait_for(lock, std::chrono::milliseconds(1));
    return std::nullopt;
}

void ReferenceService::stop() {
    auto& impl = *impl_;
    std::lock_guard lifecycle(impl.lifecycle);
    if (!impl.started || impl.stopped)
        return;
    impl.stopped = true;
    impl.faults.stop();
    {
        // stop() only takes effect once the accept loop runs; repeat until serving has ended.
        std::unique_lock lock(impl.stateMutex);
        while (!impl.finished) {
            lock.unlock();
            impl.server->stop();
            lock.lock();
            impl.stateChanged.wait_for(lock, std::chrono::milliseconds(20), [&] { return impl.finished; });
        }
    }
    if (impl.serving.joinable())
        impl.serving.join();
}

int ReferenceService::port() const {
    return impl_->port;
}

std::string ReferenceService::baseURL(Region region) const {
    return "https://" + impl_->urlHost() + ":" + std::to_string(impl_->port) + "/" +
           regionPathPrefix(region) + "/";
}

std::string ReferenceService::adminURL() const {
    return "https://" + impl_->urlHost() + ":" + std::to_string(impl_->port) + "/admin/";
}

std::filesystem::path ReferenceService::caCertificatePath() const {
    return impl_->tls ? impl_->tls->caCertificate : impl_->options.stateDirectory / "ca.pem";
}

nlohmann::json ReferenceService::readyDescription() const {
    return {
        {"port", port()},
        {"caCertificate",
         std::filesystem::weakly_canonical(std::filesystem::absolute(caCertificatePath())).string()},
        {"baseURLs", {{"NA", baseURL(Region::na)}, {"EU", baseURL(Region::eu)}, {"AU", baseURL(Region::au)}}},
        {"adminURL", adminURL()}};
}

} // namespace velquor::service

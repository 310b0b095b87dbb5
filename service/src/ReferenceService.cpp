#include "ReferenceService.hpp"

#include "AdminHandlers.hpp"
#include "AtomicFile.hpp"
#include "CertificateAuthority.hpp"
#include "FaultInjector.hpp"
#include "ProtocolHandlers.hpp"
#include "RandomIds.hpp"
#include "ServiceClock.hpp"
#include "ServiceKeys.hpp"
#include "ServiceStore.hpp"
#include "ServiceToken.hpp"
#include "TlsServer.hpp"
#include "TokenIdLog.hpp"

#include <httplib.h>

#include <openssl/pem.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <csignal>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::service {
namespace {

constexpr size_t largestBody = 8 * 1024 * 1024;
constexpr size_t mostParts = 16;
// Each connection holds a worker while it is open, idle or trickling included; 64 leaves room for
// dozens of such connections beside the ones that send a request.
constexpr size_t serverThreads = 64;
constexpr size_t faultServerThreads = 8;
// Inactivity limits per read and per write (the TLS handshake is a read); not a whole-request deadline.
constexpr time_t inactivitySeconds = 5;
// Marks a reply written by serve(), so the error handler leaves it alone; removed before sending.
constexpr const char* servedMark = "x-velquor-served";
const char* const tlsFaultKinds[] = {"untrusted", "wrongName"};

bool isJsonMediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    return strcasecmp(type.c_str(), "application/json") == 0;
}

bool usePem(SSL_CTX& context, const PemCertificate& pem) {
    detail::BIO_ptr certificateBio(
        BIO_new_mem_buf(pem.certificate.data(), static_cast<int>(pem.certificate.size())));
    detail::BIO_ptr keyBio(BIO_new_mem_buf(pem.key.data(), static_cast<int>(pem.key.size())));
    detail::X509_ptr certificate(
        certificateBio ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr) : nullptr);
    detail::EVP_PKEY_ptr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                                    : nullptr);
    return certificate && key && SSL_CTX_use_certificate(&context, certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(&context, key.get()) == 1 && SSL_CTX_check_private_key(&context) == 1;
}

// The state directory must be the caller's own and closed to everyone else: the service keeps
// private keys there and never narrows another user's directory behind their back.
std::optional<std::string> claimStateDirectory(const std::filesystem::path& directory) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return "cannot inspect the state directory " + directory.string() + ": " + std::strerror(errno);
        std::error_code failure;
        if (directory.has_parent_path())
            std::filesystem::create_directories(directory.parent_path(), failure);
        if (failure || (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST))
            return "cannot create the state directory " + directory.string();
        if (::stat(directory.c_str(), &status) != 0)
            return "cannot inspect the state directory " + directory.string() + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode))
        return "the state directory " + directory.string() + " is not a directory";
    if (status.st_uid != ::geteuid())
        return "the state directory " + directory.string() +
               " belongs to another user; choose a directory of your own (--state-dir)";
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return "the state directory " + directory.string() + " is open to group or others (mode " + mode +
               "); make it owner-only (chmod 700) or choose another one";
    }
    return std::nullopt;
}

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

    // One HTTPS front end: the service's own, or one whose certificate a client must refuse.
    struct Listener {
        std::unique_ptr<TlsServer> server;
        std::thread serving;
        int port = 0;
        bool finished = false; // guarded by stateMutex
    };

    ServiceOptions options;
    std::optional<TlsFiles> tls;
    std::optional<ServiceKeys> serviceKey;
    std::optional<ServiceKeys> foreignKey;
    std::string foreignPublicKey;
    std::unique_ptr<ServiceStore> store;
    std::unique_ptr<TokenIdLog> tokenIds;
    FaultInjector faults;
    std::unique_ptr<ProtocolHandlers> protocol;
    std::unique_ptr<AdminHandlers> admin;
    // [0] the service, [1] "untrusted", [2] "wrongName".
    std::vector<std::unique_ptr<Listener>> listeners;

    std::mutex lifecycle; // start() and stop() one at a time
    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool started = false;
    bool stopped = false;

    std::optional<std::string> prepareState();
    std::string urlHost() const;
    std::string certificateHost() const;
    std::string baseURL(int port, Region region) const;
    std::optional<std::string> listen(Listener& listener, size_t threads, int port,
                                      std::function<bool(SSL_CTX&)> setUp);
    void configure(TlsServer& server, size_t threads);
    // Stops every listener and waits until its serving thread has ended.
    void shutDown();
    void serve(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader* reader);
    bool readBody(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& reader, ServiceRequest& into, int& failedStatus);
    void write(const ServiceReply& reply, const std::string& correlationId, httplib::Response& response);
};

std::optional<std::string> ReferenceService::Impl::prepareState() {
    const auto& directory = options.stateDirectory;
    if (auto refused = claimStateDirectory(directory))
        return refused;
    std::string error;
    tls = CertificateAuthority::ensure(directory, certificateHost(), error);
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
    // Made now, not on first use, so the ready file can name it before any fault asks for it.
    foreignKey = ServiceKeys::generate(2048, error);
    if (!foreignKey)
        return error;
    foreignPublicKey = foreignKey->publicKeyBase64();
    store = ServiceStore::open(directory / "service.db", error);
    if (!store)
        return error;
    tokenIds = TokenIdLog::open(directory / "token-ids", nowSeconds(), error);
    if (!tokenIds)
        return error;
    protocol = std::make_unique<ProtocolHandlers>(*store, *tokenIds, *serviceKey, options.maxUploadBytes);
    admin = std::make_unique<AdminHandlers>(*store, *serviceKey, faults, [this](Region region) {
        return baseURL(listeners.empty() ? 0 : listeners[0]->port, region);
    });
    return std::nullopt;
}

std::string ReferenceService::Impl::certificateHost() const {
    const auto& host = options.host;
    return host.empty() || host == "0.0.0.0" || host == "::" ? std::string() : host;
}

std::string ReferenceService::Impl::baseURL(int port, Region region) const {
    return "https://" + urlHost() + ":" + std::to_string(port) + "/" + regionPathPrefix(region) + "/";
}

std::string ReferenceService::Impl::urlHost() const {
    const auto& host = options.host;
    if (host.empty() || host == "0.0.0.0" || host == "::")
        return "127.0.0.1";
    if (host.find(':') != std::string::npos)
        return "[" + host + "]";
    return host;
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
        // A request with neither length nor chunking has no body (the HTTP layer would wait for one).
        if (reader && (request.has_header("Content-Length") || request.has_header("Transfer-Encoding")))
            readBody(request, response, *reader, incoming, failedStatus);
        else
            incoming.body = request.body;
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
            // Refuses the cross-site "simple" requests a browser sends without asking first.
            else if (!incoming.body.empty() && !isJsonMediaType(request.get_header_value("content-type")))
                write(ServiceReply::jsonRefusal(ServiceError::unsupportedMediaType(
                          "application/json", request.get_header_value("content-type"))),
                      correlationId, response);
            else
                write(admin->handle(incoming), correlationId, response);
            return;
        }
        // A fault answers before any check, so the real handler never sees the request.
        if (incoming.method == "POST") {
            if (auto fault = faults.take(incoming.path)) {
                if (fault->delay.count() > 0)
                    faults.wait(fault->delay);
                const auto reply = FaultInjector::replyFor(*fault, foreignPublicKey);
                if (reply.closeBeforeReply && request.ssl) {
                    // Ends the connection under the server, which then fails to write anything.
                    ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
                }
                write(reply, correlationId, response);
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
        // From the raw target: the parsed parameters fold repeated identical items into one.
        const auto question = request.target.find('?');
        std::string_view query = question == std::string::npos
                                     ? std::string_view()
                                     : std::string_view(request.target).substr(question + 1);
        while (!query.empty()) {
            const auto item = query.substr(0, query.find('&'));
            query.remove_prefix(std::min(query.size(), item.size() + 1));
            if (item.empty())
                continue;
            const auto equals = item.find('=');
            incoming.query.emplace(
                httplib::detail::decode_url(std::string(item.substr(0, equals)), true),
                equals == std::string_view::npos
                    ? std::string()
                    : httplib::detail::decode_url(std::string(item.substr(equals + 1)), true));
        }
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
    response.set_header(servedMark, "1");
    const std::string& id =
        reply.correlation == CorrelationHeader::chosen ? reply.chosenCorrelationId : correlationId;
    if (reply.correlation != CorrelationHeader::omitted)
        response.set_header("correlation-id", id);
    const auto send = [&](std::string body, const std::string& contentType) {
        if (!reply.closeAfterBodyBytes) {
            response.set_content(std::move(body), contentType.c_str());
            return;
        }
        // The headers announce the whole length; the connection ends after the first bytes.
        auto bytes = std::make_shared<std::string>(std::move(body));
        const size_t cut = std::min(*reply.closeAfterBodyBytes, bytes->size());
        response.set_content_provider(bytes->size(), contentType,
                                      [bytes, cut](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset >= cut)
                                              return false;
                                          return sink.write(bytes->data() + offset, cut - offset);
                                      });
    };
    if (!reply.claims) {
        send(reply.rawBody, reply.contentType);
        return;
    }
    // Only an error gains a member ("id"); other claims are signed as they are, uncopied.
    std::optional<nlohmann::json> withId;
    if (reply.isError && reply.claims->is_object()) {
        withId = *reply.claims;
        (*withId)["id"] = id;
    }
    const nlohmann::json& claims = withId ? *withId : *reply.claims;
    std::optional<std::string> token;
    switch (reply.signature) {
    case ReplySignature::valid:
        token = ServiceToken::signRS256(claims, *serviceKey);
        break;
    case ReplySignature::none:
        token = ServiceToken::unsignedToken(claims);
        break;
    case ReplySignature::foreign:
        token = ServiceToken::signRS256(claims, *foreignKey);
        break;
    }
    if (!token) {
        response.status = 500;
        token =
            ServiceToken::unsignedToken(ServiceError::internal("The reply could not be signed.").toJson());
    }
    send(std::move(*token), "application/jwt");
}

void ReferenceService::Impl::configure(TlsServer& server, size_t threads) {
    server.new_task_queue = [threads] {
        return new httplib::ThreadPool(threads);
    };
    server.set_payload_max_length(largestBody);
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(inactivitySeconds, 0);
    server.set_write_timeout(inactivitySeconds, 0);
    // A reply leaves in one write, but one larger than the stream's buffer leaves in several;
    // without this, delayed ACKs would add ~40 ms to those.
    server.set_tcp_nodelay(true);
    // Every method reaches serve(), so a protocol path answers 405 to all but POST, not 404.
    const auto withBody = [this](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader& reader) {
        serve(request, response, &reader);
    };
    server.Post(".*", withBody);
    server.Put(".*", withBody);
    server.Patch(".*", withBody);
    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response, nullptr);
    });
    server.Delete(".*", [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response, nullptr);
    });
    server.Options(".*", [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response, nullptr);
    });
    // Whatever the HTTP layer refuses on its own still gets a signed error and a correlation id.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([this](const httplib::Request&, httplib::Response& response) {
            // Replies written by serve() are final (a fault may be empty or lack its id on purpose).
            if (response.has_header(servedMark))
                return httplib::Server::HandlerResponse::Unhandled;
            write(ServiceReply::refusal(errorForStatus(response.status)), RandomIds::uuid(), response);
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_post_routing_handler(
        [](const httplib::Request&, httplib::Response& response) { response.headers.erase(servedMark); });
    server.set_exception_handler(
        [this](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            write(ServiceReply::refusal(errorForStatus(500)), RandomIds::uuid(), response);
            response.headers.erase(servedMark);
        });
    if (options.verbose)
        server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::fprintf(stderr, "%s %s -> %d correlation-id=%s\n", request.method.c_str(),
                         request.path.c_str(), response.status,
                         response.get_header_value("correlation-id").c_str());
        });
}

std::optional<std::string> ReferenceService::Impl::listen(Listener& listener, size_t threads, int port,
                                                          std::function<bool(SSL_CTX&)> setUp) {
    listener.server = std::make_unique<TlsServer>([&setUp](SSL_CTX& context) {
        return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 && setUp(context);
    });
    if (!listener.server->is_valid())
        return "cannot set up TLS: " + detail::drainOpenSSLErrors();
    auto& server = *listener.server;
    configure(server, threads);
    if (port == 0) {
        listener.port = server.bind_to_any_port(options.host);
        if (listener.port < 0)
            return "cannot listen on " + options.host;
    } else if (server.bind_to_port(options.host, port)) {
        listener.port = port;
    } else {
        return "cannot listen on " + options.host + ":" + std::to_string(port);
    }
    listener.serving = std::thread([this, &listener] {
        listener.server->listen_after_bind();
        std::lock_guard lock(stateMutex);
        listener.finished = true;
        stateChanged.notify_all();
    });
    // The socket already listens (connections queue); wait until the accept loop runs so that an
    // early stop() cannot slip in before it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock lock(stateMutex);
    while (!listener.finished && !server.is_running() && std::chrono::steady_clock::now() < deadline)
        stateChanged.wait_for(lock, std::chrono::milliseconds(1));
    return std::nullopt;
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

    const auto files = *impl.tls;
    const std::function<bool(SSL_CTX&)> setUps[] = {
        [&files](SSL_CTX& context) {
            return SSL_CTX_use_certificate_chain_file(&context, files.serverCertificate.c_str()) == 1 &&
                   SSL_CTX_use_PrivateKey_file(&context, files.serverKey.c_str(), SSL_FILETYPE_PEM) == 1 &&
                   SSL_CTX_check_private_key(&context) == 1;
        },
        [&files](SSL_CTX& context) { return usePem(context, files.untrusted); },
        [&files](SSL_CTX& context) { return usePem(context, files.wrongName); },
    };
    for (size_t i = 0; i < std::size(setUps); ++i) {
        impl.listeners.push_back(std::make_unique<Impl::Listener>());
        if (auto failed = impl.listen(*impl.listeners.back(), i == 0 ? serverThreads : faultServerThreads,
                                      i == 0 ? impl.options.port : 0, setUps[i])) {
            impl.shutDown();
            impl.listeners.clear();
            return i == 0 ? *failed : "the TLS fault front end: " + *failed;
        }
    }
    impl.started = true;
    return std::nullopt;
}

void ReferenceService::stop() {
    auto& impl = *impl_;
    std::lock_guard lifecycle(impl.lifecycle);
    if (!impl.started || impl.stopped)
        return;
    impl.stopped = true;
    impl.faults.stop();
    impl.shutDown();
}

void ReferenceService::Impl::shutDown() {
    for (auto& listener : listeners) {
        if (!listener->serving.joinable()) {
            if (listener->server)
                listener->server->stopServing(); // bound but never served: closes the socket
            continue;
        }
        // stop() only takes effect once the accept loop runs; repeat until serving has ended.
        std::unique_lock lock(stateMutex);
        while (!listener->finished) {
            lock.unlock();
            listener->server->stopServing();
            lock.lock();
            stateChanged.wait_for(lock, std::chrono::milliseconds(20), [&] { return listener->finished; });
        }
        lock.unlock();
        listener->serving.join();
    }
}

int ReferenceService::port() const {
    return impl_->listeners.empty() ? 0 : impl_->listeners[0]->port;
}

std::string ReferenceService::baseURL(Region region) const {
    return impl_->baseURL(port(), region);
}

std::string ReferenceService::adminURL() const {
    return "https://" + impl_->urlHost() + ":" + std::to_string(port()) + "/admin/";
}

std::string ReferenceService::tlsFaultURL(const std::string& kind, Region region) const {
    for (size_t i = 0; i < std::size(tlsFaultKinds); ++i)
        if (kind == tlsFaultKinds[i] && impl_->listeners.size() > i + 1)
            return impl_->baseURL(impl_->listeners[i + 1]->port, region);
    return {};
}

std::filesystem::path ReferenceService::caCertificatePath() const {
    return impl_->tls ? impl_->tls->caCertificate : impl_->options.stateDirectory / "ca.pem";
}

nlohmann::json ReferenceService::readyDescription() const {
    auto regional = [](auto url) {
        return nlohmann::json{{"NA", url(Region::na)}, {"EU", url(Region::eu)}, {"AU", url(Region::au)}};
    };
    nlohmann::json tlsFaults = nlohmann::json::object();
    for (const char* kind : tlsFaultKinds)
        tlsFaults[kind] = regional([&](Region region) { return tlsFaultURL(kind, region); });
    return {{"port", port()},
            {"caCertificate",
             std::filesystem::weakly_canonical(std::filesystem::absolute(caCertificatePath())).string()},
            {"baseURLs", regional([&](Region region) { return baseURL(region); })},
            {"adminURL", adminURL()},
            {"foreignPublicKey", impl_->foreignPublicKey},
            {"tlsFaultURLs", std::move(tlsFaults)}};
}

} // namespace velquor::service

// The platform seam: the facilities the library needs from the system it runs on.
//
// Each facility is a small interface. The library ships Linux implementations; a host on another
// system (or a test) sets its own in `Configuration::platform` before the first operation; a null
// member keeps the Linux one. The library keeps every service for the life of the process and
// may call it until the process ends.
//
// What every implementation must guarantee: it is safe to call from any thread at the same time;
// it does not call into `velquor::Velquor` from inside a call; and it reports failures through
// its result (a status, an empty optional, a null pointer, false), never by throwing. An exception
// that escapes anyway is caught and logged and never ends the process. Thrown while an operation
// runs on the global queue, it answers that operation 10000 (internal code 254); thrown while a
// reply is being handled, it may leave the operation unanswered.
//
// ```cpp
// struct ErrorConsole final : velquor::Console {
//     void writeLine(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
// };
// auto services = std::make_shared<velquor::PlatformServices>();
// services->console = std::make_shared<ErrorConsole>();
// velquor::Configuration configuration;
// configuration.platform = services;
// velquor::Velquor::configure(configuration);
// ```
#pragma once

#include <velquor/DeviceFacts.hpp>
#include <velquor/Export.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velquor {

// ---------------------------------------------------------------------------------------------
// Queues

enum class QualityOfService { background, utility, defaultQoS, userInitiated, userInteractive };

// A serial queue: tasks run one at a time, in submission order, on a thread of the queue's own,
// never inside the submitting call.
class VELQUOR_EXPORT SerialQueue {
public:
    using Task = std::function<void()>;
    virtual ~SerialQueue() = default;
    virtual void async(Task task) = 0;
    // Runs the task on the queue and waits for it. Must not be called from the queue itself. An
    // implementation may run it on the calling thread while the queue is otherwise idle.
    virtual void sync(Task task) = 0;
};

// The global concurrent queue and the main serial queue. The body of every asynchronous operation
// runs as one global task (quality of service `userInitiated`), so its handler may run there. A
// task runs later, never inside the submitting call, and may block for a while (key generation,
// file I/O, a serial queue's `sync`). The main queue carries the delayed device-record refresh and
// the background-refresh status read.
// Tasks still queued when the process exits are dropped; the process never waits for them.
class VELQUOR_EXPORT DispatchQueues {
public:
    using Task = std::function<void()>;
    virtual ~DispatchQueues() = default;
    virtual void asyncGlobal(QualityOfService qos, Task task) = 0;
    virtual void asyncMain(Task task) = 0;
    virtual void asyncMainAfter(std::chrono::milliseconds delay, Task task) = 0;
    // True on the thread that runs the main queue's tasks.
    virtual bool isMainQueueThread() const = 0;
    virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label, QualityOfService qos) = 0;
};

// ---------------------------------------------------------------------------------------------
// Notification centre: named in-process announcements.

class VELQUOR_EXPORT NotificationCenter {
public:
    // `sender` identifies the poster; it is only valid during the call.
    using Observer = std::function<void(const std::string& name, const void* sender)>;
    using ObserverToken = std::uint64_t;
    virtual ~NotificationCenter() = default;
    virtual ObserverToken addObserver(const std::string& name, Observer observer) = 0;
    virtual void removeObserver(ObserverToken token) = 0;
    // Calls every observer of `name` synchronously on the posting thread.
    virtual void post(const std::string& name, const void* sender) = 0;
};
// The library observes "UIApplicationWillEnterForegroundNotification", which
// `Velquor::applicationWillEnterForeground` posts.

// ---------------------------------------------------------------------------------------------
// Key store: generic-password items and RSA key items, kept across reinstalls of the host
// application (the library tells a reinstall by a key store that outlives the settings suite).
// Holds the device key pair, the service key and the items of a pairing; the library names them.
//
// Status codes are the platform's. The library tells apart success, not-found and duplicate, and
// the two codes marked below; every other value is a failure of the operation at hand. The Linux
// store reports these:

using KeyStoreStatus = std::int32_t;
inline constexpr KeyStoreStatus kKeyStoreSuccess = 0;
inline constexpr KeyStoreStatus kKeyStoreItemNotFound = -25300;
inline constexpr KeyStoreStatus kKeyStoreDuplicateItem = -25299;
// copyKeyData on a private key: how a store says it holds one.
inline constexpr KeyStoreStatus kKeyStoreNotExportable = -25308;
// A stored item that cannot be decoded. For the device private key the library counts it as
// missing and generates a new pair.
inline constexpr KeyStoreStatus kKeyStoreDecodeError = -26275;
// Plain failures: the store's files cannot be read or written; a refused parameter (bytes that are
// no PKCS#1 RSA public key, an unsupported key size, a digest of the wrong length, signing with a
// public key, equal tags); rawVerify's mismatch; a failed key generation or signature.
inline constexpr KeyStoreStatus kKeyStoreIOError = -36;
inline constexpr KeyStoreStatus kKeyStoreParameterError = -50;
inline constexpr KeyStoreStatus kKeyStoreVerifyFailed = -67808;
inline constexpr KeyStoreStatus kKeyStoreInternalError = -26276;

enum class DigestAlgorithm { sha1, sha256, sha384, sha512 };

// A key held by the key store. Private material never leaves it: a private key can only sign.
class VELQUOR_EXPORT KeyRef {
public:
    virtual ~KeyRef() = default;
    virtual bool isPrivate() const = 0;
    // Size of the modulus in bytes (256 for RSA-2048).
    virtual std::size_t blockSize() const = 0;
    // RSASSA-PKCS1-v1_5 over an already computed digest.
    virtual KeyStoreStatus rawSign(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                                   std::vector<std::uint8_t>& signature) const = 0;
    // Works with public keys, and with private keys through their public half.
    virtual KeyStoreStatus rawVerify(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                                     const std::vector<std::uint8_t>& signature) const = 0;
};

class VELQUOR_EXPORT KeyStore {
public:
    virtual ~KeyStore() = default;

    // Generic-password items, named by service and account.
    virtual KeyStoreStatus copyPassword(const std::string& service, const std::string& account,
                                        std::vector<std::uint8_t>& data) = 0;
    // kKeyStoreDuplicateItem when the item exists; the stored item is then kept.
    virtual KeyStoreStatus addPassword(const std::string& service, const std::string& account,
                                       const std::vector<std::uint8_t>& data) = 0;
    // Creates or replaces in one step: a concurrent reader sees the old or the new value.
    virtual KeyStoreStatus replacePassword(const std::string& service, const std::string& account,
                                           const std::vector<std::uint8_t>& data) = 0;
    virtual KeyStoreStatus deletePassword(const std::string& service, const std::string& account) = 0;

    // RSA key items, found by application tag (bytes; a tag may contain a zero byte).
    // Generates a pair of `bits` and stores the private key first, then the public key, so a
    // stored public key always has its private key. A private key stored under `privateTag`
    // without a public key must be replaced, not refused: that is what a generation interrupted
    // between its two writes leaves. Likewise a public key without its private key (what a removal
    // in another process may leave) is half a pair: generation makes a new pair over it. Only a
    // whole pair answers kKeyStoreDuplicateItem.
    virtual KeyStoreStatus generateRSAKeyPair(const std::string& publicTag, const std::string& privateTag,
                                              int bits) = 0;
    // The public key in PKCS#1 DER form; kKeyStoreNotExportable (and no data) for a private key.
    virtual KeyStoreStatus copyKeyData(const std::string& tag, std::vector<std::uint8_t>& data) = 0;
    virtual KeyStoreStatus copyKeyRef(const std::string& tag, std::shared_ptr<const KeyRef>& key) = 0;
    // Stores a PKCS#1 public key; kKeyStoreDuplicateItem when the tag is taken (nothing replaced).
    virtual KeyStoreStatus addKey(const std::string& tag,
                                  const std::vector<std::uint8_t>& pkcs1PublicKey) = 0;
    virtual KeyStoreStatus deleteKey(const std::string& tag) = 0;
    // Deletes both keys of a pair, so that no reader is left with half of it. The default deletes
    // the public key, then the private key; a store shared by several processes does both in one
    // step. Success when either key existed, else the public key's failure, else the private
    // key's, else kKeyStoreItemNotFound.
    virtual KeyStoreStatus deleteKeyPair(const std::string& publicTag, const std::string& privateTag) {
        const KeyStoreStatus first = deleteKey(publicTag);
        const KeyStoreStatus second = deleteKey(privateTag);
        for (KeyStoreStatus status : {first, second})
            if (status != kKeyStoreSuccess && status != kKeyStoreItemNotFound)
                return status;
        return first == kKeyStoreSuccess || second == kKeyStoreSuccess ? kKeyStoreSuccess
                                                                       : kKeyStoreItemNotFound;
    }
    // Builds a public key in memory from PKCS#1 DER without storing it; null when refused.
    virtual std::shared_ptr<const KeyRef>
    createPublicKey(const std::vector<std::uint8_t>& pkcs1PublicKey) = 0;
};

// ---------------------------------------------------------------------------------------------
// Preferences: named settings suites that are removed together with the host application. The
// library keeps one suite, "com.marvisTel.VelquorSDK": whether the device is paired, and a probe
// it writes, synchronizes and reads back at start-up to tell a reinstall from a suite it cannot
// use (a suite that does not keep what was written changes nothing).

class VELQUOR_EXPORT SettingsSuite {
public:
    virtual ~SettingsSuite() = default;
    virtual std::optional<bool> boolValue(const std::string& key) = 0;
    virtual std::optional<std::string> stringValue(const std::string& key) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void remove(const std::string& key) = 0;
    // Writes pending changes to storage; false when that failed.
    virtual bool synchronize() = 0;
};

class VELQUOR_EXPORT Preferences {
public:
    virtual ~Preferences() = default;
    // Null when the suite cannot be opened (treated as "not paired"; nothing is wiped).
    virtual std::shared_ptr<SettingsSuite> open(const std::string& suiteName) = 0;
};

// ---------------------------------------------------------------------------------------------
// Bundle facts of the host application: its identity and versions for the device data and the
// log, and the translations of the notification buttons. The built-in one answers from
// `Configuration::hostApplication` and "Localizable.json" in the application directory.

class VELQUOR_EXPORT BundleInfo {
public:
    virtual ~BundleInfo() = default;
    // Keys: "CFBundleIdentifier", "CFBundleDisplayName", "CFBundleName",
    // "CFBundleShortVersionString", "CFBundleVersion". Absent when the bundle has no such value.
    virtual std::optional<std::string> mainBundleValue(const std::string& key) const = 0;
    // Kept for existing hosts; the library takes its own version from its build and never asks.
    virtual std::optional<std::string> frameworkBundleValue(const std::string& key) const {
        (void)key;
        return std::nullopt;
    }
    // The host's translation of `key`, or `fallback` when it has none.
    virtual std::string localizedString(const std::string& key, const std::string& fallback) const = 0;
};

// ---------------------------------------------------------------------------------------------
// Console: the process's standard output by default. The library writes the version line at
// start-up ("Velquor Version " and VELQUOR_SDK_VERSION), the claims of each reply to a request
// (before their signature is checked) and a few failure messages (a log line it cannot decrypt, a
// log file it cannot rotate). Not for secrets: the claims hold the service's ids for the device
// and its record.

class VELQUOR_EXPORT Console {
public:
    virtual ~Console() = default;
    virtual void writeLine(const std::string& line) = 0;
};

// ---------------------------------------------------------------------------------------------
// HTTP: one request out, one reply or one transport error back.

struct HttpRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::uint8_t> body;
    // An inactivity limit, not a deadline: the transfer fails when connecting takes longer, or
    // when no byte moves either way for this long. A large upload on a slow link is not cut off.
    std::chrono::seconds timeout{60};
};

struct HttpReply {
    int status = 0; // 0: not an HTTP response
    // In the order received, names in the letter case received; a repeated header appears once
    // per occurrence.
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::uint8_t> body;
};

// A transport failure in the platform's URL-loading terms: domain "NSURLErrorDomain" and its
// codes (-1001 timed out, -1003 host not found, -1004 cannot connect, -1005 connection lost,
// -1009 not connected to the internet, -1200 secure connection failed, -1202 untrusted server
// certificate, -1 unknown).
struct HttpError {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
};

// Sends HTTP requests; many may be in flight at once. Thread-safe: `send` may be called from
// any thread, the network thread included (a completion may send the next request).
//
// The contract every implementation keeps:
//  - `send` returns at once, never waiting for the network, and never calls the completion
//    itself, not even for a request it refuses.
//  - The completion runs exactly once per request, with exactly one argument present: the
//    reply for any HTTP response whatever its status, or the error when no response came.
//  - Completions run on the transport's network thread. A completion that blocks holds up
//    every transfer of the process; one that waits for another library operation (which needs
//    that same thread for its reply) deadlocks. Move long work to a queue of your own.
//  - Once the process has begun to exit, no completion runs.
class HttpTransport {
public:
    using Completion = std::function<void(std::optional<HttpReply>, std::optional<HttpError>)>;
    virtual ~HttpTransport() = default;
    virtual void send(HttpRequest request, Completion completion) = 0;
};

// ---------------------------------------------------------------------------------------------

// The services the library runs on. A null member means the Linux implementation: the process's
// thread-pool queues, an in-process notification centre, a file key store under
// `Configuration::keyStoreDirectory`, file settings under `Configuration::applicationDirectory`,
// bundle facts from `Configuration::hostApplication`, standard output, the Linux device facts and
// routes, and a libcurl transport trusting `Configuration::trustedCertificates`.
struct PlatformServices {
    std::shared_ptr<DispatchQueues> queues;
    std::shared_ptr<NotificationCenter> notificationCenter;
    std::shared_ptr<KeyStore> keyStore;
    std::shared_ptr<Preferences> preferences;
    std::shared_ptr<BundleInfo> bundle;
    std::shared_ptr<Console> console;
    // Device, permission and network facts (<velquor/DeviceFacts.hpp>).
    std::shared_ptr<DeviceFacts> deviceFacts;
    std::shared_ptr<ReachabilityFlagSource> reachabilityFlags;
    std::shared_ptr<HttpTransport> http;
};

} // namespace velquor

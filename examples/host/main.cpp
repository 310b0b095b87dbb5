// velquor-host: a host application's whole session, in the order of docs/INTEGRATION.md, against a
// running reference service. It starts nothing itself:
//
//   velquor-host <ready file of a running velquor-reference-service>
//
// It configures the library for the service, shows the banner's buttons, sets a push token,
// pairs with a pairing key, reads the device record, makes a signed mobile payload, pairs again
// through an identity token, approves one authentication from its own screen and denies another
// from the banner, forwards a foreground event, uploads its log, and removes its local data.
// Every step prints what it did; the first failing step ends the run with exit status 1.
//
// Everything the user or the platform would do (type a pairing key, sign in, receive a push
// notification) is done through the service's admin interface (AdminClient).
#include "AdminClient.hpp"

#include <velquor/Velquor.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using velquor::Error;
using velquor::Json;
using velquor::Velquor;

namespace {

// Pairing keys starting "02" pair in Europe; the service mints them per region.
constexpr const char* kRegion = "EU";
constexpr auto kAnswerDeadline = std::chrono::seconds(30);

void step(const std::string& title) {
    std::cout << "\n== " << title << " ==" << std::endl;
}

std::string describe(const Error& error) {
    return "error " + std::to_string(error.code()) + " (" + error.localizedDescription() +
           ") userInfo=" + error.userInfo().dump();
}

// Starts an asynchronous operation and waits for its handler. Handlers run later, on the library's
// threads: a host that returned from main() first would never see them. The promise is shared
// with the handler, so an answer arriving after the deadline still has somewhere to go.
template <typename... Results, typename Operation>
std::tuple<Results...> waitFor(const std::string& operation, Operation start) {
    auto answer = std::make_shared<std::promise<std::tuple<Results...>>>();
    auto future = answer->get_future();
    start([answer](Results... results) { answer->set_value({std::move(results)...}); });
    if (future.wait_for(kAnswerDeadline) != std::future_status::ready)
        throw std::runtime_error(operation + ": no answer within 30 s");
    return future.get();
}

// For the operations whose handler only takes an error.
void expectSuccess(const std::string& operation, const std::function<void(velquor::ErrorHandler)>& start) {
    auto [error] = waitFor<std::optional<Error>>(operation, start);
    if (error)
        throw std::runtime_error(operation + ": " + describe(*error));
    std::cout << operation << ": done" << std::endl;
}

std::filesystem::path makePrivateDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-host-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    return pattern;
}

void configure(const example::ServiceAddresses& service, const std::filesystem::path& data) {
    step("configure: the reference service's addresses and CA, this run's own device data");
    velquor::Configuration configuration;
    configuration.northAmericaBaseURL = service.northAmericaBaseURL;
    configuration.europeBaseURL = service.europeBaseURL;
    configuration.asiaPacificBaseURL = service.asiaPacificBaseURL;
    configuration.trustedCertificates = service.caCertificate;
    // A fresh key store each run: a device paired with an earlier service would refuse this one's
    // replies, which are signed with another key.
    configuration.keyStoreDirectory = data / "keystore";
    configuration.applicationDirectory = data / "application";
    configuration.hostApplication = {.bundleIdentifier = "com.example.velquor-host",
                                     .displayName = "Velquor Host",
                                     .name = "VelquorHost",
                                     .shortVersion = "1.0",
                                     .buildVersion = "1"};
    if (!Velquor::configure(configuration))
        throw std::runtime_error("configure refused the configuration");
    std::cout << "EU " << service.europeBaseURL << ", trusting " << service.caCertificate.string()
              << "\ndevice data in " << data.string() << std::endl;

    // The titles of the banner's buttons, in the host's language.
    std::filesystem::create_directories(configuration.applicationDirectory);
    std::ofstream(configuration.applicationDirectory / "Localizable.json")
        << R"({"notification.confirm": "Approve", "notification.deny": "Reject"})";
}

void showCategories() {
    step("getUNNotificationCategories: what the host registers for the banner");
    for (const auto& category : Velquor::getUNNotificationCategories())
        for (const auto& action : category.actions)
            std::cout << category.identifier << ": " << action.identifier << " shown as \"" << action.title
                      << "\", options " << action.options << std::endl;
}

void setPushToken() {
    step("setDeviceToken: the platform's push token, before pairing in every run");
    const std::vector<std::uint8_t> token(32, 0xA5); // the platform hands this over
    expectSuccess("setDeviceToken", [&](auto handler) {
        Velquor::setDeviceToken(token, velquor::APNSDeviceTokenType::sandbox, handler);
    });
}

void pairWithKey(const example::AdminClient& admin) {
    step("pair: with a pairing key the user obtained from the service");
    const std::string key = admin.mintPairingKey(kRegion);
    std::cout << "pairing key " << key << std::endl;
    expectSuccess("pair", [&](auto handler) { Velquor::pair(key, handler); });
}

// The device record at the service; its "id" names the device there.
Json readDeviceRecord() {
    step("getInfo: the device record");
    auto [record, error] = waitFor<std::optional<Json>, std::optional<Error>>(
        "getInfo", [](auto handler) { Velquor::getInfo(handler); });
    if (error)
        throw std::runtime_error("getInfo: " + describe(*error));
    std::cout << "device " << record->value("id", "") << " in " << record->value("region", "")
              << ", push token " << record->value("pushToken", "") << std::endl;
    return *record;
}

void showMobilePayload() {
    step("generateMobilePayload: a signed token for the host's own server");
    const std::string token = Velquor::generateMobilePayload(); // throws Error
    const std::size_t signature = token.rfind('.');
    if (signature == std::string::npos || signature + 1 == token.size())
        throw std::runtime_error("generateMobilePayload: the token is not signed");
    std::cout << token.substr(0, 60) << "... (" << token.size() << " characters, signature "
              << token.size() - signature - 1 << ")" << std::endl;
}

void pairWithIdentityToken(const example::AdminClient& admin) {
    step("processIdToken and PairingObject::approve: pairing through the host's sign-in");
    const std::string idToken = admin.mintIdentityToken(kRegion);
    std::optional<velquor::PairingObject> pairing;
    std::optional<Error> refused;
    // Synchronous: the handler has run when processIdToken returns. (An exception thrown by a
    // handler never reaches the caller: the library catches and logs it.)
    Velquor::processIdToken(idToken,
                            [&](std::optional<velquor::PairingObject> object, std::optional<Error> error) {
                                pairing = std::move(object);
                                refused = std::move(error);
                            });
    if (refused)
        throw std::runtime_error("processIdToken: " + describe(*refused));
    if (!pairing)
        throw std::runtime_error("processIdToken: the token asks for no pairing");
    std::cout << "the token carries pairing key " << pairing->pairingKey() << std::endl;
    expectSuccess("PairingObject::approve", [&](auto handler) { pairing->approve(handler); });
}

void checkRecorded(const example::AdminClient& admin, const std::string& authenticationId,
                   const std::string& expected) {
    const std::string status = admin.authenticationStatus(authenticationId);
    std::cout << "the service recorded " << status << std::endl;
    if (status != expected)
        throw std::runtime_error("the service recorded " + status + ", not " + expected);
}

void approveFromTheApp(const example::AdminClient& admin, const std::string& deviceId) {
    step("processRemoteNotification and NotificationObject::approve: the host's own screen");
    const auto raised = admin.raiseAuthentication(deviceId); // the platform delivers raised.userInfo
    auto [request, error] = waitFor<std::optional<velquor::NotificationObject>, std::optional<Error>>(
        "processRemoteNotification",
        [&](auto handler) { Velquor::processRemoteNotification(raised.userInfo, handler); });
    if (error)
        throw std::runtime_error("processRemoteNotification: " + describe(*error));
    if (!request)
        throw std::runtime_error("processRemoteNotification: not an authentication request");
    std::cout << "an authentication request; the user has " << request->timeoutDuration() << " s"
              << std::endl;
    const velquor::NotificationObject shown = *request; // clang 14 cannot capture a structured binding
    expectSuccess("NotificationObject::approve", [&](auto handler) { shown.approve("FACE_ID", handler); });
    checkRecorded(admin, raised.id, "APPROVED");
}

void denyFromTheBanner(const example::AdminClient& admin, const std::string& deviceId) {
    step("processRemoteNotificationAction: \"Deny\" tapped on the banner");
    const auto raised = admin.raiseAuthentication(deviceId);
    auto [object, error] = waitFor<std::optional<velquor::NotificationObject>, std::optional<Error>>(
        "processRemoteNotificationAction",
        [&](auto handler) { Velquor::processRemoteNotificationAction("Deny", raised.userInfo, handler); });
    if (error)
        throw std::runtime_error("processRemoteNotificationAction: " + describe(*error));
    std::cout << "answered from the banner" << (object ? ", and an object came back (unexpected)" : "")
              << std::endl;
    checkRecorded(admin, raised.id, "DENIED");
}

void enterForeground() {
    step("applicationWillEnterForeground: the platform's event, forwarded");
    // The library refreshes the permission facts and, a second later, the device record.
    Velquor::applicationWillEnterForeground();
    std::cout << "forwarded" << std::endl;
}

// The scripts/demo output names the support id; the archive is what support receives.
void sendLogs(const example::AdminClient& admin) {
    step("sendLogs: the diagnostic log, zipped and uploaded for support");
    auto [supportId, error] = waitFor<std::optional<std::string>, std::optional<Error>>(
        "sendLogs", [](auto handler) { Velquor::sendLogs(handler); });
    if (error)
        throw std::runtime_error("sendLogs: " + describe(*error));
    std::cout << "support id " << *supportId << std::endl;
    const std::string archive = admin.uploadedArchive(*supportId);
    // A ZIP local file header, then the name of the one entry at offset 30.
    const std::string entry = "velquorv2.log";
    if (archive.compare(0, 4, "PK\x03\x04") != 0 || archive.compare(30, entry.size(), entry) != 0)
        throw std::runtime_error("the service filed no log archive under " + *supportId);
    std::cout << "the service filed a " << archive.size() << "-byte archive holding " << entry << std::endl;
}

void removeLocalData() {
    step("removeVelquorLocalData: the device forgets its pairing");
    Velquor::removeVelquorLocalData();
    auto [record, error] = waitFor<std::optional<Json>, std::optional<Error>>(
        "getInfo", [](auto handler) { Velquor::getInfo(handler); });
    if (!error || error->code() != static_cast<int>(velquor::ErrorCode::deviceNotPaired))
        throw std::runtime_error("getInfo after removal: expected deviceNotPaired");
    std::cout << "getInfo now answers " << describe(*error) << std::endl;
}

void runSession(const std::filesystem::path& readyFile, const std::filesystem::path& data) {
    const example::ServiceAddresses service = example::AdminClient::readReadyFile(readyFile);
    const example::AdminClient admin(service);
    configure(service, data);
    showCategories();
    setPushToken();
    pairWithKey(admin);
    const Json first = readDeviceRecord();
    showMobilePayload();
    pairWithIdentityToken(admin);
    const Json second = readDeviceRecord();
    if (second.value("id", "") == first.value("id", ""))
        throw std::runtime_error("the second pairing did not give the device a new record");
    approveFromTheApp(admin, second.value("id", ""));
    denyFromTheBanner(admin, second.value("id", ""));
    enterForeground();
    sendLogs(admin);
    removeLocalData();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: velquor-host <ready file of a running velquor-reference-service>\n";
        return 2;
    }
    int status = 0;
    std::filesystem::path data;
    try {
        data = makePrivateDirectory();
        runSession(argv[1], data);
        std::cout << "\nsession complete" << std::endl;
    } catch (const std::exception& failure) { // velquor::Error from generateMobilePayload included
        std::cout << "\nFAILED: " << failure.what() << std::endl;
        status = 1;
    }
    std::error_code ignored;
    if (!data.empty())
        std::filesystem::remove_all(data, ignored);
    // The library's threads are never joined: the process may end while they wait for work.
    return status;
}

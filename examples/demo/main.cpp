// velquor-demo: a host application's session against the reference service (scripts/demo starts
// the service and hands over its ready file). It configures the library with the service's base
// addresses and CA, sets a push token, pairs with a fresh pairing key, prints the device record
// and a signed mobile payload, pairs a second time through an identity token, approves one
// authentication and denies another from the banner, and uploads the log.
//
//   velquor-demo --ready-file <service ready file> [--data-dir <empty private directory>]
//
// Every step prints what it did; the first failing step ends the run with exit status 1.
#include "AdminClient.hpp"
#include "PayloadDemo.hpp"

#include <velquor/Velquor.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

using namespace velquor;

namespace {

constexpr auto kAnswerDeadline = std::chrono::seconds(30);
// The region both pairings are made in: the pairing key's first two characters choose it.
constexpr const char* kRegion = "EU";

// A step that failed; main prints it and exits with status 1.
struct StepFailed {
    std::string what;
};

void section(const std::string& title) {
    std::cout << "\n== " << title << " ==" << std::endl;
}

std::string describe(const Error& error) {
    return "error code=" + std::to_string(error.code()) +
           " internalErrorCode=" + error.userInfo().value("internalErrorCode", Json()).dump() +
           " type=" + error.userInfo().value("type", std::string()) + " message=\"" +
           error.localizedDescription() + "\"";
}

// Waits for an asynchronous answer, but never forever.
template <typename T> T await(std::future<T> future, const std::string& operation) {
    if (future.wait_for(kAnswerDeadline) != std::future_status::ready)
        throw StepFailed{operation + ": no answer within " + std::to_string(kAnswerDeadline.count()) + " s"};
    return future.get();
}

// Runs an operation whose handler takes only an error; a present error fails the step.
template <typename Operation> void expectNoError(const std::string& operation, Operation start) {
    std::promise<std::optional<Error>> answer;
    start([&answer](std::optional<Error> error) { answer.set_value(std::move(error)); });
    if (auto error = await(answer.get_future(), operation))
        throw StepFailed{operation + ": " + describe(*error)};
    std::cout << operation << ": done, no error" << std::endl;
}

struct Options {
    std::filesystem::path readyFile;
    std::filesystem::path dataDirectory; // empty: a new temporary one, removed at the end
};

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--ready-file")
            options.readyFile = argv[i + 1];
        else if (name == "--data-dir")
            options.dataDirectory = argv[i + 1];
        else
            return std::nullopt;
    }
    if (options.readyFile.empty() || argc % 2 == 0)
        return std::nullopt;
    return options;
}

std::filesystem::path makeDataDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw StepFailed{"cannot create a temporary directory"};
    return pattern;
}

void configureLibrary(const demo::ServiceAddresses& service, const std::filesystem::path& directory) {
    section("Configuration: the reference service's addresses and CA");
    Configuration configuration;
    configuration.northAmericaBaseURL = service.northAmericaBaseURL;
    configuration.europeBaseURL = service.europeBaseURL;
    configuration.asiaPacificBaseURL = service.asiaPacificBaseURL;
    configuration.trustedCertificates = service.caCertificate;
    configuration.keyStoreDirectory = directory / "keystore";
    configuration.applicationDirectory = directory / "application";
    configuration.hostApplication = {"com.example.velquor-demo", "Velquor Demo", "VelquorDemo", "1.0", "1"};
    std::cout << "NA " << service.northAmericaBaseURL << "\nEU " << service.europeBaseURL << "\nAU "
              << service.asiaPacificBaseURL << "\ntrusted CA " << service.caCertificate.string()
              << "\ndevice data " << directory.string() << std::endl;
    if (!Velquor::configure(configuration))
        throw StepFailed{"configure refused the configuration"};
}

void setPushToken() {
    section("setDeviceToken: a sandbox push token, kept in memory for pairing");
    std::vector<std::uint8_t> token(32);
    for (std::size_t i = 0; i < token.size(); ++i)
        token[i] = static_cast<std::uint8_t>(0xA0 + i);
    expectNoError("setDeviceToken", [&](auto handler) {
        Velquor::setDeviceToken(token, APNSDeviceTokenType::sandbox, std::move(handler));
    });
}

std::string mint(const demo::AdminClient& admin, const std::string& path, const std::string& member) {
    auto reply = admin.post(path, {{"region", kRegion}});
    if (!reply || !reply->contains(member) || !(*reply)[member].is_string())
        throw StepFailed{"the admin interface gave no " + member};
    return (*reply)[member].get<std::string>();
}

void pairWithKey(const demo::AdminClient& admin) {
    section(std::string("pair: a fresh pairing key for ") + kRegion + " from the admin interface");
    const std::string key = mint(admin, "pairing-keys", "pairingKey");
    std::cout << "pairing key: " << key << std::endl;
    expectNoError("pair", [&](auto handler) { Velquor::pair(key, std::move(handler)); });
}

// The device record at the service; its "id" is the device's id there.
Json showDeviceRecord(const std::string& title) {
    section("getInfo: " + title);
    std::promise<std::pair<std::optional<Json>, std::optional<Error>>> answer;
    Velquor::getInfo([&](std::optional<Json> info, std::optional<Error> error) {
        answer.set_value({std::move(info), std::move(error)});
    });
    auto [info, error] = await(answer.get_future(), "getInfo");
    if (error)
        throw StepFailed{"getInfo: " + describe(*error)};
    if (!info || !info->is_object())
        throw StepFailed{"getInfo: no device record"};
    std::cout << info->dump(2) << std::endl;
    return *info;
}

void showMobilePayload() {
    section("generateMobilePayload: signed with the device key now that it is paired");
    if (!demo::printMobilePayload(std::cout, true))
        throw StepFailed{"generateMobilePayload: no signed payload"};
}

void pairWithIdentityToken(const demo::AdminClient& admin) {
    section("processIdToken and PairingObject::approve: a second pairing through an identity token");
    const std::string idToken = mint(admin, "identity-tokens", "idToken");
    std::cout << "identity token: " << idToken.substr(0, 40) << "... (" << idToken.size() << " characters)"
              << std::endl;
    std::optional<PairingObject> object;
    std::optional<Error> refused;
    Velquor::processIdToken(idToken, [&](std::optional<PairingObject> made, std::optional<Error> error) {
        object = std::move(made);
        refused = std::move(error);
    });
    if (refused)
        throw StepFailed{"processIdToken: " + describe(*refused)};
    if (!object)
        throw StepFailed{"processIdToken: no pairing object"};
    std::cout << "pairing object with key " << object->pairingKey() << std::endl;
    expectNoError("approve", [&](auto handler) { object->approve(std::move(handler)); });
}

// The service raises an authentication for the device and hands back the push dictionary it would
// send; the demo passes it on as a host passes on a received notification.
std::pair<std::string, Json> raiseAuthentication(const demo::AdminClient& admin,
                                                 const std::string& deviceId) {
    auto raised = admin.post("devices/" + deviceId + "/authentications", Json::object());
    if (!raised || !raised->contains("authenticationId") || !raised->contains("userInfo"))
        throw StepFailed{"the admin interface raised no authentication"};
    std::cout << "authentication " << (*raised)["authenticationId"].get<std::string>() << ", notification "
              << (*raised)["userInfo"].dump() << std::endl;
    return {(*raised)["authenticationId"].get<std::string>(), (*raised)["userInfo"]};
}

void showRecordedAnswer(const demo::AdminClient& admin, const std::string& authenticationId,
                        const std::string& expectedStatus) {
    auto recorded = admin.get("authentications/" + authenticationId);
    if (!recorded)
        throw StepFailed{"the admin interface has no record of the authentication"};
    std::cout << "the service recorded: " << recorded->dump() << std::endl;
    if (recorded->value("status", "") != expectedStatus)
        throw StepFailed{"the service recorded status " + recorded->value("status", "") + ", not " +
                         expectedStatus};
}

void approveAuthentication(const demo::AdminClient& admin, const std::string& deviceId) {
    section("processRemoteNotification and NotificationObject::approve with an authentication method");
    const auto [id, userInfo] = raiseAuthentication(admin, deviceId);
    std::promise<std::pair<std::optional<NotificationObject>, std::optional<Error>>> read;
    Velquor::processRemoteNotification(
        userInfo, [&](std::optional<NotificationObject> object, std::optional<Error> error) {
            read.set_value({std::move(object), std::move(error)});
        });
    auto [object, error] = await(read.get_future(), "processRemoteNotification");
    if (error)
        throw StepFailed{"processRemoteNotification: " + describe(*error)};
    if (!object)
        throw StepFailed{"processRemoteNotification: the notification gave no object"};
    std::cout << "an authentication request, to be answered within " << object->timeoutDuration() << " s"
              << std::endl;
    const NotificationObject request = *object; // a lambda cannot capture a structured binding in clang 14
    expectNoError("approve", [&](auto handler) { request.approve("FACE_ID", std::move(handler)); });
    showRecordedAnswer(admin, id, "APPROVED");
}

void denyFromBanner(const demo::AdminClient& admin, const std::string& deviceId) {
    section("processRemoteNotificationAction: \"Deny\" tapped on the banner");
    const auto [id, userInfo] = raiseAuthentication(admin, deviceId);
    std::promise<std::pair<bool, std::optional<Error>>> answered;
    Velquor::processRemoteNotificationAction(
        "Deny", userInfo, [&](std::optional<NotificationObject> object, std::optional<Error> error) {
            answered.set_value({object.has_value(), std::move(error)});
        });
    auto [gotObject, error] = await(answered.get_future(), "processRemoteNotificationAction");
    if (error)
        throw StepFailed{"processRemoteNotificationAction: " + describe(*error)};
    std::cout << "processRemoteNotificationAction: done, no error, "
              << (gotObject ? "an object (unexpected)" : "no object") << std::endl;
    showRecordedAnswer(admin, id, "DENIED");
}

// The script reads the "support id" line to fetch the archive the service filed.
void sendLogs() {
    section("sendLogs: the diagnostic log, zipped and uploaded for support");
    std::promise<std::pair<std::optional<std::string>, std::optional<Error>>> answer;
    Velquor::sendLogs([&](std::optional<std::string> supportId, std::optional<Error> error) {
        answer.set_value({std::move(supportId), std::move(error)});
    });
    auto [supportId, error] = await(answer.get_future(), "sendLogs");
    if (error)
        throw StepFailed{"sendLogs: " + describe(*error)};
    if (!supportId)
        throw StepFailed{"sendLogs: no support id"};
    std::cout << "support id " << *supportId << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << "usage: velquor-demo --ready-file <service ready file> [--data-dir <directory>]\n";
        return 2;
    }
    std::filesystem::path temporary;
    try {
        const auto service = demo::readReadyFile(options->readyFile);
        if (!service)
            throw StepFailed{"the service's ready file is unusable"};
        const demo::AdminClient admin(*service);
        if (options->dataDirectory.empty())
            temporary = makeDataDirectory();
        configureLibrary(*service, temporary.empty() ? options->dataDirectory : temporary);

        setPushToken();
        pairWithKey(admin);
        const Json first = showDeviceRecord("the device record after the first pairing");
        showMobilePayload();
        pairWithIdentityToken(admin);
        const Json second = showDeviceRecord("the device record after the second pairing");
        if (second.value("id", "") == first.value("id", ""))
            throw StepFailed{"the second pairing did not give the device a new record"};
        std::cout << "\nfirst device id " << first.value("id", "") << ", second device id "
                  << second.value("id", "") << std::endl;

        approveAuthentication(admin, second.value("id", ""));
        denyFromBanner(admin, second.value("id", ""));
        sendLogs();
    } catch (const StepFailed& failed) {
        std::cout << "\nFAILED: " << failed.what << std::endl;
        std::error_code ignored;
        if (!temporary.empty())
            std::filesystem::remove_all(temporary, ignored);
        return 1;
    }
    std::error_code ignored;
    if (!temporary.empty())
        std::filesystem::remove_all(temporary, ignored);
    std::cout << "\ndemo passed" << std::endl;
    return 0;
}

// velquor-demo: starts the library the way a host application would, in a fresh temporary data
// directory, and shows what each public operation answers on a device that is not paired.
//
// Only <velquor/Velquor.hpp> is used. Each section is one small function so later builds can add
// theirs (a full run against the reference service).
#include "PayloadDemo.hpp"

#include <velquor/Velquor.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <system_error>

#include <unistd.h>

using namespace velquor;

namespace {

constexpr auto kAnswerDeadline = std::chrono::seconds(10);

void section(const std::string& title) {
    std::cout << "\n== " << title << " ==" << std::endl;
}

std::string describe(const std::optional<Error>& error) {
    if (!error)
        return "no error";
    return "error code=" + std::to_string(error->code()) +
           " internalErrorCode=" + error->userInfo().value("internalErrorCode", Json()).dump() +
           " type=" + error->userInfo().value("type", std::string()) + " message=\"" +
           error->localizedDescription() + "\"";
}

// Waits for an asynchronous answer, but never forever.
template <typename T> std::optional<T> await(std::future<T> future) {
    if (future.wait_for(kAnswerDeadline) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

std::filesystem::path makeDataDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::cerr << "cannot create a temporary directory\n";
        std::exit(1);
    }
    return pattern;
}

bool startLibrary(const std::filesystem::path& directory) {
    section("Configuration");
    Configuration configuration;
    configuration.keyStoreDirectory = directory / "keystore";
    configuration.applicationDirectory = directory / "application";
    configuration.hostApplication = {"com.example.velquor-demo", "Velquor Demo", "VelquorDemo", "1.0", "1"};
    bool accepted = Velquor::configure(configuration);
    std::cout << "data directory: " << directory.string() << "\n"
              << "configure accepted: " << (accepted ? "yes" : "no") << std::endl;
    return accepted;
}

void showVersionSymbols() {
    section("Version symbols");
    std::string text = VelquorVersionString;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::cout << "VelquorVersionString: " << text << " ("
              << std::char_traits<char>::length(VelquorVersionString) << " bytes)\n"
              << "VelquorVersionNumber: " << VelquorVersionNumber << std::endl;
}

void showCategories() {
    section("Notification categories (starts the library)");
    for (const auto& category : Velquor::getUNNotificationCategories()) {
        std::cout << "category \"" << category.identifier << "\"\n";
        for (const auto& action : category.actions)
            std::cout << "  action \"" << action.identifier << "\" title \"" << action.title << "\" options "
                      << action.options << "\n";
    }
    std::cout << std::flush;
}

void showGetInfo() {
    section("getInfo on an unpaired device");
    std::promise<std::string> answer;
    Velquor::getInfo([&](std::optional<Json> info, std::optional<Error> error) {
        answer.set_value((info ? "info " + info->dump() + ", " : std::string("no info, ")) + describe(error));
    });
    auto text = await(answer.get_future());
    std::cout << (text ? *text : "no answer within the deadline") << std::endl;
}

void showSendLogs() {
    section("sendLogs on an unpaired device");
    bool answeredBeforeReturn = false;
    Velquor::sendLogs([&](std::optional<std::string> supportId, std::optional<Error> error) {
        answeredBeforeReturn = true;
        std::cout << (supportId ? "support id " + *supportId + ", " : std::string("no support id, "))
                  << describe(error) << std::endl;
    });
    std::cout << "answered before sendLogs returned: " << (answeredBeforeReturn ? "yes" : "no") << std::endl;
}

void showDeviceToken() {
    section("setDeviceToken (kept in memory for pairing)");
    std::promise<std::string> answer;
    Velquor::setDeviceToken({0x00, 0xAB, 0x10}, APNSDeviceTokenType::sandbox,
                            [&](std::optional<Error> error) { answer.set_value(describe(error)); });
    auto text = await(answer.get_future());
    std::cout << (text ? *text : "no answer within the deadline") << std::endl;
}

void showPairing() {
    section("pair (not available in this build)");
    std::promise<std::string> answer;
    Velquor::pair("01DEMOKEY", [&](std::optional<Error> error) { answer.set_value(describe(error)); });
    auto text = await(answer.get_future());
    std::cout << (text ? *text : "no answer within the deadline") << std::endl;
}

// An unsigned identity token: {"alg":"none","typ":"JWT"} . {"vq.enrollment":{"status":"SUCCESS",
// "pairingKey":"01DEMOKEY"}} . (no signature), in Base64URL.
constexpr const char* kIdentityToken =
    "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0."
    "eyJ2cS5lbnJvbGxtZW50Ijp7InN0YXR1cyI6IlNVQ0NFU1MiLCJwYWlyaW5nS2V5IjoiMDFERU1PS0VZIn19.";

void showIdentityToken() {
    section("processIdToken and PairingObject::approve");
    std::optional<PairingObject> pending;
    Velquor::processIdToken(kIdentityToken,
                            [&](std::optional<PairingObject> object, std::optional<Error> error) {
                                std::cout << (object ? "pairing object with key " + object->pairingKey()
                                                     : std::string("no pairing object"))
                                          << ", " << describe(error) << std::endl;
                                pending = std::move(object);
                            });
    Velquor::processIdToken("not-a-token", [](std::optional<PairingObject>, std::optional<Error> error) {
        std::cout << "malformed token: " << describe(error) << std::endl;
    });
    if (!pending)
        return;
    std::promise<std::string> answer;
    pending->approve([&](std::optional<Error> error) { answer.set_value(describe(error)); });
    auto text = await(answer.get_future());
    std::cout << "approve: " << (text ? *text : "no answer within the deadline") << std::endl;
}

void showNotifications() {
    section("Push notifications (an authentication request without an answer address)");
    const Json payload = {{"Velquor", "eyJ0eXBlIjoiQVVUSEVOVElDQVRJT04ifQ=="}};
    std::promise<std::string> processed, action;
    Velquor::processRemoteNotification(
        payload, [&](std::optional<NotificationObject> object, std::optional<Error> error) {
            processed.set_value((object ? "object, " : "no object, ") + describe(error));
        });
    Velquor::processRemoteNotificationAction(
        "Authenticate", payload, [&](std::optional<NotificationObject> object, std::optional<Error> error) {
            action.set_value((object ? "object, " : "no object, ") + describe(error));
        });
    auto first = await(processed.get_future());
    auto second = await(action.get_future());
    std::cout << "processRemoteNotification: " << (first ? *first : "no answer") << "\n"
              << "processRemoteNotificationAction: " << (second ? *second : "no answer") << std::endl;
}

void showMobilePayload() {
    section("generateMobilePayload (unsigned until the device is paired)");
    velquor::demo::printMobilePayload(std::cout);
}

void showLocalData() {
    section("Local data");
    Velquor::setDevicePairedAfterReinstall(true);
    std::cout << "setDevicePairedAfterReinstall(true): the pairing would survive a reinstall" << std::endl;
    Velquor::setDevicePairedAfterReinstall(false);
    std::cout << "setDevicePairedAfterReinstall(false): a reinstall would clean up" << std::endl;
    Velquor::removeVelquorLocalData();
    std::cout << "removeVelquorLocalData(): done" << std::endl;
}

} // namespace

int main() {
    const auto directory = makeDataDirectory();
    if (!startLibrary(directory))
        return 1;
    showVersionSymbols();
    showCategories();
    showGetInfo();
    showSendLogs();
    showDeviceToken();
    showPairing();
    showIdentityToken();
    showNotifications();
    showMobilePayload();
    showLocalData();
    Velquor::applicationWillEnterForeground();

    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    std::cout << "\ndone" << std::endl;
    return 0;
}

// Links against an installed Velquor: checks the exported version symbols against each other,
// and catches the Error generateMobilePayload throws when the host's key store fails (the
// library's exception type crosses from a shared libvelquor into the host).
#include <velquor/Velquor.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

// A host key store that fails every operation.
class FailingKeyStore final : public velquor::KeyStore {
public:
    using Bytes = std::vector<std::uint8_t>;
    velquor::KeyStoreStatus copyPassword(const std::string&, const std::string&, Bytes&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus addPassword(const std::string&, const std::string&, const Bytes&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus replacePassword(const std::string&, const std::string&, const Bytes&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus deletePassword(const std::string&, const std::string&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus generateRSAKeyPair(const std::string&, const std::string&, int) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus copyKeyData(const std::string&, Bytes&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus copyKeyRef(const std::string&, std::shared_ptr<const velquor::KeyRef>&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus addKey(const std::string&, const Bytes&) override {
        return velquor::kKeyStoreIOError;
    }
    velquor::KeyStoreStatus deleteKey(const std::string&) override { return velquor::kKeyStoreIOError; }
    std::shared_ptr<const velquor::KeyRef> createPublicKey(const Bytes&) override { return nullptr; }
};

} // namespace

int main() {
    const std::string expected = "@(#)PROGRAM:Velquor  PROJECT:Velquor-" +
                                 std::to_string(static_cast<long>(VelquorVersionNumber)) + "\n";
    if (expected != VelquorVersionString)
        return 1;
    auto code = velquor::errorCodeFromRawValue(10008);
    if (!code || *code != velquor::ErrorCode::deviceNotPaired)
        return 2;

    const auto directory = std::filesystem::temp_directory_path() /
                           ("velquor-consumer-" + std::to_string(static_cast<long>(::getpid())));
    velquor::Configuration configuration;
    configuration.keyStoreDirectory = directory / "keystore";
    configuration.applicationDirectory = directory / "application";
    configuration.hostApplication.bundleIdentifier = "com.example.consumer";
    configuration.platform = std::make_shared<velquor::PlatformServices>();
    configuration.platform->keyStore = std::make_shared<FailingKeyStore>();
    if (!velquor::Velquor::configure(configuration))
        return 3;
    int result = 4;
    try {
        velquor::Velquor::generateMobilePayload();
    } catch (const velquor::Error& error) {
        std::printf("caught %s %d\n", error.domain().c_str(), error.code());
        result = error.code() == static_cast<int>(velquor::ErrorCode::internalFailure) ? 0 : 5;
    } catch (...) {
        result = 6;
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    std::printf("%s", VelquorVersionString);
    std::fflush(stdout);
    std::_Exit(result); // the library's threads are not waited for
}

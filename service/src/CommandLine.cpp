#include "CommandLine.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace velquor::service {

std::string CommandLine::helpText() {
    return R"(Usage: velquor-reference-service [options]

Serves the Velquor identity-service protocol over HTTPS on this machine, so that a host app
linked with libvelquor can pair, register its push token, answer authentications, fetch its
device record and upload logs without the real service.

Options:
  --host ADDRESS      address to listen on (default 127.0.0.1)
  --port N            port to listen on; 0 picks any free port (default 0)
  --state-dir DIR     where the CA (ca.pem), the server certificate, the service's RSA-2048
                      signing key and the SQLite database live; created owner-only when missing,
                      refused when it belongs to another user or is open to group or others
                      (default: $XDG_DATA_HOME/velquor-reference-service, or
                      ~/.local/share/velquor-reference-service)
  --ready-file PATH   once listening, write atomically the JSON object {"port", "caCertificate",
                      "baseURLs": {"NA", "EU", "AU"}, "adminURL", "foreignPublicKey",
                      "tlsFaultURLs": {"untrusted", "wrongName"}}; removed on a clean exit.
                      Its directory must belong to you.
  --max-upload-bytes N
                      refuse log uploads (413 PAYLOAD_TOO_LARGE) once the archives stored would
                      exceed N bytes in total (default 1073741824, 1 GiB)
  --verbose           log one line per request on standard error
  --help              show this text and exit

Regional base addresses: https://127.0.0.1:PORT/na/, /eu/ and /au/. Admin interface (JSON,
loopback callers only): https://127.0.0.1:PORT/admin/
  POST   admin/pairing-keys                     {"region": "NA"|"EU"|"AU"} -> {"pairingKey"}
  POST   admin/identity-tokens                  {"region"} -> {"idToken", "pairingKey"}
  POST   admin/devices/{id}/authentications     {"timeoutSeconds"} -> {"authenticationId", "userInfo"}
  GET    admin/authentications/{id}             -> {"status", "method", "isBanner", "answer"}
  POST   admin/devices/{id}/log-requests        {"level"} opens a log request for the device
  GET    admin/uploads/{supportId}              -> the uploaded ZIP archive
  GET    admin/state                            -> {"devices", "uploads", "authentications"}
  POST   admin/faults                           {"path", "status", "body" | "bodyBase64", "signature",
                                                 "serverPublicKey", "abort", "correlationId",
                                                 "delayMs", "times"}
  DELETE admin/faults                           clears every fault

SIGINT or SIGTERM stops the service after the requests in flight; the exit status is then 0.
)";
}

std::filesystem::path CommandLine::defaultStateDirectory() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::filesystem::path(data) / "velquor-reference-service";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "share" / "velquor-reference-service";
    return std::filesystem::current_path() / "velquor-reference-service";
}

CommandLineResult CommandLine::parse(int argc, const char* const* argv) {
    CommandLineResult result;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                result.error = std::string(argument) + " needs a value";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (argument == "--help" || argument == "-h") {
            result.help = true;
        } else if (argument == "--verbose") {
            result.options.verbose = true;
        } else if (argument == "--host") {
            if (auto host = value())
                result.options.host = *host;
        } else if (argument == "--port") {
            if (auto port = value()) {
                char* end = nullptr;
                const long number = std::strtol(port->c_str(), &end, 10);
                if (port->empty() || *end != '\0' || number < 0 || number > 65535)
                    result.error = "--port takes a number from 0 to 65535, not \"" + *port + "\"";
                else
                    result.options.port = static_cast<int>(number);
            }
        } else if (argument == "--state-dir") {
            if (auto directory = value())
                result.options.stateDirectory = *directory;
        } else if (argument == "--max-upload-bytes") {
            if (auto bytes = value()) {
                char* end = nullptr;
                errno = 0;
                const unsigned long long number = std::strtoull(bytes->c_str(), &end, 10);
                if (bytes->empty() || !std::isdigit(static_cast<unsigned char>(bytes->front())) ||
                    *end != '\0' || errno == ERANGE)
                    result.error = "--max-upload-bytes takes a number of bytes, not \"" + *bytes + "\"";
                else
                    result.options.maxUploadBytes = number;
            }
        } else if (argument == "--ready-file") {
            if (auto file = value())
                result.readyFile = *file;
        } else {
            result.error = "unknown option \"" + std::string(argument) + "\"";
        }
        if (!result.error.empty())
            return result;
    }
    if (result.options.stateDirectory.empty())
        result.options.stateDirectory = defaultStateDirectory();
    return result;
}

} // namespace velquor::service

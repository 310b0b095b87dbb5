// velquor-reference-service: the reference service as a program a host developer runs beside
// the app under test. See --help.
#include "AtomicFile.hpp"
#include "CommandLine.hpp"
#include "ReferenceService.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The ready file tells scripts where to connect, so it may only live where no one else can swap it.
std::optional<std::string> checkReadyFileDirectory(const std::filesystem::path& readyFile) {
    std::error_code ignored;
    const auto directory = std::filesystem::absolute(readyFile, ignored).parent_path();
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0)
        return "cannot inspect " + directory.string() + ": " + std::strerror(errno);
    if (status.st_uid != ::geteuid())
        return "the ready file's directory " + directory.string() + " belongs to another user";
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    using namespace velquor::service;
    const auto command = CommandLine::parse(argc, argv);
    if (!command.error.empty()) {
        std::fprintf(stderr, "velquor-reference-service: %s (see --help)\n", command.error.c_str());
        return 2;
    }
    if (command.help) {
        std::fputs(CommandLine::helpText().c_str(), stdout);
        return 0;
    }
    if (command.readyFile) {
        if (auto refused = checkReadyFileDirectory(*command.readyFile)) {
            std::fprintf(stderr, "velquor-reference-service: %s\n", refused->c_str());
            return 1;
        }
        // A ready file left by an earlier run names a dead port: gone before anything listens.
        std::error_code ignored;
        std::filesystem::remove(*command.readyFile, ignored);
    }

    // Blocked before any thread exists, so every thread inherits the mask and the signals wait
    // for sigwait() below instead of interrupting work.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ReferenceService service(command.options);
    if (auto error = service.start()) {
        std::fprintf(stderr, "velquor-reference-service: %s\n", error->c_str());
        return 1;
    }
    const auto description = service.readyDescription();
    if (command.readyFile) {
        if (auto error = AtomicFile::write(*command.readyFile, description.dump(2) + "\n", 0644)) {
            std::fprintf(stderr, "velquor-reference-service: cannot write the ready file: %s\n",
                         error->c_str());
            service.stop();
            return 1;
        }
    }
    std::printf("velquor-reference-service listening\n%s\n", description.dump(2).c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    std::fprintf(stderr, "velquor-reference-service: %s received, stopping\n",
                 received == SIGINT ? "SIGINT" : "SIGTERM");
    // Gone before the port closes, so no script reads an address that no longer answers.
    if (command.readyFile) {
        std::error_code ignored;
        std::filesystem::remove(*command.readyFile, ignored);
    }
    service.stop();
    return 0;
}

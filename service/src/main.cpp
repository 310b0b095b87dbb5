// velquor-reference-service: the reference service as a program a host developer runs beside
// the app under test. See --help.
#include "AtomicFile.hpp"
#include "CommandLine.hpp"
#include "ReferenceService.hpp"

#include <csignal>
#include <cstdio>

#include <pthread.h>

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
    service.stop();
    return 0;
}

// The command line of velquor-reference-service: options, their defaults and the help text.
#pragma once

#include "ReferenceService.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace velquor::service {

struct CommandLineResult {
    ServiceOptions options;
    std::optional<std::filesystem::path> readyFile;
    bool help = false;
    std::string error; // non-empty: the command line is wrong
};

// Stateless.
class CommandLine {
public:
    static CommandLineResult parse(int argc, const char* const* argv);
    static std::string helpText();
    // $XDG_DATA_HOME/velquor-reference-service, else ~/.local/share/velquor-reference-service.
    static std::filesystem::path defaultStateDirectory();
};

} // namespace velquor::service

#include "platform/linux/LinuxDeviceFacts.hpp"

#include "util/Utf8.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace velquor::detail {

namespace {

std::optional<std::string> cleaned(std::optional<std::string> text) {
    if (!text || text->empty())
        return std::nullopt;
    if (!isValidUtf8(*text))
        return sanitizeUtf8(*text);
    return text;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return std::nullopt;
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

std::optional<std::string> systemHostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return std::nullopt;
    return std::string(buffer);
}

std::optional<std::string> systemMachine() {
    utsname names{};
    if (uname(&names) != 0)
        return std::nullopt;
    return std::string(names.machine);
}

// The locale variables, read once when the facts are made (on the host's thread at start-up):
// getenv on a library thread could race a host's setenv.
std::function<std::optional<std::string>(const std::string&)> environmentSnapshot() {
    std::map<std::string, std::string> values;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name))
            values.emplace(name, value);
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        auto found = values.find(name);
        if (found == values.end())
            return std::nullopt;
        return found->second;
    };
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool allOf(const std::string& text, bool (*predicate)(char)) {
    for (char c : text)
        if (!predicate(c))
            return false;
    return !text.empty();
}

// Removes shell quoting: '...' literally, "..." with \" \\ \$ \` escapes, bare words with \x.
std::string unquote(std::string_view value) {
    std::string result;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                result += c;
        } else if (c == '\\' && i + 1 < value.size() &&
                   (quote == 0 || std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos)) {
            result += value[++i];
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else
                result += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace

LinuxDeviceFacts::LinuxDeviceFacts(std::shared_ptr<DispatchQueues> queues)
    : LinuxDeviceFacts(std::move(queues), Sources{}) {}

LinuxDeviceFacts::LinuxDeviceFacts(std::shared_ptr<DispatchQueues> queues, Sources sources)
    : queues_(std::move(queues))
    , sources_(std::move(sources)) {
    if (!sources_.hostName)
        sources_.hostName = systemHostName;
    if (!sources_.machine)
        sources_.machine = systemMachine;
    if (!sources_.environment)
        sources_.environment = environmentSnapshot();
    // Neither changes while the process runs: read here, not once per request's device data.
    systemVersion_ = readSystemVersion(sources_.root);
    modelIdentifier_ = cleaned(sources_.machine());
}

std::optional<std::string> LinuxDeviceFacts::osReleaseValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        std::size_t equals = line.find('=', start);
        if (equals == std::string::npos || line.compare(start, equals - start, key) != 0 ||
            equals - start != key.size())
            continue;
        std::string_view value(line);
        value.remove_prefix(equals + 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        // A later assignment wins, as it would in a shell.
        found = unquote(value);
    }
    return found;
}

std::optional<std::string> LinuxDeviceFacts::readSystemVersion(const std::filesystem::path& root) {
    std::optional<std::string> text = readFile(root / "etc/os-release");
    if (!text)
        text = readFile(root / "usr/lib/os-release");
    if (!text)
        return std::nullopt;
    if (auto version = cleaned(osReleaseValue(*text, "VERSION_ID")))
        return version;
    return cleaned(osReleaseValue(*text, "PRETTY_NAME"));
}

std::optional<std::string> LinuxDeviceFacts::systemVersion() const {
    return systemVersion_;
}

std::optional<std::string> LinuxDeviceFacts::deviceName() const {
    return cleaned(sources_.hostName());
}

std::optional<std::string> LinuxDeviceFacts::modelIdentifier() const {
    return modelIdentifier_;
}

DeviceFacts::Locale LinuxDeviceFacts::parseLocaleName(const std::string& name) {
    std::string base = name.substr(0, name.find_first_of(".@"));
    Locale locale;
    if (base.empty() || base == "C" || base == "POSIX")
        return locale;
    std::size_t underscore = base.find('_');
    std::string language = base.substr(0, underscore);
    if ((language.size() == 2 || language.size() == 3) && allOf(language, isAsciiLetter)) {
        for (char& c : language)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        locale.languageCode = language;
    }
    if (underscore != std::string::npos) {
        std::string region = base.substr(underscore + 1);
        if (region.size() == 2 && allOf(region, isAsciiLetter)) {
            for (char& c : region)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            locale.regionCode = region;
        } else if (region.size() == 3 && allOf(region, isAsciiDigit)) {
            locale.regionCode = region;
        }
    }
    return locale;
}

DeviceFacts::Locale LinuxDeviceFacts::currentLocale() const {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::optional<std::string> value = sources_.environment(variable);
        if (value && !value->empty())
            return parseLocaleName(*value);
    }
    return {};
}

void LinuxDeviceFacts::requestNotificationAuthorizationStatus(NotificationStatusHandler handler) {
    // No notification permission exists to ask for; the answer still comes later, on another
    // thread, as callers expect.
    queues_->asyncGlobal(QualityOfService::utility, [handler = std::move(handler)] {
        if (handler)
            handler(std::nullopt);
    });
}

} // namespace velquor::detail

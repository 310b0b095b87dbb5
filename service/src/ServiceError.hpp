// The service error object that every refusal carries: {"code", "message", "details": [{"code",
// "message", "target", "innerError": {"expected", "actual"}}]}, with the HTTP status it goes with.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace velquor::service {

struct ErrorDetail {
    std::string code;
    std::string message;
    std::optional<std::string> target;
    std::optional<std::string> expected;
    std::optional<std::string> actual;
};

// A plain value.
struct ServiceError {
    int status = 400;
    std::string code;
    std::string message;
    std::vector<ErrorDetail> details;

    nlohmann::json toJson() const;

    // Shorthands for the refusals the handlers give. `target` names the offending request member.
    static ServiceError invalidRequest(std::string message);
    static ServiceError invalidData(std::string target, std::string detailCode, std::string message,
                                    std::optional<std::string> expected = std::nullopt,
                                    std::optional<std::string> actual = std::nullopt);
    static ServiceError unauthorized(std::string target, std::string detailCode, std::string message);
    static ServiceError forbidden(std::string target, std::string message);
    static ServiceError notFound(std::string target, std::string message);
    static ServiceError conflict(std::string target, std::string detailCode, std::string message);
    static ServiceError unsupportedMediaType(std::string expected, std::string actual);
    static ServiceError notAcceptable(std::string actual);
    static ServiceError payloadTooLarge(std::string message = "The request body is larger than 8 MiB.");
    static ServiceError internal(std::string message);
};

} // namespace velquor::service

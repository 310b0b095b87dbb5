#include "ServiceError.hpp"

namespace velquor::service {

nlohmann::json ServiceError::toJson() const {
    auto details_ = nlohmann::json::array();
    for (const auto& detail : details) {
        nlohmann::json item{{"code", detail.code}, {"message", detail.message}};
        if (detail.target)
            item["target"] = *detail.target;
        if (detail.expected || detail.actual) {
            nlohmann::json inner = nlohmann::json::object();
            if (detail.expected)
                inner["expected"] = *detail.expected;
            if (detail.actual)
                inner["actual"] = *detail.actual;
            item["innerError"] = std::move(inner);
        }
        details_.push_back(std::move(item));
    }
    return {{"code", code}, {"message", message}, {"details", std::move(details_)}};
}

ServiceError ServiceError::invalidRequest(std::string message) {
    return {400, "INVALID_REQUEST", std::move(message), {}};
}

ServiceError ServiceError::invalidData(std::string target, std::string detailCode, std::string message,
                                       std::optional<std::string> expected,
                                       std::optional<std::string> actual) {
    ErrorDetail detail{std::move(detailCode), message, std::move(target), std::move(expected),
                       std::move(actual)};
    return {400, "INVALID_DATA", std::move(message), {std::move(detail)}};
}

ServiceError ServiceError::unauthorized(std::string target, std::string detailCode, std::string message) {
    ErrorDetail detail{std::move(detailCode), message, std::move(target), std::nullopt, std::nullopt};
    return {401, "UNAUTHORIZED", std::move(message), {std::move(detail)}};
}

ServiceError ServiceError::forbidden(std::string target, std::string message) {
    ErrorDetail detail{"FORBIDDEN", message, std::move(target), std::nullopt, std::nullopt};
    return {403, "FORBIDDEN", std::move(message), {std::move(detail)}};
}

ServiceError ServiceError::notFound(std::string target, std::string message) {
    ErrorDetail detail{"NOT_FOUND", message, std::move(target), std::nullopt, std::nullopt};
    return {404, "NOT_FOUND", std::move(message), {std::move(detail)}};
}

ServiceError ServiceError::conflict(std::string target, std::string detailCode, std::string message) {
    ErrorDetail detail{std::move(detailCode), message, std::move(target), std::nullopt, std::nullopt};
    return {409, "CONFLICT", std::move(message), {std::move(detail)}};
}

ServiceError ServiceError::unsupportedMediaType(std::string expected, std::string actual) {
    ErrorDetail detail{"UNSUPPORTED_MEDIA_TYPE", "The content type is not accepted here.", "content-type",
                       std::move(expected), std::move(actual)};
    return {415, "UNSUPPORTED_MEDIA_TYPE", "The content type is not accepted here.", {std::move(detail)}};
}

ServiceError ServiceError::notAcceptable(std::string actual) {
    ErrorDetail detail{"NOT_ACCEPTABLE", "Replies are application/jwt only.", "Accept", "application/jwt",
                       std::move(actual)};
    return {406, "NOT_ACCEPTABLE", "Replies are application/jwt only.", {std::move(detail)}};
}

ServiceError ServiceError::payloadTooLarge(std::string message) {
    return {413, "PAYLOAD_TOO_LARGE", std::move(message), {}};
}

ServiceError ServiceError::internal(std::string message) {
    return {500, "INTERNAL_ERROR", std::move(message), {}};
}

} // namespace velquor::service

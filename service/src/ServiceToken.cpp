#include "ServiceToken.hpp"

#include "BoundedJson.hpp"
#include "ServiceBase64.hpp"

namespace velquor::service {
namespace {

std::optional<nlohmann::json> decodeObject(std::string_view segment) {
    const auto bytes = ServiceBase64::decodeURL(segment);
    if (!bytes)
        return std::nullopt;
    auto value = BoundedJson::parse(*bytes);
    if (!value || !value->is_object())
        return std::nullopt;
    return value;
}

// The header segments never change, so they are encoded once.
const std::string& encodedHeader(bool signed_) {
    static const std::string rs256 = ServiceBase64::encodeURL(R"({"alg":"RS256","typ":"JWT"})");
    static const std::string none = ServiceBase64::encodeURL(R"({"alg":"none","typ":"JWT"})");
    return signed_ ? rs256 : none;
}

std::string compactWithSignature(const nlohmann::json& claims, const ServiceKeys* key, bool& failed) {
    std::string input = encodedHeader(key != nullptr);
    input += '.';
    input += ServiceBase64::encodeURL(claims.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::string signature;
    if (key) {
        auto signed_ = key->signSha256(input);
        if (!signed_) {
            failed = true;
            return {};
        }
        signature = ServiceBase64::encodeURL(*signed_);
    }
    input += '.';
    input += signature;
    return input;
}

} // namespace

std::optional<ServiceToken> ServiceToken::parse(std::string_view compact, std::string& error) {
    const size_t first = compact.find('.');
    const size_t second = first == std::string_view::npos ? first : compact.find('.', first + 1);
    if (second == std::string_view::npos || compact.find('.', second + 1) != std::string_view::npos) {
        error = "the token does not have exactly three segments";
        return std::nullopt;
    }
    const auto headerText = compact.substr(0, first);
    const auto payloadText = compact.substr(first + 1, second - first - 1);
    const auto signatureText = compact.substr(second + 1);

    ServiceToken token;
    auto header = decodeObject(headerText);
    if (!header) {
        error = "the token header is not Base64url of a JSON object";
        return std::nullopt;
    }
    auto claims = decodeObject(payloadText);
    if (!claims) {
        error = "the token payload is not Base64url of a JSON object";
        return std::nullopt;
    }
    auto signature = ServiceBase64::decodeURL(signatureText);
    if (!signature) {
        error = "the token signature is not Base64url";
        return std::nullopt;
    }
    const auto alg = header->find("alg");
    if (alg == header->end() || !alg->is_string()) {
        error = "the token header has no text \"alg\"";
        return std::nullopt;
    }
    token.algorithm_ = alg->get<std::string>();
    token.header_ = std::move(*header);
    token.claims_ = std::move(*claims);
    token.signingInput_ = std::string(compact.substr(0, second));
    token.signature_ = std::move(*signature);
    return token;
}

std::optional<std::string> ServiceToken::signRS256(const nlohmann::json& claims, const ServiceKeys& key) {
    bool failed = false;
    auto text = compactWithSignature(claims, &key, failed);
    if (failed)
        return std::nullopt;
    return text;
}

std::string ServiceToken::unsignedToken(const nlohmann::json& claims) {
    bool failed = false;
    return compactWithSignature(claims, nullptr, failed);
}

std::optional<std::string> ServiceToken::keyId() const {
    const auto kid = header_.find("kid");
    if (kid == header_.end() || !kid->is_string())
        return std::nullopt;
    return kid->get<std::string>();
}

bool ServiceToken::isSignedBy(const ServiceKeys& key) const {
    return algorithm_ == "RS256" && !signature_.empty() && key.verifySha256(signingInput_, signature_);
}

} // namespace velquor::service

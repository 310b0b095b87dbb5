// One request as the handlers see it and one reply as they give it, free of any HTTP library, so
// that only the front end (ReferenceService.cpp) needs the server header.
#pragma once

#include "Region.hpp"
#include "ServiceError.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velquor::service {

struct MultipartPart {
    std::string name;
    std::string filename;
    std::string contentType;
    std::string content;
};

struct ServiceRequest {
    std::string method;
    // The path after the region prefix (protocol) or after "admin/" (admin): no leading "/", no query.
    std::string path;
    std::optional<Region> region;
    // Every query item, repeated names included.
    std::multimap<std::string, std::string> query;
    std::optional<std::string> contentType;
    std::optional<std::string> accept;
    std::optional<std::string> logsToken; // the "Marvis-Mobile-Logs" header
    std::string body;                     // empty for multipart requests
    bool multipart = false;
    std::vector<MultipartPart> parts;
};

// How a token reply is signed: with the service key, not at all, or with a key that is not the
// service's (the last two only on demand of a fault).
enum class ReplySignature { valid, none, foreign };

// Where a reply's "correlation-id" comes from: generated per request, chosen by a fault, or left out.
enum class CorrelationHeader { generated, chosen, omitted };

struct ServiceReply {
    int status = 200;
    // A token reply carries claims; anything else carries `rawBody` with `contentType`.
    std::optional<nlohmann::json> claims;
    ReplySignature signature = ReplySignature::valid;
    bool isError = false;
    std::string rawBody;
    std::string contentType = "application/jwt";
    // Faults only: how the "correlation-id" header is set, and how the connection is cut.
    CorrelationHeader correlation = CorrelationHeader::generated;
    std::string chosenCorrelationId;
    bool closeBeforeReply = false;
    std::optional<size_t> closeAfterBodyBytes; // the headers still announce the whole length

    static ServiceReply token(int status, nlohmann::json claims) {
        ServiceReply reply;
        reply.status = status;
        reply.claims = std::move(claims);
        return reply;
    }
    static ServiceReply refusal(const ServiceError& error) {
        ServiceReply reply = token(error.status, error.toJson());
        reply.isError = true;
        return reply;
    }
    static ServiceReply json(int status, const nlohmann::json& body) {
        return raw(status, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                   "application/json");
    }
    static ServiceReply jsonRefusal(const ServiceError& error) {
        ServiceReply reply = json(error.status, error.toJson());
        reply.isError = true;
        return reply;
    }
    static ServiceReply raw(int status, std::string body, std::string contentType) {
        ServiceReply reply;
        reply.status = status;
        reply.rawBody = std::move(body);
        reply.contentType = std::move(contentType);
        return reply;
    }
};

} // namespace velquor::service

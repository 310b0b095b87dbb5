#include "FaultInjector.hpp"

#include "ServiceBase64.hpp"

namespace velquor::service {
namespace {

constexpr int64_t longestDelayMs = 10 * 60 * 1000;

} // namespace

std::optional<Fault> FaultInjector::parse(const nlohmann::json& request, ServiceError& error) {
    auto refuse = [&](const char* target, const char* message) {
        error = ServiceError::invalidData(target, "INVALID_FAULT", message);
        return std::nullopt;
    };
    if (!request.is_object())
        return refuse("body", "A fault is a JSON object.");
    Fault fault;
    const auto path = request.find("path");
    if (path == request.end() || !path->is_string() || path->get<std::string>().empty())
        return refuse("path", "\"path\" must be a non-empty text.");
    fault.path = path->get<std::string>();
    if (fault.path.find('?') != std::string::npos)
        return refuse("path", "\"path\" is matched without the query, so it must not contain \"?\".");
    if (fault.path.front() == '/')
        fault.path.erase(0, 1);
    if (const auto status = request.find("status"); status != request.end()) {
        if (!status->is_number_integer() || status->get<int64_t>() < 100 || status->get<int64_t>() > 599)
            return refuse("status", "\"status\" must be an HTTP status from 100 to 599.");
        fault.status = status->get<int>();
    }
    if (const auto body = request.find("body"); body != request.end() && !body->is_null()) {
        if (!body->is_object() && !body->is_string())
            return refuse("body", "\"body\" must be an object (reply claims) or a text (raw body).");
        fault.body = *body;
    }
    if (const auto raw = request.find("bodyBase64"); raw != request.end()) {
        if (fault.body)
            return refuse("bodyBase64", "\"bodyBase64\" and \"body\" exclude each other.");
        auto bytes = raw->is_string() ? ServiceBase64::decode(raw->get<std::string>()) : std::nullopt;
        if (raw->is_string() && raw->get<std::string>().empty())
            bytes = std::string();
        if (!bytes)
            return refuse("bodyBase64", "\"bodyBase64\" must be standard Base64 text.");
        fault.rawBytes = std::move(*bytes);
    }
    if (const auto key = request.find("serverPublicKey"); key != request.end()) {
        if (!key->is_string() || key->get<std::string>() != "foreign")
            return refuse("serverPublicKey", "\"serverPublicKey\" can only be \"foreign\".");
        if (!fault.body || !fault.body->is_object())
            return refuse("serverPublicKey", "\"serverPublicKey\" needs an object \"body\" to carry it.");
        fault.foreignServerKey = true;
    }
    if (const auto abort = request.find("abort"); abort != request.end()) {
        if (abort->is_string() && abort->get<std::string>() == "beforeReply")
            fault.closeBeforeReply = true;
        else if (abort->is_number_integer() && abort->get<int64_t>() >= 0)
            fault.closeAfterBodyBytes = abort->get<size_t>();
        else
            return refuse("abort", "\"abort\" must be \"beforeReply\" or a number of body bytes.");
    }
    if (const auto id = request.find("correlationId"); id != request.end()) {
        if (id->is_null()) {
            fault.correlation = CorrelationHeader::omitted;
        } else if (id->is_string() && !id->get<std::string>().empty() &&
                   id->get<std::string>().find_first_of("\r\n") == std::string::npos) {
            fault.correlation = CorrelationHeader::chosen;
            fault.correlationId = id->get<std::string>();
        } else {
            return refuse("correlationId", "\"correlationId\" must be null or a one-line text.");
        }
    }
    if (const auto signature = request.find("signature"); signature != request.end()) {
        const std::string value = signature->is_string() ? signature->get<std::string>() : "";
        if (value == "valid")
            fault.signature = ReplySignature::valid;
        else if (value == "none")
            fault.signature = ReplySignature::none;
        else if (value == "foreign")
            fault.signature = ReplySignature::foreign;
        else
            return refuse("signature", "\"signature\" must be \"valid\", \"none\" or \"foreign\".");
    }
    if (const auto delay = request.find("delayMs"); delay != request.end()) {
        if (!delay->is_number_integer() || delay->get<int64_t>() < 0 ||
            delay->get<int64_t>() > longestDelayMs)
            return refuse("delayMs", "\"delayMs\" must be an integer from 0 to 600000.");
        fault.delay = std::chrono::milliseconds(delay->get<int64_t>());
    }
    if (const auto times = request.find("times"); times != request.end()) {
        if (!times->is_number_integer() || times->get<int64_t>() < 1 || times->get<int64_t>() > 1000000)
            return refuse("times", "\"times\" must be an integer from 1 to 1000000.");
        fault.times = times->get<int>();
    }
    return fault;
}

void FaultInjector::add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void FaultInjector::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<Fault> FaultInjector::take(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!matches(it->path, path))
            continue;
        Fault used = *it;
        if (--it->times <= 0)
            faults_.erase(it);
        return used;
    }
    return std::nullopt;
}

bool FaultInjector::wait(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, delay, [&] { return stopping_; });
}

void FaultInjector::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

ServiceReply FaultInjector::replyFor(const Fault& fault, const std::string& foreignPublicKey) {
    ServiceReply reply;
    reply.status = fault.status;
    if (fault.body && fault.body->is_object()) {
        reply.claims = *fault.body;
        reply.signature = fault.signature;
        if (fault.foreignServerKey) {
            (*reply.claims)["serverPublicKey"] = foreignPublicKey;
            reply.signature = ReplySignature::foreign;
        }
    } else if (fault.body) {
        reply.rawBody = fault.body->get<std::string>();
    } else if (fault.rawBytes) {
        reply.rawBody = *fault.rawBytes;
    }
    reply.correlation = fault.correlation;
    reply.chosenCorrelationId = fault.correlationId;
    reply.closeBeforeReply = fault.closeBeforeReply;
    reply.closeAfterBodyBytes = fault.closeAfterBodyBytes;
    return reply;
}

bool FaultInjector::matches(const std::string& pattern, const std::string& path) {
    if (!pattern.empty() && pattern.back() == '*')
        return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == path;
}

} // namespace velquor::service

// Pairing: with a pairing key (the host's pair, or a PairingObject's approval) and through an
// identity token, whose "vq.enrollment" claim carries a pairing key for the host to approve.
// A pairing posts the pairing request to the key's region, stores what the reply gives and, while
// the service waits for it ("PENDING_ACK"), finalises the pairing; the region is remembered once
// the pairing is complete.
//
// Stateless; thread-safe. pair and approve run on the global queue (the logic layer moves them
// there); they answer there when they fail before sending, otherwise on the transport's reply
// thread. processIdToken runs and answers on the caller's thread.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"

#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class LogicLayer;

class PairingFlow : public std::enable_shared_from_this<PairingFlow> {
public:
    explicit PairingFlow(FlowCollaborators collaborators);

    static constexpr const char* kPairOperation = "pair(withPairingKey:completionHandler:)";

    // Fails before sending: stored data center of another region 10007/32, no device public key
    // 10000/0, no push token set in this process run 10001/1. Otherwise as the exchange and the
    // reading of the reply report.
    void pair(const std::string& pairingKey, const ErrorCompletion& handler) const;
    // A PairingObject's approval: a pairing with the object's key.
    void approve(const std::string& pairingKey, const ErrorCompletion& handler) const;

    // Decodes the token and answers a PairingObject that approves through `maker` (never set: the
    // process's logic layer). Stores nothing and needs no logic layer, so it never starts one.
    // The token's signature is not checked: nothing is trusted from it but a key the service
    // itself judges when the pairing is approved.
    static void processIdToken(const std::string& idToken, const PairingCompletion& handler,
                               const std::weak_ptr<LogicLayer>& maker);

private:
    // On the reply thread, once the service has accepted the pairing request.
    void pairingReplied(const Json& claims, const std::string& deviceToken, const std::string& baseURL,
                        const std::string& region, const ErrorCompletion& handler) const;
    // "PENDING_ACK" with a pairing id is finalised; the region is stored once the service has
    // completed the pairing (finalised, or "COMPLETED" at once).
    void statusStep(const std::optional<std::string>& pairingId, const std::string& status,
                    std::optional<Error> error, const std::string& baseURL, const std::string& region,
                    const ErrorCompletion& handler) const;

    const FlowCollaborators c_;
};

} // namespace velquor::detail

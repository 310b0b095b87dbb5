// Pairing: with a pairing key (the host's pair, or a PairingObject's approval) and through an
// identity token, whose "vq.enrollment" claim carries a pairing key for the host to approve.
// The exchange with the service arrives with the transport; until then a pairing answers
// kNotAvailableInternalCode.
//
// Stateless; thread-safe. pair and approve run on the global queue (the logic layer moves them
// there) and answer there; processIdToken runs and answers on the caller's thread.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"

#include <memory>
#include <string>

namespace velquor::detail {

class LogicLayer;

class PairingFlow : public std::enable_shared_from_this<PairingFlow> {
public:
    explicit PairingFlow(FlowCollaborators collaborators);

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
    const FlowCollaborators c_;
};

} // namespace velquor::detail

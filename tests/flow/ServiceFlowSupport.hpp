// What the flows against the in-process reference service share: one service per suite, layers
// whose requests go to it over loopback HTTPS, and a device paired with it by hand.
#pragma once

#include "FlowTestSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "platform/linux/CurlHttpTransport.hpp"

namespace velquor::detail {

// `platform` speaking to `running` over libcurl: each region at its own address, or all at `only`'s.
inline Platform onService(Platform platform, service::test::RunningService& running,
                          std::optional<service::Region> only = std::nullopt) {
    auto& configuration = platform.configuration;
    configuration.northAmericaBaseURL = running.baseURL(only.value_or(service::Region::na));
    configuration.europeBaseURL = running.baseURL(only.value_or(service::Region::eu));
    configuration.asiaPacificBaseURL = running.baseURL(only.value_or(service::Region::au));
    platform.services.http = std::make_shared<CurlHttpTransport>(running.service().caCertificatePath());
    return platform;
}

// The claims of the service's reply to `substance` (0 when none came).
inline Json posted(const LogicLayer& layer, const Substance& substance) {
    auto reply = std::make_shared<test::Delivery<Json>>();
    layer.communication().post(substance, [reply](auto claims, auto) { reply->deliver(claims.value_or(0)); });
    return reply->wait(std::chrono::seconds(30)).value_or(0);
}

// Pairs `layer`'s device with a key of `region` at its base address and finalises the pairing,
// through the transport and the reply reader alone, not the pairing flow.
inline void pairByHand(LogicLayer& layer, service::test::RunningService& running, const std::string& region) {
    const std::string base = layer.baseURL(), key = *layer.keychain().getDevicePublicKeyString();
    std::string id;
    ResponseHandler(layer.keychain())
        .pairing(
            posted(layer,
                   layer.requestBuilder().pairingRequest(base, running.pairingKey(region), "0a1b", key)),
            [&](auto pairingId, auto, auto) { id = pairingId.value_or(""); }, [](auto) { ADD_FAILURE(); });
    layer.keychain().setString("isPaired", "isPaired");
    ASSERT_TRUE(posted(layer, layer.requestBuilder().finalizeRequest(base, id)).is_object());
}

// A service for the suite; for each test a platform on memory stores, and the layer it starts.
template <typename Param>
class ServiceFlowTest : public LayerTest, public testing::WithParamInterface<Param> {
protected:
    static void SetUpTestSuite() { running = std::make_unique<service::test::RunningService>(); }
    static void TearDownTestSuite() { running.reset(); }
    void TearDown() override { EXPECT_FALSE(log->contains("delivered twice")); }

    static inline std::unique_ptr<service::test::RunningService> running;
    Platform platform = services.platform(dir.path());
    std::shared_ptr<LogicLayer> layer;
};

// The one answer to an operation started on this thread, on a library thread: the reply thread
// when a request went out (`sent`), else the global queue.
template <typename Value> Call<Value> answeredOnce(test::Delivery<Call<Value>>& delivery, bool sent) {
    auto call = once(delivery, std::chrono::seconds(30));
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_EQ(call.onGlobalQueue, !sent);
    return call;
}

} // namespace velquor::detail

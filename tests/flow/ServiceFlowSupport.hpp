// What the flows against the in-process reference service share: one service per suite, layers
// whose requests go to it over loopback HTTPS, and a device paired with it.
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

// Pairs `layer`'s device with a key of `region` through the pairing flow, a push token set first.
inline void pairWith(LogicLayer& layer, service::test::RunningService& running, const std::string& region) {
    test::Delivery<Call<>> token, paired;
    layer.setDeviceToken({0x0A, 0x1B}, APNSDeviceTokenType::production, recorder(token));
    ASSERT_TRUE(token.wait());
    layer.pair(running.pairingKey(region), recorder(paired));
    const auto call = paired.wait(std::chrono::seconds(30));
    ASSERT_TRUE(call && !call->error) << (call && call->error ? describeError(*call->error) : "no answer");
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

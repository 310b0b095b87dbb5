#include "remote/wire/PairingResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// Decodes whole or not at all; what decodes writes back under the same names.
TEST(PairingResponseTest, DecodesWholeOrNotAtAll) {
    for (const char* text :
         {R"({"id": "a", "status": "b", "mobileDevice": {"id": 1}})",
          R"({"id": "a", "status": "b", "installedApplication": "i"})",
          R"({"id": "a", "status": "b", "serverPublicKey": {}})", R"({"id": null, "status": "b"})",
          R"(["id", "status"])", R"({"id": "a", "status": )"})
        EXPECT_FALSE(PairingResponse::decode(std::string_view(text))) << text;
    const Json full = Json::parse(R"({"mobileDevice": {"id": "D", "marketingName": "M"},
        "installedApplication": {"id": "A"}, "id": "X", "status": "S", "serverPublicKey": "K"})");
    EXPECT_EQ(PairingResponse::decode(full)->encode(), full);
    EXPECT_EQ(
        PairingResponse::decode(Json::parse(R"({"id": "X", "status": "S", "mobileDevice": {}, "x": 1})"))
            ->encode(),
        Json::parse(R"({"mobileDevice": {}, "id": "X", "status": "S"})"));
}

} // namespace
} // namespace velquor::detail

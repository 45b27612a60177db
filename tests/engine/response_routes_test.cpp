// The response handler's decisions: which step a response goes to by the update
// state and its code, and the parameter replies' piece sizes.
#include "engine/response_routes.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kv {
namespace {

TEST(ResponseRoutes, UnitCheckTakesOnlyTheIdentifyAndVersionTextAnswers) {
  EXPECT_EQ(RouteResponse(0, 0x10), TResponseRoute::kIdentify);
  EXPECT_EQ(RouteResponse(0, 0x13), TResponseRoute::kVersionText);
  for (uint8_t code : {0x00, 0x04, 0x11, 0x12, 0x53, 0xA8}) {
    EXPECT_EQ(RouteResponse(0, code), TResponseRoute::kIgnored) << int{code};
  }
  // Any response in the unit check stops the fallback, in no other state.
  EXPECT_TRUE(ResponseStopsAutoUpdate(0));
  for (int32_t state : {1, 2, 9, 10, -1}) EXPECT_FALSE(ResponseStopsAutoUpdate(state)) << state;
}

TEST(ResponseRoutes, RunCommandsTakeOnlyParameterAndDspBlockAnswers) {
  EXPECT_EQ(RouteResponse(1, 0xA8), TResponseRoute::kParameter);
  EXPECT_EQ(RouteResponse(1, 0x53), TResponseRoute::kDspChunk);
  // After a completed chain a new unit check's answers are ignored.
  EXPECT_EQ(RouteResponse(1, 0x10), TResponseRoute::kIgnored);
  EXPECT_EQ(RouteResponse(1, 0x13), TResponseRoute::kIgnored);
  EXPECT_EQ(RouteResponse(1, 0x1A), TResponseRoute::kIgnored);
}

TEST(ResponseRoutes, EveryResponseDuringABootLoaderStepIsItsReply) {
  for (int32_t state = 2; state <= 9; ++state) {
    for (uint8_t code : {0x00, 0x10, 0x53, 0xA8, 0xFF}) {
      EXPECT_EQ(RouteResponse(state, code), TResponseRoute::kIspReply) << state;
    }
  }
  // "MCU Reset" expects no reply; unknown states take nothing.
  for (int32_t state : {10, 11, -1, 1000}) {
    EXPECT_EQ(RouteResponse(state, 0x00), TResponseRoute::kIgnored) << state;
    EXPECT_EQ(RouteResponse(state, 0x10), TResponseRoute::kIgnored) << state;
  }
}

TEST(ResponseRoutes, TenParameterRepliesOfFiftyBytesThenOneOfSixteen) {
  for (int32_t reply = 1; reply <= 10; ++reply) {
    EXPECT_EQ(ParamPieceBytesOfReply(reply), 50u) << reply;
    EXPECT_FALSE(IsLastParamReply(reply)) << reply;
  }
  EXPECT_EQ(ParamPieceBytesOfReply(11), 16u);
  EXPECT_TRUE(IsLastParamReply(11));
}

TEST(ResponseRoutes, ParameterErrorTextsNameTheOffendingValue) {
  const std::string block = ParamBlockIndexErrorText(11, 3);
  EXPECT_NE(block.find("11"), std::string::npos) << block;
  EXPECT_NE(block.find("3"), std::string::npos) << block;
  EXPECT_NE(ParamSelectorErrorText(32).find("32"), std::string::npos);
}

}  // namespace
}  // namespace kv

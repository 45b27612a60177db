#include "engine/unit_check.h"

#include <gtest/gtest.h>

#include <string>

namespace kv {
namespace {

TEST(CDecimalValue, ReadsAsTheCLibraryDoes) {
  EXPECT_EQ(CDecimalValue("012"), 12);
  EXPECT_EQ(CDecimalValue(" 12"), 12);
  EXPECT_EQ(CDecimalValue("\t\n+7x"), 7);
  EXPECT_EQ(CDecimalValue("-3"), -3);
  EXPECT_EQ(CDecimalValue("12a"), 12);
  EXPECT_EQ(CDecimalValue("a12"), 0);
  EXPECT_EQ(CDecimalValue("+"), 0);
  EXPECT_EQ(CDecimalValue(""), 0);
  EXPECT_EQ(CDecimalValue("99999999999"), 2147483647);
  EXPECT_EQ(CDecimalValue("-99999999999"), -2147483647 - 1);
}

TEST(VersionNumberOf, TakesCharactersNineToEleven) {
  EXPECT_EQ(VersionNumberOf("KV-93T  012"), 12);
  EXPECT_EQ(VersionNumberOf("KV-93T  0123"), 12);  // the fourth digit is not read
  EXPECT_EQ(VersionNumberOf("KV-93T  12A"), 12);
  EXPECT_EQ(VersionNumberOf("KV-93T   12"), 12);
  EXPECT_EQ(VersionNumberOf("KV-93T  1"), 1);
  EXPECT_EQ(VersionNumberOf("KV-93T01"), 0);  // 8 characters: no digits at all
  EXPECT_EQ(VersionNumberOf(""), 0);
}

TEST(CheckVersionText, TestsModelThenLowestThenHighest) {
  EXPECT_EQ(CheckVersionText("KV-93T  012"), TUnitVerdict::kAccepted);
  EXPECT_EQ(CheckVersionText("KV-93Tab012"), TUnitVerdict::kAccepted);
  EXPECT_EQ(CheckVersionText("KV-93T  011"), TUnitVerdict::kTooOld);
  EXPECT_EQ(CheckVersionText("KV-93T  013"), TUnitVerdict::kTooNew);
  EXPECT_EQ(CheckVersionText("KV-93T01"), TUnitVerdict::kTooOld);
  EXPECT_EQ(CheckVersionText("kv-93t  012"), TUnitVerdict::kWrongModel);
  EXPECT_EQ(CheckVersionText("KV-93"), TUnitVerdict::kWrongModel);
  EXPECT_EQ(CheckVersionText("KV-94T  099"), TUnitVerdict::kWrongModel);
  EXPECT_EQ(CheckVersionText(std::string("KV-93T\0 012", 11)), TUnitVerdict::kAccepted);
}

TEST(ParamPieceFits, KeepsEveryPieceInsideTheBlock) {
  EXPECT_TRUE(ParamPieceFits(0, kParamPieceBytes));
  EXPECT_TRUE(ParamPieceFits(9, kParamPieceBytes));
  EXPECT_FALSE(ParamPieceFits(10, kParamPieceBytes));
  EXPECT_TRUE(ParamPieceFits(10, kLastParamPieceBytes));
  EXPECT_FALSE(ParamPieceFits(11, kLastParamPieceBytes));
  EXPECT_FALSE(ParamPieceFits(-1, kLastParamPieceBytes));
  EXPECT_FALSE(ParamPieceFits(255, kParamPieceBytes));
}

TEST(DeriveSessionKey, XorsTheUnmaskedMaterialHalves) {
  TParamBlock block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31 + 7);
  block[0] = 0;  // selector
  block[2] = 0;  // mask
  // With s = 0 and m = 0: P[5] ^ P[9], P[6] ^ P[10], P[7] ^ P[11], P[8] ^ P[12].
  const uint32_t expected =
      uint32_t{uint8_t(block[5] ^ block[9])} | uint32_t{uint8_t(block[6] ^ block[10])} << 8 |
      uint32_t{uint8_t(block[7] ^ block[11])} << 16 | uint32_t{uint8_t(block[8] ^ block[12])} << 24;
  EXPECT_EQ(DeriveSessionKey(block), expected);
}

// The mask is XORed into both halves of each key byte and so cancels: what the
// key really depends on is the selector and the eight bytes 5 + 16s to 12 + 16s.
// Each of those flips exactly its own key byte; no other byte of the block, the
// mask included, changes the key at all.
TEST(DeriveSessionKey, DependsOnTheSelectorsEightBytesAndNothingElse) {
  for (const uint8_t selector : {0, 1, 7, 31}) {
    TParamBlock block{};
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 57 + 13);
    block[0] = selector;
    block[2] = 0xA5;
    const size_t base = 5 + 16 * size_t{selector};
    uint32_t expected = 0;
    for (size_t i = 0; i < 4; ++i) {
      expected |= uint32_t{uint8_t(block[base + i] ^ block[base + i + 4])} << (8 * i);
    }
    ASSERT_EQ(DeriveSessionKey(block), expected) << "selector " << int{selector};

    for (size_t at = 1; at < block.size(); ++at) {
      TParamBlock changed = block;
      changed[at] = static_cast<uint8_t>(changed[at] ^ 0x3C);
      const uint32_t key = DeriveSessionKey(changed).value();
      if (at >= base && at < base + 8) {
        const size_t keyByte = (at - base) % 4;
        ASSERT_EQ(key ^ expected, uint32_t{0x3C} << (8 * keyByte))
            << "selector " << int{selector} << ", byte " << at;
      } else {
        ASSERT_EQ(key, expected) << "selector " << int{selector} << ", byte " << at;
      }
    }
  }
}

TEST(DeriveSessionKey, RefusesASelectorWhoseMaterialLiesOutsideTheBlock) {
  TParamBlock block{};
  block[0] = 32;
  EXPECT_FALSE(DeriveSessionKey(block).has_value());
  block[0] = 255;
  EXPECT_FALSE(DeriveSessionKey(block).has_value());
}

}  // namespace
}  // namespace kv

#include "engine/unit_check.h"

#include <algorithm>
#include <limits>

namespace kv {

namespace {

// The C locale's white space, as isspace sees it.
bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

int32_t CDecimalValue(std::string_view text) {
  size_t position = 0;
  while (position < text.size() && IsCSpace(text[position])) ++position;
  bool negative = false;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
    negative = text[position] == '-';
    ++position;
  }
  constexpr int64_t kLargest = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; position < text.size() && IsDecimalDigit(text[position]); ++position) {
    magnitude = std::min(magnitude * 10 + (text[position] - '0'), kLargest);
  }
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

int32_t VersionNumberOf(std::string_view versionText) {
  if (versionText.size() <= kVersionDigitsOffset) return CDecimalValue({});
  return CDecimalValue(versionText.substr(kVersionDigitsOffset, kVersionDigitsCount));
}

TUnitVerdict CheckVersionText(std::string_view versionText) {
  if (versionText.substr(0, kUnitModel.size()) != kUnitModel) return TUnitVerdict::kWrongModel;
  const int32_t version = VersionNumberOf(versionText);
  if (version < CDecimalValue(kLowestAcceptedVersion.substr(0, kVersionDigitsCount))) {
    return TUnitVerdict::kTooOld;
  }
  if (version > CDecimalValue(kHighestAcceptedVersion.substr(0, kVersionDigitsCount))) {
    return TUnitVerdict::kTooNew;
  }
  return TUnitVerdict::kAccepted;
}

bool ParamPieceFits(int64_t blockIndex, size_t pieceBytes) {
  if (blockIndex < 0 || pieceBytes > kParamBlockBytes) return false;
  const int64_t first = blockIndex * static_cast<int64_t>(kParamPieceBytes);
  return first <= static_cast<int64_t>(kParamBlockBytes - pieceBytes);
}

std::optional<uint32_t> DeriveSessionKey(const TParamBlock& block) {
  const uint8_t selector = block[kKeySelectorOffset];
  if (selector > kMaxKeySelector) return std::nullopt;
  const uint8_t mask = block[kKeyMaskOffset];
  const size_t material = kKeyMaterialOffset + kKeyMaterialStride * selector;
  std::array<uint8_t, kKeyMaterialBytes> unmasked{};
  for (size_t i = 0; i < kKeyMaterialBytes; ++i) unmasked[i] = block[material + i] ^ mask;
  uint32_t key = 0;
  for (size_t i = 0; i < kKeyMaterialBytes / 2; ++i) {
    const uint8_t keyByte = unmasked[i] ^ unmasked[i + kKeyMaterialBytes / 2];
    key |= uint32_t{keyByte} << (8 * i);
  }
  return key;
}

}  // namespace kv

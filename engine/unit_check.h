// The run-mode side of the update engine that needs no window: the unit and
// version check of the model and version text, and the session key that masks
// the DSP program, derived from the unit's parameter block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kv {

// Bytes of the unit's run-mode answers that the engine gives a meaning to.
enum TUnitAnswerByte : uint8_t {
  uaUnitTypeKv93t = 0x33,  // identify answer, payload byte 0: the only unit type accepted
};

// The version text: characters 1-6 the model, 7-8 not examined, 9-11 the
// firmware version in decimal (0-based offsets below).
inline constexpr std::string_view kUnitModel = "KV-93T";
inline constexpr size_t kVersionDigitsOffset = 8;
inline constexpr size_t kVersionDigitsCount = 3;
// Both bounds are read the way the version is: only version 12 is accepted.
inline constexpr std::string_view kLowestAcceptedVersion = "012";
inline constexpr std::string_view kHighestAcceptedVersion = "012";

// The C library's decimal conversion (strtol in base 10): leading white space is
// skipped, an optional sign taken, digits read up to the first non-digit; no
// digits give 0. Values beyond int32_t saturate.
int32_t CDecimalValue(std::string_view text);

// The firmware version of a version text: characters 9 to 11 (fewer when the
// text is shorter, none below 9 characters) through CDecimalValue.
int32_t VersionNumberOf(std::string_view versionText);

enum class TUnitVerdict { kAccepted, kWrongModel, kTooOld, kTooNew };

// The tests in their order: model (byte for byte), lowest, highest version.
TUnitVerdict CheckVersionText(std::string_view versionText);

// The parameter block the unit hands out in eleven replies: ten pieces of 50
// bytes, then one of 16; piece b lands at b * 50.
inline constexpr size_t kParamBlockBytes = 516;
inline constexpr size_t kParamPieceBytes = 50;
inline constexpr size_t kLastParamPieceBytes = 16;
inline constexpr int32_t kParamReplyCount = 11;
inline constexpr size_t kKeySelectorOffset = 0;
inline constexpr size_t kKeyMaskOffset = 2;
inline constexpr size_t kKeyMaterialOffset = 5;
inline constexpr size_t kKeyMaterialStride = 16;
inline constexpr size_t kKeyMaterialBytes = 8;
// The largest selector whose key material (bytes 5 + 16s to 12 + 16s) lies inside the block.
inline constexpr uint8_t kMaxKeySelector =
    (kParamBlockBytes - kKeyMaterialOffset - kKeyMaterialBytes) / kKeyMaterialStride;
static_assert(kMaxKeySelector == 31);

using TParamBlock = std::array<uint8_t, kParamBlockBytes>;

// Whether a piece of `pieceBytes` bytes with this block index lies inside the block.
bool ParamPieceFits(int64_t blockIndex, size_t pieceBytes);

// s = P[0], m = P[2]; t[i] = P[5 + 16s + i] ^ m for i = 0..7; key byte i =
// t[i] ^ t[i + 4], byte 0 the least significant. Nothing for a selector above
// kMaxKeySelector: its key material would lie outside the block.
std::optional<uint32_t> DeriveSessionKey(const TParamBlock& block);

}  // namespace kv

// The unit's parameter block: 516 bytes it hands out in eleven pieces (command
// 0xA8), and from which both sides derive the key that masks the DSP program.
// The unit derives its key here, on its own, to unmask what it receives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::sim {

inline constexpr size_t kParameterBlockBytes = 516;
inline constexpr size_t kParameterPieceBytes = 50;      // pieces 0 to 9
inline constexpr size_t kLastParameterPieceBytes = 16;  // piece 10
inline constexpr uint8_t kLastParameterPiece = 10;
inline constexpr size_t kSelectorOffset = 0;
inline constexpr size_t kMaskOffset = 2;

using ParameterBlock = std::array<uint8_t, kParameterBlockBytes>;

// Byte 0 the selector, byte 2 the mask, every other byte from the seed.
ParameterBlock MakeParameterBlock(uint8_t selector, uint8_t mask, uint32_t seed);

// The key: t[i] = P[5 + 16 s + i] ^ m for i = 0..7, key byte i = t[i] ^ t[i + 4],
// byte 0 the least significant. A selector that would reach past the block gives 0.
uint32_t DeriveUnitKey(const ParameterBlock& block);

// The answer payload for piece `piece` (0..10): the piece number, then its bytes.
// Empty for a piece that does not exist.
std::vector<uint8_t> ParameterPiece(const ParameterBlock& block, uint8_t piece);

}  // namespace kv::sim

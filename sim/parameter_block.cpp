#include "sim/parameter_block.h"

#include "sim/sim_random.h"

namespace kv::sim {
namespace {

constexpr size_t kKeySourceBase = 5;
constexpr size_t kKeySourceStride = 16;
constexpr size_t kKeySourceBytes = 8;

}  // namespace

ParameterBlock MakeParameterBlock(uint8_t selector, uint8_t mask, uint32_t seed) {
  ParameterBlock block{};
  SimRandom random(seed);
  for (uint8_t& byte : block) byte = random.NextByte();
  block[kSelectorOffset] = selector;
  block[kMaskOffset] = mask;
  return block;
}

uint32_t DeriveUnitKey(const ParameterBlock& block) {
  size_t base = kKeySourceBase + kKeySourceStride * block[kSelectorOffset];
  if (base + kKeySourceBytes > block.size()) return 0;
  uint8_t mask = block[kMaskOffset];
  uint32_t key = 0;
  for (size_t i = 0; i < 4; ++i) {
    uint8_t low = block[base + i] ^ mask;
    uint8_t high = block[base + i + 4] ^ mask;
    key |= static_cast<uint32_t>(low ^ high) << (8 * i);
  }
  return key;
}

std::vector<uint8_t> ParameterPiece(const ParameterBlock& block, uint8_t piece) {
  if (piece > kLastParameterPiece) return {};
  size_t start = piece * kParameterPieceBytes;
  size_t count = piece == kLastParameterPiece ? kLastParameterPieceBytes : kParameterPieceBytes;
  std::vector<uint8_t> payload{piece};
  payload.insert(payload.end(), block.begin() + static_cast<long>(start),
                 block.begin() + static_cast<long>(start + count));
  return payload;
}

}  // namespace kv::sim

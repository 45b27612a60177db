// Deterministic bytes for the simulated unit: the same seed gives the same
// parameter block and the same garbage reports on every run and platform.
#pragma once

#include <cstdint>

namespace kv::sim {

class SimRandom {
 public:
  explicit SimRandom(uint32_t seed) : state_(seed) {}

  // A linear congruential step; the high byte has the longest period.
  uint8_t NextByte() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state_ >> 24);
  }

 private:
  uint32_t state_;
};

}  // namespace kv::sim

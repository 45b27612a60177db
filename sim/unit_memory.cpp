#include "sim/unit_memory.h"

#include <algorithm>

namespace kv::sim {

void FlashMemory::Erase() {
  std::fill(bytes.begin(), bytes.end(), kErased);
  erased = true;
  programmed = 0;
}

size_t FlashMemory::Program(uint32_t address, const uint8_t* data, size_t count) {
  if (address >= kBytes) return 0;
  size_t inside = std::min<size_t>(count, kBytes - address);
  for (size_t i = 0; i < inside; ++i) bytes[address + i] &= data[i];
  return inside;
}

void DspMemory::Store(uint32_t chunk, const uint8_t* unmasked) {
  if (chunk >= kChunks) return;
  if (chunk == 0) {
    std::fill(bytes.begin(), bytes.end(), 0);
    started = true;
    chunks_stored = 0;
  }
  std::copy(unmasked, unmasked + kChunkBytes,
            bytes.begin() + static_cast<long>(chunk * kChunkBytes));
  last_chunk = static_cast<int32_t>(chunk);
  ++chunks_stored;
}

uint32_t ProtocolLog::RunCommandCount(uint8_t code) const {
  auto found = run_commands_.find(code);
  return found == run_commands_.end() ? 0 : found->second;
}

void ProtocolLog::Violation(std::string text) {
  ++violation_count_;
  if (violations_.size() < kMaxKeptViolations) violations_.push_back(std::move(text));
}

void ProtocolLog::PacingViolation(std::string text, int64_t minimum_ms) {
  ++pacing_violations_;
  const bool new_minimum = pacing_minima_listed_.insert(minimum_ms).second;
  if (pacing_violations_ <= kMaxListedPacingViolations || new_minimum) {
    Violation(std::move(text));
  } else {
    ++violation_count_;
  }
}

}  // namespace kv::sim

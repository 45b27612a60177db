// What the fuzz targets share: a check that stops the run with a message the
// fuzzer keeps beside the input, and a reader that takes fields off the front
// of an input without ever reading past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace kv::fuzz {

// Aborts, so that libFuzzer records the input as a crash. Unlike assert it
// stays on in optimised builds.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}

#define KV_FUZZ_REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : ::kv::fuzz::Fail(#condition, __FILE__, __LINE__))

// Takes values off the front of the input. Once it is used up every read gives
// 0 and every span is empty, so a target can read a fixed layout from any input.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }
  size_t Remaining() const { return size_ - position_; }

  uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
  bool Flag() { return (Byte() & 1) != 0; }
  uint16_t Le16() {
    const uint8_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t Le32() {
    const uint32_t low = Le16();
    return low | uint32_t{Le16()} << 16;
  }
  // Up to `count` bytes, fewer at the end of the input.
  std::span<const uint8_t> Bytes(size_t count) {
    const size_t taken = count < Remaining() ? count : Remaining();
    const std::span<const uint8_t> bytes(data_ + position_, taken);
    position_ += taken;
    return bytes;
  }
  std::span<const uint8_t> Rest() { return Bytes(Remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace kv::fuzz

// The byte buffer every payload, frame, response and queued command travels in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

namespace kv {

// A growable sequence of bytes with two kinds of indexed access: operator[] is
// unchecked; at() throws std::out_of_range("vector") for an index at or past the
// end. The response handler relies on that exact text: the toolkit's exception
// box shows it, and a handler that reads past a short reply ends right there.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(std::initializer_list<uint8_t> bytes) : bytes_(bytes) {}
  ByteBuffer(const uint8_t* data, size_t count) : bytes_(data, data + count) {}
  explicit ByteBuffer(size_t count, uint8_t fill = 0) : bytes_(count, fill) {}

  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }

  uint8_t operator[](size_t index) const { return bytes_[index]; }
  uint8_t& operator[](size_t index) { return bytes_[index]; }

  uint8_t at(size_t index) const {
    if (index >= bytes_.size()) throw std::out_of_range("vector");
    return bytes_[index];
  }

  void push_back(uint8_t byte) { bytes_.push_back(byte); }
  void append(const uint8_t* data, size_t count) {
    bytes_.insert(bytes_.end(), data, data + count);
  }
  void clear() { bytes_.clear(); }
  void resize(size_t count, uint8_t fill = 0) { bytes_.resize(count, fill); }
  void reserve(size_t count) { bytes_.reserve(count); }

  auto begin() const { return bytes_.begin(); }
  auto end() const { return bytes_.end(); }
  auto begin() { return bytes_.begin(); }
  auto end() { return bytes_.end(); }

  const std::vector<uint8_t>& vector() const { return bytes_; }
  bool operator==(const ByteBuffer& other) const = default;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kv

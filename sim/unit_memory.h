// What the simulated unit keeps across personalities: its flash, the DSP program
// memory it fills in run mode, and the log of what it received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv::sim {

// The microcontroller's flash as the boot loader programs it: erased to 0xFF,
// programming can only clear bits (like NOR flash), so writing one place twice
// without an erase shows up as corrupt bytes.
struct FlashMemory {
  static constexpr uint32_t kBytes = 0x11000;
  static constexpr uint8_t kErased = 0xFF;

  std::vector<uint8_t> bytes = std::vector<uint8_t>(kBytes, kErased);
  bool erased = false;      // at least one "start program" since power-up
  uint32_t start = 0;       // announced with "start program"
  uint32_t length = 0;      // announced with "start program"
  uint32_t programmed = 0;  // bytes of the announced range programmed since the erase

  void Erase();
  // Programs up to `count` bytes from `address`, none beyond the flash; returns
  // how many were inside it.
  size_t Program(uint32_t address, const uint8_t* data, size_t count);
};

// The DSP program memory: 32-byte chunks, unmasked, at 32 × chunk index.
struct DspMemory {
  static constexpr size_t kChunkBytes = 32;
  static constexpr size_t kChunks = 2048;
  static constexpr size_t kBytes = kChunkBytes * kChunks;

  std::vector<uint8_t> bytes = std::vector<uint8_t>(kBytes, 0);
  bool started = false;        // chunk 0 arrived at least once
  int32_t last_chunk = -1;     // index of the chunk stored last
  uint32_t chunks_stored = 0;  // since the latest chunk 0

  // Chunk 0 begins a new download: the memory is cleared first.
  void Store(uint32_t chunk, const uint8_t* unmasked);
};

// Counts of what arrived and every protocol violation noticed, in order.
class ProtocolLog {
 public:
  // Enough to read what went wrong; a runaway host cannot grow it without bound.
  static constexpr size_t kMaxKeptViolations = 200;

  void CountRunCommand(uint8_t code) { ++run_commands_[code]; }
  void CountBootRequest(uint8_t code) { ++boot_requests_[code]; }
  uint32_t RunCommandCount(uint8_t code) const;
  // Pacing violations come in runs (a fast host is fast on every packet): all
  // are counted; the first few are listed, and the first for each minimum
  // interval, so that every kind of step that came too soon shows.
  static constexpr size_t kMaxListedPacingViolations = 5;

  void Violation(std::string text);
  // `minimum_ms`: the interval the request fell short of.
  void PacingViolation(std::string text, int64_t minimum_ms);
  uint64_t PacingViolationCount() const { return pacing_violations_; }
  // The pace the unit was told to accept: its minimum intervals divided by this.
  void SetPaceDivisor(int divisor) { pace_divisor_ = divisor; }
  int PaceDivisor() const { return pace_divisor_; }
  void FaultFired(std::string text) { faults_fired_.push_back(std::move(text)); }

  const std::map<uint8_t, uint32_t>& RunCommands() const { return run_commands_; }
  const std::map<uint8_t, uint32_t>& BootRequests() const { return boot_requests_; }
  const std::vector<std::string>& Violations() const { return violations_; }
  uint64_t ViolationCount() const { return violation_count_; }
  const std::vector<std::string>& FaultsFired() const { return faults_fired_; }

 private:
  std::map<uint8_t, uint32_t> run_commands_;
  std::map<uint8_t, uint32_t> boot_requests_;
  std::vector<std::string> violations_;
  uint64_t violation_count_ = 0;
  uint64_t pacing_violations_ = 0;
  std::set<int64_t> pacing_minima_listed_;
  int pace_divisor_ = 1;
  std::vector<std::string> faults_fired_;
};

}  // namespace kv::sim

// A unit made from a recording: it appears and leaves when the recording says,
// and answers each report the tool writes with what the recorded unit answered.
//
// The recording is played in its own order. Every written line (W) is a gate:
// the lines after it wait until the tool has written the same report, then follow
// with their recorded delays from that moment (divided by `delay_divisor`). A
// write the tool makes before the lines ahead of its gate have played makes them
// play at once, in their order. A write the recording does not have parts the
// replay from its recording, except while the recorded unit was leaving: such a
// write is refused, as the leaving unit refused the writes that the recording
// marks "(write failed)".
//
// Threads: the bus asks TakesOutputReport on the writer's thread, which only
// decides and hands the lines to play to the player's own thread; that thread
// alone attaches, detaches and sends, and never while it holds the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/sim_bus.h"
#include "sim/recording.h"
#include "toolkit/thread_annotations.h"

namespace kv::sim {

// How much longer than recorded the tool may take to write what the recording
// has it write next before the replay says it waits for something the recording
// never had.
inline constexpr std::chrono::seconds kRecordedWriteSlack{3};
// A recording without its end line (X): once everything has played, this long
// without a write and the replay says it ran out.
inline constexpr std::chrono::seconds kRanOutGrace{1};

// Where the replay parted from its recording.
struct Divergence {
  size_t line_number = 0;  // the recording's line the tool did not follow
  std::string what;
  // When a write differs: the report the recording has and the one written,
  // without the report ID, and where they first differ.
  std::optional<std::vector<uint8_t>> expected;
  std::optional<std::vector<uint8_t>> written;
  std::optional<size_t> first_difference;
};

class RecordedUnit final : public hid::SimDeviceEndpoint {
 public:
  using Clock = std::chrono::steady_clock;
  using DivergenceHandler = std::function<void(const Divergence&)>;

  // The unit must be destroyed before the bus; it plays once Start is called.
  RecordedUnit(hid::SimulatedHidBus& bus, Recording recording, double delay_divisor);
  ~RecordedUnit() override;
  RecordedUnit(const RecordedUnit&) = delete;
  RecordedUnit& operator=(const RecordedUnit&) = delete;

  // Called once, on the player's or the writer's thread, when the replay parts
  // from the recording; at once when it already has.
  void SetDivergenceHandler(DivergenceHandler handler);
  void Start();

  const Recording& Played() const { return recording_; }
  std::optional<Divergence> Parted() const;
  // The first written line the tool has not written yet, if any.
  std::optional<size_t> UnwrittenLine() const;
  // The latest line the recorded unit played (a report, an error, a coming or going).
  std::optional<RecordLine> LastPlayed() const;

  bool TakesOutputReport(const uint8_t* data, size_t count) override;
  void OnOutputReport(const uint8_t* /*data*/, size_t /*count*/) override {}

 private:
  void Run();
  // The next line to play, once it is due; empty when stopping.
  std::optional<RecordLine> NextDue();
  void Play(const RecordLine& line);
  // The next written line the tool must write, from `from` on.
  std::optional<size_t> NextGate(size_t from) const KV_REQUIRES(mutex_);
  // Lines from next_ up to and including `last` play at once.
  void PlayNow(size_t last) KV_REQUIRES(mutex_);
  Clock::time_point Due(const RecordLine& line) const KV_REQUIRES(mutex_);
  void Part(Divergence divergence) KV_REQUIRES(mutex_);
  Divergence WrongWrite(size_t gate, std::vector<uint8_t> written) const KV_REQUIRES(mutex_);

  hid::SimulatedHidBus& bus_;
  const Recording recording_;
  const double delay_divisor_;

  mutable Mutex mutex_;
  std::condition_variable_any wake_;
  size_t next_ KV_GUARDED_BY(mutex_) = 0;
  // The lines to play at once, before next_.
  std::deque<RecordLine> immediate_ KV_GUARDED_BY(mutex_);
  // When the latest gate was written, and its recorded time.
  Clock::time_point anchor_ KV_GUARDED_BY(mutex_);
  double anchor_seconds_ KV_GUARDED_BY(mutex_) = 0;
  std::optional<Divergence> parted_ KV_GUARDED_BY(mutex_);
  std::optional<RecordLine> last_played_ KV_GUARDED_BY(mutex_);
  DivergenceHandler handler_ KV_GUARDED_BY(mutex_);
  bool stopping_ KV_GUARDED_BY(mutex_) = false;

  // Player thread only.
  std::map<std::string, hid::SimulatedHidBus::DeviceId> attached_;
  std::optional<hid::SimulatedHidBus::DeviceId> current_;
  std::thread thread_;
};

}  // namespace kv::sim

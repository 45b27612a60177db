// A simulated KV-93T unit on the simulated HID bus. It behaves as the real unit
// does, through the same HID reports: in run mode its application firmware
// answers framed commands; after command 0x08 it leaves the bus and comes back as
// its boot loader (update mode), which programs the flash and, on reset, leaves
// again and comes back in run mode. It records every report it receives and
// judges what it was sent (Verdict).
//
// Threads: the bus calls OnOutputReport on the writer's thread; it only records
// the report and queues its handling on the unit's own thread (UnitTimeline),
// where the answers, erase times and re-enumeration delays run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid/sim_bus.h"
#include "sim/boot_loader.h"
#include "sim/fault_plan.h"
#include "sim/parameter_block.h"
#include "sim/request_pacing.h"
#include "sim/run_firmware.h"
#include "sim/sim_options.h"
#include "sim/sim_random.h"
#include "sim/unit_memory.h"
#include "sim/unit_timeline.h"
#include "sim/unit_verdict.h"
#include "toolkit/thread_annotations.h"

namespace kv::sim {

// The unit's USB identity: the vendor and one product per personality.
inline constexpr uint16_t kUnitVendorId = 0x0168;
inline constexpr uint16_t kRunProductId = 0x0821;
inline constexpr uint16_t kUpdateProductId = 0x0904;
// Both personalities: report ID 0 and 64 data bytes each way.
inline constexpr uint16_t kUnitReportBytes = 65;
// A unit that answers 0x08 or reset and then leaves the bus sends its answer
// first: it waits until the host has taken every report it sent (a USB device
// sees its IN transfer complete), looking every kAnswerTakenPoll, for at most
// kAnswerTakenLimit (a host that reads nothing does not keep it), then leaves
// kLeaveAfterAnswer later.
inline constexpr std::chrono::milliseconds kAnswerTakenPoll{1};
inline constexpr std::chrono::milliseconds kAnswerTakenLimit{1000};
inline constexpr std::chrono::milliseconds kLeaveAfterAnswer{20};

enum class Personality { kDetached, kRun, kUpdate };
const char* PersonalityName(Personality personality);

struct ReceivedReport {
  std::chrono::microseconds at{0};  // since the unit was made
  Personality personality = Personality::kDetached;
  std::vector<uint8_t> bytes;  // as written: report ID first
};

class SimulatedUnit final : public hid::SimDeviceEndpoint {
 public:
  using Clock = UnitTimeline::Clock;
  using DeviceId = hid::SimulatedHidBus::DeviceId;

  // Most reports kept for ReceivedReports; far more than a whole update takes.
  static constexpr size_t kMaxKeptReports = 100000;

  // The unit must be destroyed before the bus. `number` tells units apart (1 up).
  SimulatedUnit(hid::SimulatedHidBus& bus, const SimOptions& options, int number = 1);
  ~SimulatedUnit() override;
  SimulatedUnit(const SimulatedUnit&) = delete;
  SimulatedUnit& operator=(const SimulatedUnit&) = delete;

  // Attaches as options.start says (start=absent: in run mode after attach-ms).
  void PowerUp();
  // The cable is pulled: detached at once; answers and switches still pending are dropped.
  void Unplug();
  // The cable is plugged in: attached at once in this personality (detached first if needed).
  void PlugIn(Personality personality);

  Personality CurrentPersonality() const;
  // Waits, at most `limit`, until the unit is attached in `personality` (or, for
  // kDetached, off the bus).
  bool WaitForPersonality(Personality personality, std::chrono::milliseconds limit) const;
  std::optional<DeviceId> CurrentDeviceId() const;
  int Number() const { return number_; }
  // The USB port it is plugged into, the same in both personalities.
  std::string Port() const { return "sim-" + std::to_string(number_); }

  const ParameterBlock& Parameters() const { return parameters_; }
  uint32_t Key() const { return firmware_.Key(); }

  UnitVerdict Verdict() const;
  std::vector<std::string> Violations() const;
  std::vector<ReceivedReport> ReceivedReports() const;
  std::vector<uint8_t> FlashBytes() const;
  std::vector<uint8_t> DspBytes() const;
  size_t UnfiredFaults() const;

  // hid::SimDeviceEndpoint: records the report and queues its handling.
  void OnOutputReport(const uint8_t* data, size_t count) override;

 private:
  struct AnswerPlan {
    uint64_t generation = 0;
    Clock::time_point due;
    std::vector<std::vector<uint8_t>> reports;  // input reports, report ID first
    std::optional<uint32_t> read_error;
    bool unplug = false;
    Personality switch_to = Personality::kDetached;  // kDetached: stays
  };

  // Unit thread.
  void Process(uint64_t generation, Personality personality, const std::vector<uint8_t>& report,
               Clock::time_point arrival);
  void Deliver(const AnswerPlan& plan);
  void LeaveOnceAnswerTaken(uint64_t generation, Personality target, Clock::time_point give_up);
  // Bus lock held: leaves the bus; back in `comeback` after replug_ms, if ever.
  void UnplugLocked(Personality comeback);
  void UnplugOnceReadFailed(uint64_t generation, Personality comeback, Clock::time_point give_up);
  void SwitchPersonality(uint64_t generation, Personality target);
  void AttachIfStill(uint64_t generation, Personality target);

  AnswerPlan PlanRunAnswer(const std::vector<uint8_t>& report, Clock::time_point arrival)
      KV_REQUIRES(mutex_);
  AnswerPlan PlanBootAnswer(const std::vector<uint8_t>& report, Clock::time_point arrival)
      KV_REQUIRES(mutex_);
  void ApplyCommonFaults(const std::vector<SimFault>& faults,
                         std::optional<std::vector<uint8_t>> answer, Clock::time_point arrival,
                         std::chrono::milliseconds processing, AnswerPlan& plan)
      KV_REQUIRES(mutex_);
  std::vector<SimFault> TakeFaults(FaultSite site, uint32_t index = 0, uint32_t occurrence = 1)
      KV_REQUIRES(mutex_);

  // Bus lock held, the unit on the bus: true while the host has not taken all the
  // unit sent and `give_up` has not come, with `poll_again` queued for the next poll.
  bool HostStillReading(Clock::time_point give_up, UnitTimeline::Task poll_again);
  // In that personality, and on the bus unless it is kDetached.
  bool IsIn(Personality personality) const KV_REQUIRES(mutex_);

  // bus_mutex_ held.
  void AttachLocked(Personality target);
  void DetachLocked();
  bool StillCurrent(uint64_t generation) const;

  hid::SimDeviceProfile ProfileFor(Personality personality) const;

  hid::SimulatedHidBus& bus_;
  const SimOptions options_;
  const int number_;
  const ParameterBlock parameters_;
  const RunFirmware firmware_;
  const Clock::time_point created_;

  // Serialises this unit's attach, detach and sends on the bus; taken before mutex_.
  Mutex bus_mutex_;

  mutable Mutex mutex_;
  mutable std::condition_variable_any personality_changed_;
  Personality personality_ KV_GUARDED_BY(mutex_) = Personality::kDetached;
  std::optional<DeviceId> device_id_;              // written with bus_mutex_ and mutex_ held
  uint64_t generation_ KV_GUARDED_BY(mutex_) = 0;  // counts attaches and detaches
  BootLoader boot_loader_ KV_GUARDED_BY(mutex_);
  // Of the current attachment in update mode.
  RequestPacing pacing_ KV_GUARDED_BY(mutex_){options_.PaceDivisor()};
  FlashMemory flash_ KV_GUARDED_BY(mutex_);
  DspMemory dsp_ KV_GUARDED_BY(mutex_);
  ProtocolLog log_ KV_GUARDED_BY(mutex_);
  FaultPlan faults_ KV_GUARDED_BY(mutex_);
  SimRandom garbage_random_ KV_GUARDED_BY(mutex_);
  Clock::time_point busy_until_ KV_GUARDED_BY(mutex_);
  std::vector<ReceivedReport> received_ KV_GUARDED_BY(mutex_);
  uint64_t reports_not_kept_ KV_GUARDED_BY(mutex_) = 0;

  UnitTimeline timeline_;  // last: its thread starts once everything above exists
};

}  // namespace kv::sim

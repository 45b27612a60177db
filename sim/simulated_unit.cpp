#include "sim/simulated_unit.h"

#include <algorithm>
#include <utility>

#include "sim/device_frame.h"
#include "sim/unit_protocol.h"

namespace kv::sim {
namespace {

using std::chrono::milliseconds;

constexpr uint16_t kVendorUsagePage = 0xFF00;
constexpr uint16_t kVendorUsage = 0x0001;
constexpr uint16_t kRunFirmwareRelease = 0x0120;
constexpr uint16_t kBootLoaderRelease = 0x0100;
constexpr uint8_t kReportId = 0x00;
// Garbage reports differ from one unit to the next but not from run to run.
constexpr uint32_t kGarbageSeedSalt = 0xA5C3E1F7;

// An input report: report ID, then the data, zero-filled to `at_least` bytes.
std::vector<uint8_t> InputReport(const std::vector<uint8_t>& data, size_t at_least) {
  std::vector<uint8_t> report(std::max(data.size() + 1, at_least), 0);
  report[0] = kReportId;
  std::copy(data.begin(), data.end(), report.begin() + 1);
  return report;
}

// A full-length input report, as a HID device always sends.
std::vector<uint8_t> FullReport(const std::vector<uint8_t>& data) {
  return InputReport(data, kUnitReportBytes);
}

FaultSite SiteOf(BootStep step) {
  switch (step) {
    case BootStep::kConnect:
      return FaultSite::kConnect;
    case BootStep::kSyncPackage:
      return FaultSite::kSyncPackage;
    case BootStep::kFirmwareVersion:
      return FaultSite::kFirmwareVersion;
    case BootStep::kDeviceId:
      return FaultSite::kDeviceId;
    case BootStep::kReadConfig:
      return FaultSite::kReadConfig;
    case BootStep::kSyncProgram:
      return FaultSite::kSyncProgram;
    case BootStep::kStartProgram:
      return FaultSite::kStartProgram;
    case BootStep::kData:
      return FaultSite::kData;
    case BootStep::kReset:
    case BootStep::kUnknown:
      break;
  }
  return FaultSite::kReset;
}

bool Has(const std::vector<SimFault>& faults, FaultKind kind) {
  return std::any_of(faults.begin(), faults.end(),
                     [kind](const SimFault& fault) { return fault.kind == kind; });
}

// A device frame claiming a length it does not have; its checksum matches the
// bytes as sent, so only the length byte lies.
std::vector<uint8_t> OversizeFrame(uint8_t code, std::vector<uint8_t> payload, int64_t length) {
  std::vector<uint8_t> frame = BuildDeviceFrame(code, payload);
  frame[4] = static_cast<uint8_t>(length);
  frame.back() = XorOf(frame.data(), frame.size() - 1);
  return frame;
}

// A flash cell that does not take its value keeps the erased state. The boot
// loader does not read back, so its reply is as usual: only a verification of
// the flash can tell.
void KeepCellErased(FlashMemory& flash, uint32_t packet_offset, int64_t packet_byte) {
  const uint64_t offset = uint64_t{packet_offset} + static_cast<uint64_t>(packet_byte);
  const uint64_t address = uint64_t{flash.start} + offset;
  if (offset < flash.programmed && address < FlashMemory::kBytes) {
    flash.bytes[static_cast<size_t>(address)] = FlashMemory::kErased;
  }
}

// The input report of a run-mode answer, spoilt as the faults say.
std::vector<uint8_t> RunAnswerReport(const RunAnswer& answer, const std::vector<SimFault>& faults) {
  std::vector<uint8_t> payload = answer.payload;
  for (const SimFault& fault : faults) {
    if (fault.kind == FaultKind::kShort) {
      payload.resize(std::min(payload.size(), static_cast<size_t>(fault.amount)));
    }
  }
  std::vector<uint8_t> frame = BuildDeviceFrame(answer.code, payload);
  for (const SimFault& fault : faults) {
    if (fault.kind == FaultKind::kBadEcho) {
      frame.back() ^= 0xFF;
    } else if (fault.kind == FaultKind::kOversize) {
      frame = OversizeFrame(answer.code, payload, fault.amount);
    }
  }
  return FullReport(frame);
}

// The input report of a boot-loader reply, spoilt as the faults say. Only a short
// reply travels in a report shorter than the device's.
std::vector<uint8_t> BootReplyReport(const BootAnswer& answer,
                                     const std::vector<SimFault>& faults) {
  std::vector<uint8_t> reply = answer.reply;
  bool full_length = true;
  for (const SimFault& fault : faults) {
    if (fault.kind == FaultKind::kBadEcho) {
      PutUnitLe32(reply.data(), kBootEchoOffset, UnitLe32(reply.data(), kBootEchoOffset) + 1);
    } else if (fault.kind == FaultKind::kShort) {
      reply.resize(std::min(reply.size(), kBootEchoBytes + static_cast<size_t>(fault.amount)));
      full_length = false;
    } else if (fault.kind == FaultKind::kOversize) {
      reply = OversizeFrame(answer.code, {}, fault.amount);
    }
  }
  return full_length ? FullReport(reply) : InputReport(reply, 0);
}

}  // namespace

const char* PersonalityName(Personality personality) {
  switch (personality) {
    case Personality::kRun:
      return "run mode";
    case Personality::kUpdate:
      return "update mode";
    case Personality::kDetached:
      break;
  }
  return "detached";
}

SimulatedUnit::SimulatedUnit(hid::SimulatedHidBus& bus, const SimOptions& options, int number)
    : bus_(bus),
      options_(options),
      number_(number),
      parameters_(MakeParameterBlock(options.selector, options.mask, options.param_seed)),
      firmware_(options.unit_type, options.version_text, parameters_),
      created_(Clock::now()),
      faults_(options.faults),
      garbage_random_(options.param_seed ^ kGarbageSeedSalt ^ static_cast<uint32_t>(number)),
      busy_until_(created_) {
  log_.SetPaceDivisor(options.PaceDivisor());
}

SimulatedUnit::~SimulatedUnit() {
  timeline_.Stop();
  MutexLock bus_lock(bus_mutex_);
  DetachLocked();
}

void SimulatedUnit::PowerUp() {
  switch (options_.start) {
    case SimStart::kRun:
      PlugIn(Personality::kRun);
      break;
    case SimStart::kUpdate:
      PlugIn(Personality::kUpdate);
      break;
    case SimStart::kAbsent: {
      uint64_t generation = 0;
      {
        MutexLock lock(mutex_);
        generation = generation_;
      }
      timeline_.After(milliseconds(options_.attach_ms),
                      [this, generation] { AttachIfStill(generation, Personality::kRun); });
      break;
    }
  }
}

void SimulatedUnit::Unplug() {
  MutexLock bus_lock(bus_mutex_);
  DetachLocked();
}

void SimulatedUnit::PlugIn(Personality personality) {
  MutexLock bus_lock(bus_mutex_);
  DetachLocked();
  if (personality != Personality::kDetached) AttachLocked(personality);
}

Personality SimulatedUnit::CurrentPersonality() const {
  MutexLock lock(mutex_);
  return personality_;
}

bool SimulatedUnit::WaitForPersonality(Personality personality, milliseconds limit) const {
  const Clock::time_point give_up = Clock::now() + limit;
  MutexLock lock(mutex_);
  while (!IsIn(personality)) {
    if (personality_changed_.wait_until(mutex_, give_up) == std::cv_status::timeout) {
      return IsIn(personality);
    }
  }
  return true;
}

bool SimulatedUnit::IsIn(Personality personality) const {
  return personality_ == personality &&
         device_id_.has_value() == (personality != Personality::kDetached);
}

std::optional<SimulatedUnit::DeviceId> SimulatedUnit::CurrentDeviceId() const {
  MutexLock lock(mutex_);
  return device_id_;
}

UnitVerdict SimulatedUnit::Verdict() const {
  MutexLock lock(mutex_);
  return JudgeUnit(flash_, dsp_, log_);
}

std::vector<std::string> SimulatedUnit::Violations() const {
  MutexLock lock(mutex_);
  return log_.Violations();
}

std::vector<ReceivedReport> SimulatedUnit::ReceivedReports() const {
  MutexLock lock(mutex_);
  return received_;
}

std::vector<uint8_t> SimulatedUnit::FlashBytes() const {
  MutexLock lock(mutex_);
  return flash_.bytes;
}

std::vector<uint8_t> SimulatedUnit::DspBytes() const {
  MutexLock lock(mutex_);
  return dsp_.bytes;
}

size_t SimulatedUnit::UnfiredFaults() const {
  MutexLock lock(mutex_);
  return faults_.Unfired();
}

void SimulatedUnit::OnOutputReport(const uint8_t* data, size_t count) {
  Clock::time_point arrival = Clock::now();
  std::vector<uint8_t> report;
  if (data != nullptr) report.assign(data, data + count);
  uint64_t generation = 0;
  Personality personality = Personality::kDetached;
  {
    MutexLock lock(mutex_);
    generation = generation_;
    personality = personality_;
    if (received_.size() < kMaxKeptReports) {
      received_.push_back(
          {std::chrono::duration_cast<std::chrono::microseconds>(arrival - created_), personality,
           report});
    } else {
      ++reports_not_kept_;
    }
  }
  if (personality == Personality::kDetached) return;
  timeline_.At(arrival, [this, generation, personality, arrival, report = std::move(report)] {
    Process(generation, personality, report, arrival);
  });
}

void SimulatedUnit::Process(uint64_t generation, Personality personality,
                            const std::vector<uint8_t>& report, Clock::time_point arrival) {
  AnswerPlan plan;
  {
    MutexLock lock(mutex_);
    // Sent to an attachment that has gone since: that device no longer exists.
    if (generation != generation_) return;
    plan = personality == Personality::kRun ? PlanRunAnswer(report, arrival)
                                            : PlanBootAnswer(report, arrival);
  }
  plan.generation = generation;
  if (plan.reports.empty() && !plan.read_error && !plan.unplug &&
      plan.switch_to == Personality::kDetached) {
    return;
  }
  Clock::time_point due = plan.due;
  timeline_.At(due, [this, plan = std::move(plan)] { Deliver(plan); });
}

std::vector<SimFault> SimulatedUnit::TakeFaults(FaultSite site, uint32_t index,
                                                uint32_t occurrence) {
  std::vector<SimFault> taken = faults_.Take(site, index, occurrence);
  for (const SimFault& fault : taken) log_.FaultFired(DescribeFault(fault));
  return taken;
}

SimulatedUnit::AnswerPlan SimulatedUnit::PlanRunAnswer(const std::vector<uint8_t>& report,
                                                       Clock::time_point arrival) {
  AnswerPlan plan;
  RunAnswer answer = firmware_.Handle(report.data(), report.size(), dsp_, log_);
  if (!answer.valid) return plan;  // rejected frames get no answer
  std::vector<SimFault> faults = TakeFaults(FaultSite::kCommand, answer.code, answer.occurrence);
  if (answer.param_piece >= 0) {
    std::vector<SimFault> more =
        TakeFaults(FaultSite::kParam, static_cast<uint32_t>(answer.param_piece));
    faults.insert(faults.end(), more.begin(), more.end());
  }
  if (answer.dsp_chunk >= 0) {
    std::vector<SimFault> more =
        TakeFaults(FaultSite::kDsp, static_cast<uint32_t>(answer.dsp_chunk));
    faults.insert(faults.end(), more.begin(), more.end());
  }
  if (answer.enters_update) plan.switch_to = Personality::kUpdate;

  std::optional<std::vector<uint8_t>> data;
  if (answer.answered) data = RunAnswerReport(answer, faults);
  ApplyCommonFaults(faults, std::move(data), arrival, milliseconds(options_.cmd_ms), plan);
  return plan;
}

SimulatedUnit::AnswerPlan SimulatedUnit::PlanBootAnswer(const std::vector<uint8_t>& report,
                                                        Clock::time_point arrival) {
  AnswerPlan plan;
  const uint32_t programmed_before = flash_.programmed;
  BootAnswer answer = boot_loader_.Handle(report.data(), report.size(), flash_, log_);
  if (!answer.answered) return plan;  // requests it does not know get no reply
  std::string step = BootStepName(answer.step);
  if (answer.step == BootStep::kData) {
    // Appended in two steps: GCC 12 at -O3 warns (-Wrestrict) on " " + to_string here.
    step += ' ';
    step += std::to_string(answer.data_index);
  }
  if (std::optional<RequestPacing::TooSoon> too_soon =
          pacing_.Arrived(arrival, step, answer.next_request_after)) {
    log_.PacingViolation(std::move(too_soon->text), too_soon->arming.count());
  }
  std::vector<SimFault> faults = TakeFaults(SiteOf(answer.step), answer.data_index);
  if (answer.step == BootStep::kData) {
    for (const SimFault& fault : faults) {
      if (fault.kind == FaultKind::kStuck) KeepCellErased(flash_, programmed_before, fault.amount);
    }
  }
  if (answer.resets) plan.switch_to = Personality::kRun;

  std::vector<uint8_t> data = BootReplyReport(answer, faults);
  milliseconds processing(options_.reply_ms);
  if (answer.erases) processing += milliseconds(options_.erase_ms);
  ApplyCommonFaults(faults, std::move(data), arrival, processing, plan);
  return plan;
}

void SimulatedUnit::ApplyCommonFaults(const std::vector<SimFault>& faults,
                                      std::optional<std::vector<uint8_t>> answer,
                                      Clock::time_point arrival, milliseconds processing,
                                      AnswerPlan& plan) {
  // The unit works on one request at a time: a request that arrives while it is
  // still busy (erasing, say) waits for it.
  plan.due = std::max(arrival, busy_until_) + processing;
  for (const SimFault& fault : faults) {
    if (fault.kind == FaultKind::kEarly) plan.due = arrival;
    if (fault.kind == FaultKind::kLate) plan.due = arrival + milliseconds(fault.amount);
    if (fault.kind == FaultKind::kReadError) plan.read_error = static_cast<uint32_t>(fault.amount);
  }
  busy_until_ = std::max(busy_until_, plan.due);

  if (Has(faults, FaultKind::kGarbage)) {
    std::vector<uint8_t> garbage{kReportId};
    for (size_t i = 1; i < kUnitReportBytes; ++i) garbage.push_back(garbage_random_.NextByte());
    plan.reports.push_back(std::move(garbage));
  }
  if (Has(faults, FaultKind::kUnplug)) {
    plan.unplug = true;
    plan.switch_to = Personality::kDetached;
    return;
  }
  if (!answer || Has(faults, FaultKind::kNoReply)) return;
  plan.reports.push_back(*answer);
  if (Has(faults, FaultKind::kDuplicate)) plan.reports.push_back(*answer);
}

bool SimulatedUnit::StillCurrent(uint64_t generation) const {
  MutexLock lock(mutex_);
  return generation == generation_ && device_id_.has_value();
}

void SimulatedUnit::Deliver(const AnswerPlan& plan) {
  MutexLock bus_lock(bus_mutex_);
  if (!StillCurrent(plan.generation)) return;
  DeviceId id = 0;
  Personality before = Personality::kDetached;
  {
    MutexLock lock(mutex_);
    id = *device_id_;
    before = personality_;
  }
  if (plan.read_error) {
    bus_.FailNextRead(id, *plan.read_error != 0 ? *plan.read_error : bus_.DeviceFailureCode());
  }
  for (const std::vector<uint8_t>& report : plan.reports) bus_.SendInputReport(id, report);

  if (plan.unplug) {
    if (plan.read_error) {
      // The failed read reaches the host before the departure does, as a
      // device's transfer error comes before its disconnect.
      const Clock::time_point give_up = Clock::now() + kAnswerTakenLimit;
      timeline_.After(kAnswerTakenPoll, [this, generation = plan.generation, before, give_up] {
        UnplugOnceReadFailed(generation, before, give_up);
      });
      return;
    }
    UnplugLocked(before);
    return;
  }
  if (plan.switch_to != Personality::kDetached) {
    uint64_t generation = plan.generation;
    Personality target = plan.switch_to;
    const Clock::time_point give_up = Clock::now() + kAnswerTakenLimit;
    timeline_.After(kAnswerTakenPoll, [this, generation, target, give_up] {
      LeaveOnceAnswerTaken(generation, target, give_up);
    });
  }
}

void SimulatedUnit::UnplugLocked(Personality comeback) {
  DetachLocked();
  if (options_.replug_ms < 0) return;
  uint64_t generation = 0;
  {
    MutexLock lock(mutex_);
    generation = generation_;
  }
  timeline_.After(milliseconds(options_.replug_ms),
                  [this, generation, comeback] { AttachIfStill(generation, comeback); });
}

void SimulatedUnit::UnplugOnceReadFailed(uint64_t generation, Personality comeback,
                                         Clock::time_point give_up) {
  MutexLock bus_lock(bus_mutex_);
  if (!StillCurrent(generation)) return;
  if (HostStillReading(give_up, [this, generation, comeback, give_up] {
        UnplugOnceReadFailed(generation, comeback, give_up);
      })) {
    return;
  }
  UnplugLocked(comeback);
}

bool SimulatedUnit::HostStillReading(Clock::time_point give_up, UnitTimeline::Task poll_again) {
  DeviceId id = 0;
  {
    MutexLock lock(mutex_);
    id = *device_id_;
  }
  if (!bus_.InputUnread(id) || Clock::now() >= give_up) return false;
  timeline_.After(kAnswerTakenPoll, std::move(poll_again));
  return true;
}

void SimulatedUnit::LeaveOnceAnswerTaken(uint64_t generation, Personality target,
                                         Clock::time_point give_up) {
  {
    MutexLock bus_lock(bus_mutex_);
    if (!StillCurrent(generation)) return;
    if (HostStillReading(give_up, [this, generation, target, give_up] {
          LeaveOnceAnswerTaken(generation, target, give_up);
        })) {
      return;
    }
  }
  timeline_.After(milliseconds(options_.usb_ms) + kLeaveAfterAnswer,
                  [this, generation, target] { SwitchPersonality(generation, target); });
}

void SimulatedUnit::SwitchPersonality(uint64_t generation, Personality target) {
  MutexLock bus_lock(bus_mutex_);
  if (!StillCurrent(generation)) return;
  DetachLocked();
  uint64_t detached_generation = 0;
  {
    MutexLock lock(mutex_);
    detached_generation = generation_;
  }
  timeline_.After(milliseconds(options_.reenum_ms), [this, detached_generation, target] {
    AttachIfStill(detached_generation, target);
  });
}

void SimulatedUnit::AttachIfStill(uint64_t generation, Personality target) {
  MutexLock bus_lock(bus_mutex_);
  {
    MutexLock lock(mutex_);
    // Plugged or pulled by hand meanwhile: that wins.
    if (generation != generation_ || device_id_) return;
  }
  AttachLocked(target);
}

hid::SimDeviceProfile SimulatedUnit::ProfileFor(Personality personality) const {
  hid::SimDeviceProfile description;
  bool run = personality == Personality::kRun;
  description.attributes.VendorID = kUnitVendorId;
  description.attributes.ProductID = run ? kRunProductId : kUpdateProductId;
  description.attributes.VersionNumber = run ? kRunFirmwareRelease : kBootLoaderRelease;
  description.caps.UsagePage = kVendorUsagePage;
  description.caps.Usage = kVendorUsage;
  description.caps.InputReportByteLength = kUnitReportBytes;
  description.caps.OutputReportByteLength = kUnitReportBytes;
  description.name = "KV-93T #" + std::to_string(number_) + " " + PersonalityName(personality);
  // Plugged into a port of its own, which both personalities share.
  description.port = Port();
  return description;
}

void SimulatedUnit::AttachLocked(Personality target) {
  {
    MutexLock lock(mutex_);
    ++generation_;
    personality_ = target;
    // Each attach in update mode is a fresh start of the boot loader.
    if (target == Personality::kUpdate) {
      boot_loader_ = BootLoader();
      pacing_ = RequestPacing(options_.PaceDivisor());
    }
    busy_until_ = Clock::now();
  }
  DeviceId id = bus_.Attach(ProfileFor(target), this);
  {
    MutexLock lock(mutex_);
    device_id_ = id;
  }
  personality_changed_.notify_all();
}

void SimulatedUnit::DetachLocked() {
  std::optional<DeviceId> id;
  {
    MutexLock lock(mutex_);
    id = device_id_;
    if (!id) return;
    ++generation_;
    personality_ = Personality::kDetached;
  }
  bus_.Detach(*id);
  {
    MutexLock lock(mutex_);
    device_id_.reset();
  }
  personality_changed_.notify_all();
}

}  // namespace kv::sim

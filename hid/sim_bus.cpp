#include "hid/sim_bus.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "hid/interface_gone.h"
#include "toolkit/thread_annotations.h"

namespace kv::hid {
namespace {

// System error codes the bus reports, with the operating system's texts.
constexpr uint32_t kSimErrorInvalidFunction = 1;
constexpr uint32_t kSimErrorFileNotFound = 2;
constexpr uint32_t kSimErrorAccessDenied = 5;
constexpr uint32_t kSimErrorGenFailure = 31;
constexpr uint32_t kSimErrorInvalidParameter = 87;
constexpr uint32_t kSimErrorDeviceNotConnected = 1167;
constexpr uint32_t kSimErrorInvalidUserBuffer = 1784;

constexpr std::chrono::microseconds kDefaultReportTime{1000};

// Input reports the bus keeps per open handle while nobody reads, as the
// system's ring buffer does; the oldest goes first.
constexpr size_t kInputReportQueueLimit = 32;

struct QueuedReport {
  std::chrono::steady_clock::time_point readable_at;
  std::vector<uint8_t> bytes;
};

// One handle's input, kept per open handle as the system keeps it.
struct HandleInput {
  std::deque<QueuedReport> reports;
  // Opened for reading, or read from since: the host takes what comes here. A
  // handle opened only to write collects input too, which nobody reads.
  bool host_reads = false;
};

}  // namespace

struct SimDevice {
  SimulatedHidBus::DeviceId id = 0;
  SimDeviceProfile description;
  SimDeviceEndpoint* endpoint = nullptr;
  std::string instance_id;
  std::string path;

  // Guarded by State::mutex.
  bool attached = true;
  bool hung_up = false;  // the interface is dead but still listed
  // As hidraw and the Windows HID driver do it: every handle open with read
  // access gets its own copy of each input report, and a report that arrives
  // before a handle is opened never reaches that handle.
  std::vector<HandleInput*> reader_inputs;
  int reading_handles = 0;  // opened for reading
  std::optional<uint32_t> fail_next_read;
  uint32_t reading_open_error = 0;
  int reading_opens_to_fail = 0;
  std::vector<std::thread::id> endpoint_callers;

  // One output report crosses the bus at a time, so the endpoint sees writes
  // one after the other as a real device does.
  Mutex write_mutex;
};

// State::mutex held.
void ClearInput(SimDevice& device) {
  for (HandleInput* input : device.reader_inputs) input->reports.clear();
}

struct SimulatedHidBus::State {
  explicit State(SimVocabulary spoken) : vocabulary(spoken) {}
  const SimVocabulary vocabulary;
  mutable Mutex mutex;
  std::condition_variable_any changed;  // input queued, detach, cancel, endpoint call ended
  std::map<DeviceId, std::shared_ptr<SimDevice>> devices KV_GUARDED_BY(mutex);  // attached ones
  DeviceId next_id KV_GUARDED_BY(mutex) = 1;
  std::chrono::microseconds report_time KV_GUARDED_BY(mutex) = kDefaultReportTime;

  // Device-change notifications, raised on the bus's own thread.
  Mutex notify_mutex;
  std::condition_variable_any notify_cv;
  int notifications_pending KV_GUARDED_BY(notify_mutex) = 0;
  bool stopping KV_GUARDED_BY(notify_mutex) = false;
  bool in_handler KV_GUARDED_BY(notify_mutex) = false;
  DeviceChangeHandler handler KV_GUARDED_BY(notify_mutex);
  std::thread notifier;

  void RaiseDeviceChange() {
    {
      MutexLock lock(notify_mutex);
      ++notifications_pending;
    }
    notify_cv.notify_all();
  }

  void RunNotifier() {
    for (;;) {
      DeviceChangeHandler current;
      {
        MutexLock lock(notify_mutex);
        while (!stopping && notifications_pending == 0) notify_cv.wait(notify_mutex);
        if (stopping) return;
        --notifications_pending;
        current = handler;
        if (!current) continue;
        in_handler = true;
      }
      current(kDbtDevNodesChanged, 0);
      {
        MutexLock lock(notify_mutex);
        in_handler = false;
      }
      notify_cv.notify_all();
    }
  }
};

namespace {

uint32_t AccessDeniedCode(SimVocabulary vocabulary) {
  return vocabulary == SimVocabulary::kWindows ? kSimErrorAccessDenied : kLinuxEacces;
}

uint32_t InvalidParameterCode(SimVocabulary vocabulary) {
  return vocabulary == SimVocabulary::kWindows ? kSimErrorInvalidParameter : kLinuxEinval;
}

class SimHandle final : public HidHandle {
 public:
  // State::mutex held.
  SimHandle(std::shared_ptr<SimulatedHidBus::State> state, std::shared_ptr<SimDevice> device,
            HidAccess access, bool for_reading)
      : state_(std::move(state)),
        device_(std::move(device)),
        access_(access),
        for_reading_(for_reading) {
    // Under the bus's lock, which Open holds: a report sent once Open has
    // returned reaches this handle.
    if (access_ != HidAccess::kReadWrite) return;
    input_.host_reads = for_reading_;
    device_->reader_inputs.push_back(&input_);
    if (for_reading_) ++device_->reading_handles;
  }

  ~SimHandle() override {
    if (access_ != HidAccess::kReadWrite) return;
    MutexLock lock(state_->mutex);
    std::erase(device_->reader_inputs, &input_);
    if (for_reading_) --device_->reading_handles;
  }

  bool GetAttributes(HidAttributes& attributes) override {
    MutexLock lock(state_->mutex);
    if (!device_->attached) return false;
    attributes = device_->description.attributes;
    return true;
  }

  bool GetCaps(HidCaps& caps) override {
    MutexLock lock(state_->mutex);
    if (!device_->attached) return false;
    caps = device_->description.caps;
    return true;
  }

  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    written = 0;
    if (data == nullptr || count == 0) return false;
    if (access_ != HidAccess::kReadWrite || for_reading_) return false;

    MutexLock wire(device_->write_mutex);
    std::chrono::microseconds report_time;
    {
      MutexLock lock(state_->mutex);
      if (!device_->attached || device_->hung_up) return false;
      // Like the system's HID driver: exactly one report of the declared length.
      const size_t declared = device_->description.caps.OutputReportByteLength;
      if (declared == 0 || count != declared) return false;
      report_time = state_->report_time;
    }
    std::this_thread::sleep_for(report_time);
    {
      MutexLock lock(state_->mutex);
      if (!device_->attached) return false;
      device_->endpoint_callers.push_back(std::this_thread::get_id());
    }
    struct CallerEntry {
      SimulatedHidBus::State& state;
      SimDevice& device;
      ~CallerEntry() {
        MutexLock lock(state.mutex);
        auto it = std::find(device.endpoint_callers.begin(), device.endpoint_callers.end(),
                            std::this_thread::get_id());
        if (it != device.endpoint_callers.end()) device.endpoint_callers.erase(it);
        state.changed.notify_all();
      }
    } entry{*state_, *device_};
    if (device_->endpoint != nullptr) {
      if (!device_->endpoint->TakesOutputReport(data, count)) return false;
      device_->endpoint->OnOutputReport(data, count);
    }
    written = count;
    return true;
  }

  HidReadStatus Read(uint8_t* buffer, size_t capacity, std::chrono::milliseconds slice,
                     size_t& transferred, uint32_t& error) override {
    transferred = 0;
    error = 0;
    if (access_ != HidAccess::kReadWrite) {
      error = AccessDeniedCode(state_->vocabulary);
      return HidReadStatus::kFailed;
    }
    if (buffer == nullptr && capacity > 0) {
      error = InvalidParameterCode(state_->vocabulary);
      return HidReadStatus::kFailed;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::max(std::chrono::milliseconds::zero(), slice);
    MutexLock lock(state_->mutex);
    for (;;) {
      // Spent for good, as a hidraw handle's wake-up descriptor is: the
      // controller must never wait on a cancelled handle again.
      if (cancel_requested_) return HidReadStatus::kCancelled;
      if (!device_->attached || device_->hung_up) return Gone(error);
      if (device_->fail_next_read) {
        error = *device_->fail_next_read;
        device_->fail_next_read.reset();
        return IsReadGoneError(error) ? HidReadStatus::kGone : HidReadStatus::kFailed;
      }
      const auto now = std::chrono::steady_clock::now();
      input_.host_reads = true;
      auto& input = input_.reports;
      if (!input.empty() && input.front().readable_at <= now) {
        const std::vector<uint8_t>& bytes = input.front().bytes;
        const size_t count = std::min(bytes.size(), capacity);
        std::copy_n(bytes.begin(), count, buffer);
        transferred = count;
        input.pop_front();
        return HidReadStatus::kCompleted;
      }
      if (now >= deadline) return HidReadStatus::kPending;
      auto wake = deadline;
      if (!input.empty()) wake = std::min(wake, input.front().readable_at);
      state_->changed.wait_until(state_->mutex, wake);
    }
  }

  void CancelRead() override {
    {
      MutexLock lock(state_->mutex);
      cancel_requested_ = true;
    }
    state_->changed.notify_all();
  }

 private:
  bool IsReadGoneError(uint32_t error) const {
    return state_->vocabulary == SimVocabulary::kWindows ? IsWindowsReadGoneError(error)
                                                         : IsLinuxReadGoneErrno(error);
  }

  // A read on an interface that has left: Windows fails it with
  // ERROR_DEVICE_NOT_CONNECTED; a hidraw node hangs up and reads 0 bytes,
  // which carries no error code at all.
  HidReadStatus Gone(uint32_t& error) const {
    error =
        state_->vocabulary == SimVocabulary::kWindows ? kSimErrorDeviceNotConnected : uint32_t{0};
    return HidReadStatus::kGone;
  }

  const std::shared_ptr<SimulatedHidBus::State> state_;
  const std::shared_ptr<SimDevice> device_;
  const HidAccess access_;
  const bool for_reading_;
  bool cancel_requested_ KV_GUARDED_BY(state_->mutex) = false;
  HandleInput input_ KV_GUARDED_BY(state_->mutex);
};

std::string InstanceIdFor(const SimDeviceProfile& description, SimulatedHidBus::DeviceId id) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "SIM\\VID_%04X&PID_%04X\\", description.attributes.VendorID,
                description.attributes.ProductID);
  return prefix + description.name + "&" + std::to_string(id);
}

}  // namespace

SimulatedHidBus::SimulatedHidBus(SimVocabulary vocabulary)
    : state_(std::make_shared<State>(vocabulary)) {
  State* state = state_.get();
  state_->notifier = std::thread([state] { state->RunNotifier(); });
}

SimulatedHidBus::~SimulatedHidBus() {
  {
    MutexLock lock(state_->notify_mutex);
    state_->stopping = true;
  }
  state_->notify_cv.notify_all();
  state_->notifier.join();
}

void SimulatedHidBus::SetReportTime(std::chrono::microseconds per_report) {
  MutexLock lock(state_->mutex);
  state_->report_time = std::max(std::chrono::microseconds::zero(), per_report);
}

SimulatedHidBus::DeviceId SimulatedHidBus::Attach(const SimDeviceProfile& description,
                                                  SimDeviceEndpoint* endpoint) {
  auto device = std::make_shared<SimDevice>();
  device->description = description;
  device->endpoint = endpoint;
  DeviceId id;
  {
    MutexLock lock(state_->mutex);
    id = state_->next_id++;
    device->id = id;
    device->instance_id = InstanceIdFor(description, id);
    device->path = "sim:" + std::to_string(id) + ":" + description.name;
    state_->devices.emplace(id, std::move(device));
  }
  state_->RaiseDeviceChange();
  return id;
}

void SimulatedHidBus::Detach(DeviceId id) {
  {
    MutexLock lock(state_->mutex);
    auto it = state_->devices.find(id);
    if (it == state_->devices.end()) return;
    std::shared_ptr<SimDevice> device = it->second;
    state_->devices.erase(it);
    device->attached = false;
    ClearInput(*device);
    state_->changed.notify_all();
    // Once Detach returns the endpoint is not called any more; a device that
    // detaches itself from inside OnOutputReport does not wait for itself.
    // Endpoint calls are short by contract, so this wait ends.
    const auto self = std::this_thread::get_id();
    const auto only_self_calls = [&device, self] {
      return std::all_of(device->endpoint_callers.begin(), device->endpoint_callers.end(),
                         [self](std::thread::id caller) { return caller == self; });
    };
    while (!only_self_calls()) state_->changed.wait(state_->mutex);
  }
  state_->RaiseDeviceChange();
}

bool SimulatedHidBus::IsAttached(DeviceId id) const {
  MutexLock lock(state_->mutex);
  return state_->devices.count(id) != 0;
}

void SimulatedHidBus::SendInputReport(DeviceId id, std::vector<uint8_t> report) {
  {
    MutexLock lock(state_->mutex);
    auto it = state_->devices.find(id);
    if (it == state_->devices.end()) return;
    const auto readable_at = std::chrono::steady_clock::now() + state_->report_time;
    for (HandleInput* input : it->second->reader_inputs) {
      std::deque<QueuedReport>& reports = input->reports;
      if (reports.size() >= kInputReportQueueLimit) reports.pop_front();
      reports.push_back({readable_at, report});
    }
  }
  state_->changed.notify_all();
}

void SimulatedHidBus::FailNextRead(DeviceId id, uint32_t error) {
  {
    MutexLock lock(state_->mutex);
    auto it = state_->devices.find(id);
    if (it == state_->devices.end()) return;
    it->second->fail_next_read = error;
  }
  state_->changed.notify_all();
}

void SimulatedHidBus::HangUp(DeviceId id) {
  {
    MutexLock lock(state_->mutex);
    auto it = state_->devices.find(id);
    if (it == state_->devices.end()) return;
    it->second->hung_up = true;
    ClearInput(*it->second);
  }
  state_->changed.notify_all();
}

void SimulatedHidBus::FailReadingOpens(DeviceId id, uint32_t error, int count) {
  MutexLock lock(state_->mutex);
  auto it = state_->devices.find(id);
  if (it == state_->devices.end()) return;
  it->second->reading_open_error = error;
  it->second->reading_opens_to_fail = count;
}

int SimulatedHidBus::ReadingHandleCount(DeviceId id) const {
  MutexLock lock(state_->mutex);
  auto it = state_->devices.find(id);
  return it == state_->devices.end() ? 0 : it->second->reading_handles;
}

bool SimulatedHidBus::InputUnread(DeviceId id) const {
  MutexLock lock(state_->mutex);
  auto it = state_->devices.find(id);
  if (it == state_->devices.end()) return false;
  const SimDevice& device = *it->second;
  if (device.fail_next_read) return true;
  return std::any_of(
      device.reader_inputs.begin(), device.reader_inputs.end(),
      [](const HandleInput* input) { return input->host_reads && !input->reports.empty(); });
}

SimVocabulary SimulatedHidBus::Vocabulary() const {
  return state_->vocabulary;
}

uint32_t SimulatedHidBus::DeviceFailureCode() const {
  return state_->vocabulary == SimVocabulary::kWindows ? kSimErrorGenFailure : kLinuxEproto;
}

bool SimulatedHidBus::Available() const {
  return true;
}

std::vector<HidInterfaceInfo> SimulatedHidBus::EnumerateInterfaces() {
  MutexLock lock(state_->mutex);
  std::vector<HidInterfaceInfo> interfaces;
  interfaces.reserve(state_->devices.size());
  for (const auto& [id, device] : state_->devices) {
    interfaces.push_back({device->instance_id, device->path, device->description.port});
  }
  return interfaces;
}

std::unique_ptr<HidHandle> SimulatedHidBus::Open(const std::string& path, HidAccess access,
                                                 bool for_reading, uint32_t& error) {
  error = 0;
  MutexLock lock(state_->mutex);
  for (const auto& [id, device] : state_->devices) {
    if (device->path != path) continue;
    if (device->hung_up) break;
    // A reading handle needs read access as much as a read-write one does.
    if ((access == HidAccess::kReadWrite || for_reading) && device->description.deny_read_write) {
      error = AccessDeniedCode(state_->vocabulary);
      return nullptr;
    }
    if (for_reading && device->reading_opens_to_fail > 0) {
      --device->reading_opens_to_fail;
      error = device->reading_open_error;
      return nullptr;
    }
    const HidAccess granted = for_reading ? HidAccess::kReadWrite : access;
    return std::make_unique<SimHandle>(state_, device, granted, for_reading);
  }
  // ENOENT is 2 as well: both vocabularies say "no such file" with the same number.
  error = kSimErrorFileNotFound;
  return nullptr;
}

void SimulatedHidBus::SetDeviceChangeHandler(DeviceChangeHandler handler) {
  MutexLock lock(state_->notify_mutex);
  // No call may be in progress once this returns, unless it is the caller's own.
  if (std::this_thread::get_id() != state_->notifier.get_id()) {
    while (state_->in_handler) state_->notify_cv.wait(state_->notify_mutex);
  }
  state_->handler = std::move(handler);
}

bool SimulatedHidBus::IsGoneError(uint32_t error) const {
  return state_->vocabulary == SimVocabulary::kWindows ? IsWindowsGoneError(error)
                                                       : IsLinuxOpenGoneErrno(error);
}

namespace {

// The C library's texts on Linux for the errno values the bus produces.
std::string LinuxErrorText(uint32_t error) {
  switch (error) {
    case kLinuxEnoent:
      return "No such file or directory";
    case kLinuxEio:
      return "Input/output error";
    case kLinuxEnxio:
      return "No such device or address";
    case kLinuxEacces:
      return "Permission denied";
    case kLinuxEnodev:
      return "No such device";
    case kLinuxEinval:
      return "Invalid argument";
    case kLinuxEproto:
      return "Protocol error";
    default:
      return "Unknown error " + std::to_string(error);
  }
}

}  // namespace

std::string SimulatedHidBus::ErrorText(uint32_t error) const {
  if (state_->vocabulary == SimVocabulary::kLinux) return LinuxErrorText(error);
  switch (error) {
    case kSimErrorInvalidFunction:
      return "Incorrect function.";
    case kSimErrorFileNotFound:
      return "The system cannot find the file specified.";
    case kSimErrorAccessDenied:
      return "Access is denied.";
    case kSimErrorGenFailure:
      return "A device attached to the system is not functioning.";
    case kSimErrorInvalidParameter:
      return "The parameter is incorrect.";
    case kSimErrorDeviceNotConnected:
      return "The device is not connected.";
    case kSimErrorInvalidUserBuffer:
      return "The supplied user buffer is not valid for the requested operation.";
    default:
      return "Unknown error (" + std::to_string(error) + ").";
  }
}

}  // namespace kv::hid

#include "hid/jv_hid.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace kv::hid {
namespace {

// The unit's input report is its report ID and 64 data bytes. Handlers written
// for it read 64 bytes behind Data whatever Size says, so the buffer handed over
// never holds less, zero past the bytes read, even for a device that declares a
// shorter input report.
constexpr size_t kMinHandedOverReportBytes = 65;

// A slice of 0 would make the read loop poll without pause.
constexpr int kMinThreadSleepTimeMs = 1;

}  // namespace

QueryHandle OpenForQuery(HidPlatform& platform, const std::string& path) {
  QueryHandle opened;
  opened.handle = platform.Open(path, HidAccess::kReadWrite, false, opened.error);
  if (opened.handle) {
    opened.read_write = true;
    return opened;
  }
  opened.read_write_error = opened.error;
  opened.handle = platform.Open(path, HidAccess::kNone, false, opened.error);
  return opened;
}

// ---------------------------------------------------------------------------
// TJvHidDevice

TJvHidDevice::TJvHidDevice(TJvHidDeviceController& controller,
                           std::shared_ptr<HidPlatform> platform, const HidInterfaceInfo& info,
                           const HidAttributes& attributes, bool opened_read_write,
                           uint32_t read_write_open_error, int thread_sleep_time_ms)
    : controller_(controller),
      platform_(std::move(platform)),
      instance_id_(info.instance_id),
      path_(info.path),
      port_(info.port),
      attributes_(attributes),
      opened_read_write_(opened_read_write),
      read_write_open_error_(read_write_open_error),
      thread_sleep_time_ms_(std::max(kMinThreadSleepTimeMs, thread_sleep_time_ms)) {}

TJvHidDevice::~TJvHidDevice() {
  // The controller joins the read thread before it destroys a device; this is
  // the last line of defence should that ever be skipped.
  if (read_thread_) {
    read_thread_->RequestStop();
    read_thread_->Join();
  }
}

std::shared_ptr<HidHandle> TJvHidDevice::AcquireReadHandle(uint32_t& error, bool& foreign) {
  foreign = false;
  MutexLock lock(handle_mutex_);
  if (read_handle_ || !PluggedIn()) return read_handle_;
  std::unique_ptr<HidHandle> opened = platform_->Open(path_, HidAccess::kReadWrite, true, error);
  // The path may already name the device that came after this one.
  HidAttributes found;
  if (opened && (!opened->GetAttributes(found) || found.VendorID != attributes_.VendorID ||
                 found.ProductID != attributes_.ProductID)) {
    foreign = true;
    return nullptr;
  }
  read_handle_ = std::move(opened);
  return read_handle_;
}

void TJvHidDevice::DropReadHandle(const std::shared_ptr<HidHandle>& handle) {
  MutexLock lock(handle_mutex_);
  if (read_handle_ == handle) read_handle_.reset();
}

void TJvHidDevice::CancelPendingRead() {
  std::shared_ptr<HidHandle> handle;
  {
    MutexLock lock(handle_mutex_);
    handle = read_handle_;
  }
  if (handle) handle->CancelRead();
}

void TJvHidDevice::CloseHandles() {
  // A writer or the read thread may still hold its own reference; the handle
  // closes when the last one lets go, never under a call in progress.
  std::shared_ptr<HidHandle> sync;
  std::shared_ptr<HidHandle> read;
  {
    MutexLock lock(handle_mutex_);
    sync = std::move(sync_handle_);
    read = std::move(read_handle_);
  }
}

HidCaps TJvHidDevice::GetCaps() {
  MutexLock lock(caps_mutex_);
  if (!has_caps_) {
    // A handle of its own, so that a write in progress on the synchronous
    // handle is never disturbed.
    const QueryHandle opened = OpenForQuery(*platform_, path_);
    HidCaps caps{};
    if (opened.handle && opened.handle->GetCaps(caps)) {
      caps_ = caps;
      has_caps_ = true;
    }
  }
  return has_caps_ ? caps_ : HidCaps{};
}

bool TJvHidDevice::WriteFile(const uint8_t* buffer, size_t count, size_t& written) {
  written = 0;
  if (buffer == nullptr || count == 0) return false;
  // An interface path may be reused by the next device that arrives; a device
  // the scan found gone never writes again.
  if (!PluggedIn()) return false;

  MutexLock write_lock(write_mutex_);
  std::shared_ptr<HidHandle> handle;
  {
    MutexLock lock(handle_mutex_);
    if (!sync_handle_) sync_handle_ = OpenForQuery(*platform_, path_).handle;
    handle = sync_handle_;
  }
  if (!handle) return false;
  size_t transferred = 0;
  const bool ok = handle->Write(buffer, count, transferred);
  written = ok ? std::min(transferred, count) : 0;
  return ok;
}

namespace {

// Counts a hand-off running on the UI stack for its device; CheckIn must not
// wait for a read thread that is blocked until such a hand-off returns.
class DeliveryScope {
 public:
  explicit DeliveryScope(int& depth) : depth_(depth) { ++depth_; }
  ~DeliveryScope() { --depth_; }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;

 private:
  int& depth_;
};

}  // namespace

void TJvHidDevice::DeliverData(const TJvHidDeviceReadThread& thread) {
  // A report that arrives while the device is being released is dropped: the
  // application has already let go of it.
  if (thread.StopRequested() || thread.BytesRead() == 0) return;
  TJvHidDataEvent handler = OnData;
  if (!handler) return;
  DeliveryScope scope(deliveries_in_progress_);
  const size_t payload =
      std::min<size_t>(thread.BytesRead() - 1, std::numeric_limits<uint16_t>::max());
  handler(this, thread.Report()[0], thread.Report() + 1, static_cast<uint16_t>(payload));
}

void TJvHidDevice::DeliverDataError(const TJvHidDeviceReadThread& thread) {
  if (thread.StopRequested()) return;
  TJvHidDataErrorEvent handler = OnDataError;
  if (!handler) return;
  DeliveryScope scope(deliveries_in_progress_);
  handler(this, thread.LastError());
}

void TJvHidDevice::ReadThreadFinished(TJvHidDeviceReadThread& thread) {
  thread.finished_ = true;
  controller_.ScheduleReap();
}

// ---------------------------------------------------------------------------
// TJvHidDeviceReadThread

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice& device, toolkit::EventLoop& loop,
                                               uint16_t input_report_length)
    : device_(device),
      loop_(loop),
      report_(std::max<size_t>(input_report_length, kMinHandedOverReportBytes)),
      capacity_(input_report_length) {
  thread_ = std::thread([this] { Execute(); });
}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread() {
  RequestStop();
  Join();
}

void TJvHidDeviceReadThread::RequestStop() {
  std::shared_ptr<HidHandle> reading;
  {
    MutexLock lock(pause_mutex_);
    stop_requested_ = true;
    reading = reading_;
  }
  pause_cv_.notify_all();
  if (reading) reading->CancelRead();
}

bool TJvHidDeviceReadThread::StartReading(std::shared_ptr<HidHandle> handle) {
  MutexLock lock(pause_mutex_);
  if (stop_requested_) return false;
  reading_ = std::move(handle);
  return true;
}

void TJvHidDeviceReadThread::StopReading() {
  MutexLock lock(pause_mutex_);
  reading_.reset();
}

void TJvHidDeviceReadThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TJvHidDeviceReadThread::PauseOneSlice() {
  std::unique_lock<Mutex> lock(pause_mutex_);
  pause_cv_.wait_for(lock, std::chrono::milliseconds(device_.ThreadSleepTime()),
                     [this] { return stop_requested_.load(); });
}

void TJvHidDeviceReadThread::WaitForStop() {
  // No bound needed: RequestStop, which CheckIn and every destruction path
  // call, is the cancel path.
  std::unique_lock<Mutex> lock(pause_mutex_);
  pause_cv_.wait(lock, [this] { return stop_requested_.load(); });
}

void TJvHidDeviceReadThread::HandleReadFailure(uint32_t error) {
  last_error_ = error;
  if (device_.PluggedIn()) loop_.Send([this] { device_.DeliverDataError(*this); });
  // Tried again after a pause: a read that keeps failing must not spin.
  PauseOneSlice();
}

void TJvHidDeviceReadThread::Execute() {
  while (!StopRequested()) {
    // Unplugged while still checked out: nothing to read until CheckIn.
    if (!device_.PluggedIn()) {
      WaitForStop();
      break;
    }
    std::fill(report_.begin(), report_.end(), 0);
    uint32_t error = 0;
    bool foreign = false;
    std::shared_ptr<HidHandle> handle = device_.AcquireReadHandle(error, foreign);
    if (foreign) {
      WaitForStop();
      break;
    }
    if (!handle) {
      // Said to be gone while the controller still lists it: its next scan
      // tells (and stops this thread if so). Until then the open is tried
      // again, quietly, once a slice; a failed open during an enumeration that
      // did not finish must not leave a present unit unread.
      if (device_.platform_->IsGoneError(error)) {
        PauseOneSlice();
        continue;
      }
      HandleReadFailure(error);
      continue;
    }
    // Either RequestStop finds this handle and cancels it, or the flag is seen
    // here: a handle acquired after the cancel is never waited on.
    if (!StartReading(handle)) break;
    // A handle whose cancel wakes it needs no slices: it sleeps until a report,
    // a hang-up or a stop, and costs nothing while the unit is quiet.
    const std::chrono::milliseconds slice =
        handle->CancelWakesReader() ? kReadUntilDone
                                    : std::chrono::milliseconds(device_.ThreadSleepTime());
    size_t transferred = 0;
    HidReadStatus status;
    do {
      transferred = 0;
      status = handle->Read(report_.data(), capacity_, slice, transferred, error);
    } while (status == HidReadStatus::kPending && !StopRequested());

    StopReading();
    if (StopRequested()) {
      if (status == HidReadStatus::kPending) handle->CancelRead();
      break;
    }
    switch (status) {
      case HidReadStatus::kCompleted:
        bytes_read_ = std::min(transferred, capacity_);
        if (bytes_read_ > 0) {
          loop_.Send([this] { device_.DeliverData(*this); });
        } else {
          // An empty completion carries nothing and, repeated, would spin.
          PauseOneSlice();
        }
        break;
      case HidReadStatus::kGone:
        // Not a read error: the scan that follows reports the unplug. The
        // handle is dead for good and its path may come back as another
        // device, so nothing is read until the device is released.
        device_.DropReadHandle(handle);
        handle.reset();
        WaitForStop();
        break;
      case HidReadStatus::kFailed:
        HandleReadFailure(error);
        break;
      case HidReadStatus::kCancelled:
        // Not by a stop of this thread: a cancelled handle may stay cancelled,
        // so the next read gets a fresh one.
        device_.DropReadHandle(handle);
        PauseOneSlice();
        break;
      case HidReadStatus::kPending:
        PauseOneSlice();
        break;
    }
  }
  // Said through the loop, so that a UI thread waiting in ServeSendsUntil wakes
  // up for it and the join that follows is immediate.
  loop_.Send([this] { device_.ReadThreadFinished(*this); });
}

// ---------------------------------------------------------------------------
// TJvHidDeviceController

TJvHidDeviceController::BusyScope::BusyScope(TJvHidDeviceController& controller)
    : controller_(controller) {
  ++controller_.busy_depth_;
}

TJvHidDeviceController::BusyScope::~BusyScope() {
  if (--controller_.busy_depth_ == 0) controller_.RemovePending();
}

TJvHidDeviceController::TJvHidDeviceController(std::shared_ptr<HidPlatform> platform,
                                               toolkit::EventLoop& loop)
    : platform_(std::move(platform)),
      loop_(loop),
      available_(platform_ != nullptr && platform_->Available()) {
  if (!available_) return;
  // The platform may call its handler on any thread: it keeps a handle of its own.
  const toolkit::WeakHandle<TJvHidDeviceController> weak = weakSelf_.Handle();
  toolkit::EventLoop* target = &loop_;
  platform_->SetDeviceChangeHandler([weak, target](uint32_t wparam, intptr_t lparam) {
    weak.Post(*target, [wparam, lparam](TJvHidDeviceController& controller) {
      controller.SystemDeviceChange(wparam, lparam);
    });
  });
  // The first scan runs as soon as the loop runs and always reports a change,
  // so a device attached before start-up is seen without any notification.
  weakSelf_.Post(loop_, [](TJvHidDeviceController& controller) {
    controller.DeviceChangeMessage(kDbtDevNodesChanged, -1);
  });
}

TJvHidDeviceController::~TJvHidDeviceController() {
  destroying_ = true;
  ++busy_depth_;
  weakSelf_.Release();
  if (available_) platform_->SetDeviceChangeHandler({});
  OnEnumerate = nullptr;
  OnDeviceChange = nullptr;
  OnDeviceData = nullptr;
  OnDeviceDataError = nullptr;
  OnDeviceUnplug = nullptr;
  OnSystemDeviceChange = nullptr;

  // Every thread is told first, so that no report reaches a handler while the
  // others are being waited for.
  for (auto& device : devices_) {
    if (device->read_thread_) device->read_thread_->RequestStop();
  }
  for (size_t i = 0; i < devices_.size(); ++i) {
    TJvHidDevice& device = *devices_[i];
    StopReadThread(device);
    if (device.read_thread_) {
      device.read_thread_->Join();
      device.read_thread_.reset();
    }
    device.CancelPendingRead();
    device.CloseHandles();
  }
  for (size_t i = 0; i < devices_.size(); ++i) {
    TJvHidDevice& device = *devices_[i];
    if (!device.checked_out_) continue;
    device.plugged_in_ = false;
    TJvHidUnplugEvent handler = std::move(device.OnUnplug);
    device.OnUnplug = nullptr;
    if (handler) handler(&device);
  }
  devices_.clear();
}

TJvHidDevice* TJvHidDeviceController::Item(int Idx) const {
  if (Idx < 0 || Idx >= Count()) return nullptr;
  return devices_[static_cast<size_t>(Idx)].get();
}

bool TJvHidDeviceController::Contains(const TJvHidDevice* device) const {
  return std::any_of(devices_.begin(), devices_.end(),
                     [device](const auto& listed) { return listed.get() == device; });
}

int TJvHidDeviceController::Enumerate() {
  BusyScope busy(*this);
  int visited = 0;
  // Indexed: a nested scan may append while a handler runs; removals wait.
  for (size_t i = 0; i < devices_.size(); ++i) {
    TJvHidDevice* device = devices_[i].get();
    if (!device->PluggedIn()) continue;
    ++visited;
    bool go_on = true;
    if (TJvHidEnumerateEvent handler = OnEnumerate) go_on = handler(device, static_cast<int>(i));
    if (!device->checked_out_) device->CloseHandles();
    if (!go_on) break;
  }
  return visited;
}

bool TJvHidDeviceController::CheckOutByIndex(TJvHidDevice*& HidDev, int Idx) {
  HidDev = nullptr;
  if (destroying_ || Idx < 0 || Idx >= Count()) return false;
  TJvHidDevice& device = *devices_[static_cast<size_t>(Idx)];
  if (device.checked_out_ || device.pending_removal_) return false;
  device.checked_out_ = true;
  HidDev = &device;
  StartReadThreadIfDue(device);
  return true;
}

void TJvHidDeviceController::CheckIn(TJvHidDevice*& HidDev) {
  // Cleared first: handlers that run while the read thread is waited for may
  // store a new device in the very variable passed here.
  TJvHidDevice* const device = HidDev;
  HidDev = nullptr;
  if (device == nullptr || !Contains(device)) return;

  BusyScope busy(*this);
  StopReadThread(*device);
  device->CancelPendingRead();
  device->CloseHandles();
  device->checked_out_ = false;
  if (!device->PluggedIn()) MarkForRemoval(*device);
}

void TJvHidDeviceController::DeviceChangeMessage(uint32_t wParam, intptr_t lParam) {
  if (!available_ || destroying_ || wParam != kDbtDevNodesChanged) return;
  if (scanning_) {
    // No scan inside a scan; but the change must not be lost either.
    rescan_requested_ = true;
    return;
  }
  Scan(lParam == -1);
  if (rescan_requested_) {
    rescan_requested_ = false;
    weakSelf_.Post(loop_, [](TJvHidDeviceController& controller) {
      controller.DeviceChangeMessage(kDbtDevNodesChanged, 0);
    });
  }
}

void TJvHidDeviceController::SystemDeviceChange(uint32_t wParam, intptr_t lParam) {
  DeviceChangeMessage(wParam, lParam);
  if (destroying_) return;
  if (auto handler = OnSystemDeviceChange) handler(wParam, lParam);
}

void TJvHidDeviceController::Scan(bool report_change) {
  struct ScanFlag {
    bool& flag;
    explicit ScanFlag(bool& f) : flag(f) { flag = true; }
    ~ScanFlag() { flag = false; }
  } scan_flag(scanning_);

  bool changed = report_change;
  {
    BusyScope busy(*this);
    std::vector<std::unique_ptr<TJvHidDevice>> fresh = CreatePresentDevices();
    const auto is_present = [&fresh](const TJvHidDevice& device) {
      return std::any_of(fresh.begin(), fresh.end(), [&device](const auto& found) {
        return found->DeviceInstance() == device.DeviceInstance();
      });
    };

    // Pointers, not positions: an unplug handler may check devices in.
    std::vector<TJvHidDevice*> listed;
    listed.reserve(devices_.size());
    for (const auto& device : devices_) listed.push_back(device.get());
    for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
      TJvHidDevice& device = **it;
      if (device.PluggedIn() && is_present(device)) continue;
      // Only a device that was still plugged in is news; one unplugged earlier
      // and still checked out has been reported already.
      if (device.PluggedIn()) changed = true;
      Unplug(device);
      if (!device.checked_out_) MarkForRemoval(device);
    }

    std::erase_if(fresh, [this](const auto& found) {
      return std::any_of(devices_.begin(), devices_.end(), [&found](const auto& listed_device) {
        return listed_device->PluggedIn() &&
               listed_device->DeviceInstance() == found->DeviceInstance();
      });
    });
    if (!fresh.empty()) {
      changed = true;
      for (auto& found : fresh) devices_.push_back(std::move(found));
    }
  }
  if (!changed) return;
  if (TJvHidDeviceChangeEvent handler = OnDeviceChange) handler(this);
}

std::vector<std::unique_ptr<TJvHidDevice>> TJvHidDeviceController::CreatePresentDevices() {
  std::vector<std::unique_ptr<TJvHidDevice>> fresh;
  for (const HidInterfaceInfo& info : platform_->EnumerateInterfaces()) {
    if (auto device = CreateDevice(info)) fresh.push_back(std::move(device));
  }
  return fresh;
}

std::unique_ptr<TJvHidDevice> TJvHidDeviceController::CreateDevice(const HidInterfaceInfo& info) {
  QueryHandle opened = OpenForQuery(*platform_, info.path);
  // An interface that cannot be opened or identified is left out, silently.
  if (!opened.handle) return nullptr;
  HidAttributes attributes;
  if (!opened.handle->GetAttributes(attributes)) return nullptr;
  opened.handle.reset();

  std::unique_ptr<TJvHidDevice> device(new TJvHidDevice(*this, platform_, info, attributes,
                                                        opened.read_write, opened.read_write_error,
                                                        DevThreadSleepTime));
  device->OnData = OnDeviceData;
  device->OnDataError = OnDeviceDataError;
  device->OnUnplug = OnDeviceUnplug;
  return device;
}

void TJvHidDeviceController::Unplug(TJvHidDevice& device) {
  // Marked first: a read thread woken by the cancel must not open the path
  // again, which may already name another device.
  device.plugged_in_ = false;
  device.CancelPendingRead();
  device.CloseHandles();
  // Cleared before the call: each device reports its unplug at most once, even
  // when the handler lets a nested scan run.
  TJvHidUnplugEvent handler = std::move(device.OnUnplug);
  device.OnUnplug = nullptr;
  if (handler) handler(&device);
}

void TJvHidDeviceController::StartReadThreadIfDue(TJvHidDevice& device) {
  if (destroying_ || !OnDeviceData || !device.checked_out_ || !device.PluggedIn() ||
      !device.opened_read_write_) {
    return;
  }
  // Taken here, so the capability record is fetched now and a later GetCaps
  // from the link's worker opens no handle.
  const HidCaps caps = device.GetCaps();
  if (caps.InputReportByteLength == 0) return;  // nothing to read
  // Opened before the application can write: a report that arrives while no
  // read handle is open is not kept for one opened later, neither by hidraw nor
  // by Windows, so a quick answer to the first command would be lost. A failure
  // here is the thread's to report.
  uint32_t open_error = 0;
  bool foreign = false;
  device.AcquireReadHandle(open_error, foreign);
  // Checked out again while the old thread winds down: its successor starts
  // once it has ended (ReapReadThreads) and reads what this handle kept.
  if (device.read_thread_) return;
  device.read_thread_ =
      std::make_shared<TJvHidDeviceReadThread>(device, loop_, caps.InputReportByteLength);
}

void TJvHidDeviceController::StopReadThread(TJvHidDevice& device) {
  const std::shared_ptr<TJvHidDeviceReadThread> thread = device.read_thread_;
  if (!thread) return;
  thread->RequestStop();
  // A thread whose hand-off is further down this very stack cannot end before
  // we return; it is joined once it has said goodbye (ReapReadThreads).
  if (device.deliveries_in_progress_ > 0) return;
  if (!thread->Finished()) {
    loop_.ServeSendsUntil([&thread] { return thread->Finished(); }, kReadThreadEndLimit);
  }
  if (!thread->Finished()) return;
  thread->Join();
  if (device.read_thread_ == thread) device.read_thread_.reset();
}

void TJvHidDeviceController::MarkForRemoval(TJvHidDevice& device) {
  device.pending_removal_ = true;
}

void TJvHidDeviceController::RemovePending() {
  if (destroying_ || busy_depth_ > 0) return;
  std::erase_if(devices_, [](const auto& device) {
    return device->pending_removal_ && !device->read_thread_ &&
           device->deliveries_in_progress_ == 0;
  });
}

void TJvHidDeviceController::ScheduleReap() {
  if (destroying_ || reap_posted_) return;
  reap_posted_ = true;
  weakSelf_.Post(loop_, [](TJvHidDeviceController& controller) {
    controller.reap_posted_ = false;
    controller.ReapReadThreads();
  });
}

void TJvHidDeviceController::ReapReadThreads() {
  BusyScope busy(*this);
  for (size_t i = 0; i < devices_.size(); ++i) {
    TJvHidDevice& device = *devices_[i];
    const std::shared_ptr<TJvHidDeviceReadThread> thread = device.read_thread_;
    if (!thread || !thread->StopRequested() || !thread->Finished()) continue;
    thread->Join();
    if (device.read_thread_ == thread) device.read_thread_.reset();
    // Checked out again while the old thread was still winding down.
    StartReadThreadIfDue(device);
  }
}

}  // namespace kv::hid

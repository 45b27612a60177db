// The HID device controller: keeps the list of HID interfaces present on the
// system, tells the application when that list changes, lets it check out the
// interface it wants, write output reports to it and receive its input reports
// from a per-device read thread, each report handed over on the UI thread.
//
// Threads: the UI thread (the EventLoop's) runs creation, scans, Enumerate,
// CheckOutByIndex, CheckIn, destruction and every event handler. A read thread
// per checked-out device reads input reports and hands each one over with
// EventLoop::Send. The link's worker thread may call GetCaps and WriteFile on a
// checked-out device at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_platform.h"
#include "toolkit/event_loop.h"
#include "toolkit/thread_annotations.h"
#include "toolkit/weak_owner.h"

namespace kv::hid {

class TJvHidDevice;
class TJvHidDeviceController;
class TJvHidDeviceReadThread;

// Default sleep slice of a read thread; a stop request is noticed within one slice.
constexpr int kDefaultDevThreadSleepTimeMs = 100;

// How long CheckIn and destruction wait for a stopped read thread to say it has
// ended (one slice plus any hand-off in flight is the normal case).
constexpr std::chrono::milliseconds kReadThreadEndLimit{2000};

// An interface opened the way the controller opens every interface it lists or
// queries: read and write access, or no access rights when that is refused
// (enough for attributes and capabilities). The one place of that fallback.
struct QueryHandle {
  std::unique_ptr<HidHandle> handle;  // null when neither open succeeded
  bool read_write = false;
  uint32_t read_write_error = 0;  // why the read-write open was refused; 0 when it was not
  uint32_t error = 0;             // why the last open failed
};
QueryHandle OpenForQuery(HidPlatform& platform, const std::string& path);

using TJvHidEnumerateEvent = std::function<bool(TJvHidDevice* HidDev, int Idx)>;
using TJvHidDeviceChangeEvent = std::function<void(TJvHidDeviceController* Sender)>;
using TJvHidDataEvent =
    std::function<void(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
using TJvHidDataErrorEvent = std::function<void(TJvHidDevice* HidDev, uint32_t Error)>;
using TJvHidUnplugEvent = std::function<void(TJvHidDevice* HidDev)>;

// One HID interface. Owned by the controller; the application holds plain
// pointers that stay valid until the device is checked in after an unplug (or
// until the controller is destroyed).
class TJvHidDevice {
 public:
  ~TJvHidDevice();
  TJvHidDevice(const TJvHidDevice&) = delete;
  TJvHidDevice& operator=(const TJvHidDevice&) = delete;

  const HidAttributes& Attributes() const { return attributes_; }
  uint16_t VendorID() const { return attributes_.VendorID; }
  uint16_t ProductID() const { return attributes_.ProductID; }
  uint16_t VersionNumber() const { return attributes_.VersionNumber; }
  const std::string& DeviceInstance() const { return instance_id_; }
  const std::string& DevicePath() const { return path_; }
  // The USB port the device is plugged into (HidInterfaceInfo::port): the same
  // in both of the unit's personalities. Empty when the platform cannot tell.
  const std::string& Port() const { return port_; }

  // Any thread.
  bool PluggedIn() const { return plugged_in_.load(); }
  // UI thread.
  bool CheckedOut() const { return checked_out_; }
  bool OpenedReadWrite() const { return opened_read_write_; }
  // Why the read-write open was refused when the device was created (0 when it
  // was not), in the platform's vocabulary.
  uint32_t ReadWriteOpenError() const { return read_write_open_error_; }
  int ThreadSleepTime() const { return thread_sleep_time_ms_; }

  // Any thread. The capability record, fetched from the interface once and kept;
  // all zero while it cannot be had.
  HidCaps GetCaps();

  // Any thread. One synchronous output report; buffer[0] is the report ID.
  // Writes exactly `count` bytes and never reads past them. False (written 0)
  // for an empty or missing buffer, a device that is no longer plugged in, a
  // handle that cannot be opened, or a failed write.
  bool WriteFile(const uint8_t* buffer, size_t count, size_t& written);

  // The device's own copies of the controller's handlers, taken at creation.
  TJvHidDataEvent OnData;
  TJvHidDataErrorEvent OnDataError;
  TJvHidUnplugEvent OnUnplug;

 private:
  friend class TJvHidDeviceController;
  friend class TJvHidDeviceReadThread;

  TJvHidDevice(TJvHidDeviceController& controller, std::shared_ptr<HidPlatform> platform,
               const HidInterfaceInfo& info, const HidAttributes& attributes,
               bool opened_read_write, uint32_t read_write_open_error, int thread_sleep_time_ms);

  // The overlapped read handle, opened on first use: by the controller when it
  // starts the read thread, again by the thread after a failure. Null with
  // `foreign` set when the path now names a device of other identifiers.
  std::shared_ptr<HidHandle> AcquireReadHandle(uint32_t& error, bool& foreign)
      KV_EXCLUDES(handle_mutex_);
  // Read thread: lets go of a read handle that is spent (its interface has
  // gone, or its read was cancelled).
  void DropReadHandle(const std::shared_ptr<HidHandle>& handle) KV_EXCLUDES(handle_mutex_);
  // Any thread: ends the read pending on the read handle, if any.
  void CancelPendingRead() KV_EXCLUDES(handle_mutex_);
  void CloseHandles() KV_EXCLUDES(handle_mutex_);

  // UI thread: hands one report or read error of `thread` to the application.
  void DeliverData(const TJvHidDeviceReadThread& thread);
  void DeliverDataError(const TJvHidDeviceReadThread& thread);
  void ReadThreadFinished(TJvHidDeviceReadThread& thread);

  TJvHidDeviceController& controller_;
  const std::shared_ptr<HidPlatform> platform_;
  const std::string instance_id_;
  const std::string path_;
  const std::string port_;
  const HidAttributes attributes_;
  const bool opened_read_write_;
  const uint32_t read_write_open_error_;
  const int thread_sleep_time_ms_;

  std::atomic<bool> plugged_in_{true};

  Mutex handle_mutex_;
  std::shared_ptr<HidHandle> sync_handle_ KV_GUARDED_BY(handle_mutex_);
  std::shared_ptr<HidHandle> read_handle_ KV_GUARDED_BY(handle_mutex_);
  // One report on the wire at a time; taken before handle_mutex_.
  Mutex write_mutex_;

  Mutex caps_mutex_;
  bool has_caps_ KV_GUARDED_BY(caps_mutex_) = false;
  HidCaps caps_ KV_GUARDED_BY(caps_mutex_);

  // UI thread only.
  bool checked_out_ = false;
  bool pending_removal_ = false;    // checked in after its unplug; destroyed when idle
  int deliveries_in_progress_ = 0;  // handlers of this device's read thread on the UI stack
  std::shared_ptr<TJvHidDeviceReadThread> read_thread_;
};

// Reads the input reports of one checked-out device and hands each one, or a
// read error, to the UI thread, waiting until the handler has returned.
class TJvHidDeviceReadThread {
 public:
  TJvHidDeviceReadThread(TJvHidDevice& device, toolkit::EventLoop& loop,
                         uint16_t input_report_length);
  ~TJvHidDeviceReadThread();
  TJvHidDeviceReadThread(const TJvHidDeviceReadThread&) = delete;
  TJvHidDeviceReadThread& operator=(const TJvHidDeviceReadThread&) = delete;

  // Any thread: the thread ends within one sleep slice (at once when the
  // platform can cancel the pending read).
  void RequestStop();
  bool StopRequested() const { return stop_requested_.load(); }

  // UI thread: true once the thread has said goodbye through the loop; Join is
  // then immediate.
  bool Finished() const { return finished_; }
  void Join();

  const uint8_t* Report() const { return report_.data(); }
  size_t BytesRead() const { return bytes_read_; }
  uint32_t LastError() const { return last_error_; }

 private:
  friend class TJvHidDevice;

  void Execute();
  void HandleReadFailure(uint32_t error);
  // Sleeps one slice, or less when a stop is requested meanwhile.
  void PauseOneSlice() KV_EXCLUDES(pause_mutex_);
  // The interface is gone: nothing will be read from it again, so the thread
  // sleeps until CheckIn (or destruction) tells it to stop.
  void WaitForStop() KV_EXCLUDES(pause_mutex_);
  // Records the handle a stop must cancel; false when the stop came first.
  bool StartReading(std::shared_ptr<HidHandle> handle) KV_EXCLUDES(pause_mutex_);
  void StopReading() KV_EXCLUDES(pause_mutex_);

  TJvHidDevice& device_;
  toolkit::EventLoop& loop_;
  std::vector<uint8_t> report_;  // report ID first; never shorter than the unit's report
  const size_t capacity_;        // InputReportByteLength: what one read may fill
  size_t bytes_read_ = 0;
  uint32_t last_error_ = 0;

  // Set under pause_mutex_ so that a waiter cannot miss it; read anywhere.
  std::atomic<bool> stop_requested_{false};
  Mutex pause_mutex_;
  std::condition_variable_any pause_cv_;
  // The handle this thread waits on. A stop cancels this one only: by the time
  // an old thread is told to stop (or destroyed), its device may already hold
  // the read handle of the thread that replaced it.
  std::shared_ptr<HidHandle> reading_ KV_GUARDED_BY(pause_mutex_);

  bool finished_ = false;  // UI thread only
  std::thread thread_;
};

class TJvHidDeviceController {
 public:
  // The first scan is posted to `loop`; it runs when the loop runs and always
  // reports a change. With an unavailable platform nothing is ever listed and
  // no event fires. The loop must outlive the controller.
  TJvHidDeviceController(std::shared_ptr<HidPlatform> platform, toolkit::EventLoop& loop);
  // Reports every checked-out device through its own unplug handler copy. Not
  // from inside one of the controller's own data or error handlers: the read
  // thread of that hand-off could never be joined.
  ~TJvHidDeviceController();
  TJvHidDeviceController(const TJvHidDeviceController&) = delete;
  TJvHidDeviceController& operator=(const TJvHidDeviceController&) = delete;

  TJvHidEnumerateEvent OnEnumerate;
  TJvHidDeviceChangeEvent OnDeviceChange;
  TJvHidDataEvent OnDeviceData;
  TJvHidDataErrorEvent OnDeviceDataError;
  TJvHidUnplugEvent OnDeviceUnplug;

  // Every device-change notification the platform raises, after the controller
  // has handled it. The platform has one notification slot and the controller
  // holds it; this passes the system's WM_DEVICECHANGE on to the main window.
  std::function<void(uint32_t wParam, intptr_t lParam)> OnSystemDeviceChange;

  // Becomes each new device's read slice.
  int DevThreadSleepTime = kDefaultDevThreadSleepTimeMs;

  // Calls OnEnumerate for every plugged-in device in list order with its list
  // index; stops after a call that returns false. Returns the devices visited.
  int Enumerate();
  // Claims the device at `Idx` and starts its read thread. HidDev is set to the
  // device on success and to none otherwise.
  bool CheckOutByIndex(TJvHidDevice*& HidDev, int Idx);
  // Releases a device (also from inside its own unplug notification) and sets
  // HidDev to none.
  void CheckIn(TJvHidDevice*& HidDev);

  // WM_DEVICECHANGE on the controller's window: scans on wParam 7
  // (DBT_DEVNODES_CHANGED); lParam -1 makes the scan report a change anyway.
  void DeviceChangeMessage(uint32_t wParam, intptr_t lParam);

  // Inspection of the device list.
  int Count() const { return static_cast<int>(devices_.size()); }
  TJvHidDevice* Item(int Idx) const;
  bool Scanning() const { return scanning_; }

 private:
  friend class TJvHidDevice;

  // Keeps removals of list entries for later while a scan, an enumeration or a
  // hand-off runs on the UI stack, so nobody walks a list that shrinks under it.
  class BusyScope {
   public:
    explicit BusyScope(TJvHidDeviceController& controller);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    TJvHidDeviceController& controller_;
  };

  void SystemDeviceChange(uint32_t wParam, intptr_t lParam);
  void Scan(bool report_change);
  std::vector<std::unique_ptr<TJvHidDevice>> CreatePresentDevices();
  std::unique_ptr<TJvHidDevice> CreateDevice(const HidInterfaceInfo& info);
  void Unplug(TJvHidDevice& device);
  void StartReadThreadIfDue(TJvHidDevice& device);
  // Stops the device's read thread; waits for it unless it is caught in a
  // hand-off further down the UI stack, in which case it is reaped later.
  void StopReadThread(TJvHidDevice& device);
  void MarkForRemoval(TJvHidDevice& device);
  void RemovePending();
  void ScheduleReap();
  void ReapReadThreads();
  bool Contains(const TJvHidDevice* device) const;

  const std::shared_ptr<HidPlatform> platform_;
  toolkit::EventLoop& loop_;
  const bool available_;
  // Tasks posted to the loop do nothing once the controller is gone.
  toolkit::WeakOwner<TJvHidDeviceController> weakSelf_{*this};

  std::vector<std::unique_ptr<TJvHidDevice>> devices_;
  bool scanning_ = false;
  bool rescan_requested_ = false;  // a notification came in while a scan ran
  bool destroying_ = false;
  int busy_depth_ = 0;
  bool reap_posted_ = false;
};

}  // namespace kv::hid

// An in-process virtual HID bus. Devices attach and detach like USB devices do,
// raising the same device-change notification a real bus raises, and every
// report crosses it with the time a full-speed interrupt endpoint takes. The
// simulated unit plugs into it; the controller reaches it through HidPlatform
// exactly as it reaches hardware.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace kv::hid {

// What a simulated device does with the output reports written to it.
class SimDeviceEndpoint {
 public:
  virtual ~SimDeviceEndpoint() = default;
  // Called on the writer's thread once the report has crossed the bus; data[0]
  // is the report ID and count is the device's output report length. Must not
  // block for long: a device that needs time answers later through
  // SimulatedHidBus::SendInputReport from its own thread.
  virtual void OnOutputReport(const uint8_t* data, size_t count) = 0;
  // Asked first, on the same thread: false and the write fails, as a write does
  // to a device that has dropped off the bus while the report was on its way.
  virtual bool TakesOutputReport(const uint8_t* /*data*/, size_t /*count*/) { return true; }
};

struct SimDeviceProfile {
  HidAttributes attributes;
  HidCaps caps;      // input/output lengths include the report ID byte
  std::string name;  // for listings; part of the instance id
  std::string port;  // the USB port it is plugged into (HidInterfaceInfo::port)
  // The read-write open fails (as for a device another program holds); the
  // no-access open still works, so the device is listed but not readable.
  bool deny_read_write = false;
};

// Which operating system the bus imitates when a device goes away and when it
// names errors: on Windows a read fails with ERROR_DEVICE_NOT_CONNECTED
// (1167); on Linux the hidraw node hangs up (POLLHUP, then a read of 0 bytes)
// or a read fails with EIO. Both end up as HidReadStatus::kGone; other codes
// stay read errors with the system's own texts.
enum class SimVocabulary { kWindows, kLinux };
// The vocabulary of the system this build runs on: what a simulated unit's
// errors read like to the user of this build.
#ifdef _WIN32
inline constexpr SimVocabulary kHostSimVocabulary = SimVocabulary::kWindows;
#else
inline constexpr SimVocabulary kHostSimVocabulary = SimVocabulary::kLinux;
#endif

class SimulatedHidBus : public HidPlatform {
 public:
  using DeviceId = uint64_t;

  explicit SimulatedHidBus(SimVocabulary vocabulary = SimVocabulary::kWindows);
  ~SimulatedHidBus() override;

  // Time one report takes per direction (1 ms by default).
  void SetReportTime(std::chrono::microseconds per_report);

  // Attaches a device and raises a device-change notification. The endpoint
  // must outlive the attachment.
  DeviceId Attach(const SimDeviceProfile& description, SimDeviceEndpoint* endpoint);
  // Detaches: open handles fail from now on, pending reads fail, a
  // device-change notification is raised. The endpoint is no longer called once
  // Detach has returned. Unknown ids are ignored.
  void Detach(DeviceId id);
  bool IsAttached(DeviceId id) const;

  // Any thread: queue one input report (report ID first, any length; the
  // reader receives at most its buffer's length). It becomes readable one
  // report time after the call. Every handle open with read access at that
  // moment gets a copy and keeps its 32 most recent unread reports; a handle
  // opened later never sees it, as with hidraw and the Windows HID driver.
  // Writes through a handle must carry exactly the declared output report
  // length, as the system's HID driver demands; other lengths fail.
  void SendInputReport(DeviceId id, std::vector<uint8_t> report);
  // Any thread: the next read of that device fails with this system error code
  // (a Windows code or a Linux errno value, as the vocabulary says); a code
  // that means "gone" there makes the read end as kGone.
  void FailNextRead(DeviceId id, uint32_t error);
  // Any thread: the device's interface dies while it is still listed, as it
  // does on a real bus between the unplug and the system's notification:
  // every read and write fails from now on, in the vocabulary's way, and no
  // device-change notification is raised until Detach.
  void HangUp(DeviceId id);
  // Any thread: the next `count` opens of the device for reading fail with
  // this code, as an open does that runs while the system's device list is
  // being rewritten.
  void FailReadingOpens(DeviceId id, uint32_t error, int count);
  // Handles open on the device for reading.
  int ReadingHandleCount(DeviceId id) const;
  // Whether the host has not yet taken everything the device sent: a handle
  // opened for reading, or one the host has read from, still holds an unread
  // report, or a failed read is still to come. False for a device that is not
  // attached.
  bool InputUnread(DeviceId id) const;
  SimVocabulary Vocabulary() const;
  // The vocabulary's code for a device that is attached but not working:
  // ERROR_GEN_FAILURE (31) on Windows, EPROTO (71, a USB transfer error) on Linux.
  uint32_t DeviceFailureCode() const;

  // HidPlatform
  bool Available() const override;
  std::vector<HidInterfaceInfo> EnumerateInterfaces() override;
  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool for_reading,
                                  uint32_t& error) override;
  void SetDeviceChangeHandler(DeviceChangeHandler handler) override;
  std::string ErrorText(uint32_t error) const override;
  bool IsGoneError(uint32_t error) const override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kv::hid

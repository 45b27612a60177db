// What "the interface has left the system" looks like in each platform's own
// vocabulary. The platforms (and the simulated bus, which speaks either) turn
// these conditions into HidReadStatus::kGone; the controller never interprets
// a system code itself.
#pragma once

#include <cstdint>

namespace kv::hid {

// Windows system error codes.
inline constexpr uint32_t kWinErrorFileNotFound = 2;
inline constexpr uint32_t kWinErrorPathNotFound = 3;
inline constexpr uint32_t kWinErrorAccessDenied = 5;
inline constexpr uint32_t kWinErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kWinErrorDeviceRemoved = 1617;

// Linux errno values, spelt out so that the simulated bus can speak them on
// any build.
inline constexpr uint32_t kLinuxEperm = 1;
inline constexpr uint32_t kLinuxEnoent = 2;
inline constexpr uint32_t kLinuxEio = 5;
inline constexpr uint32_t kLinuxEnxio = 6;
inline constexpr uint32_t kLinuxEacces = 13;
inline constexpr uint32_t kLinuxEnodev = 19;
inline constexpr uint32_t kLinuxEinval = 22;
inline constexpr uint32_t kLinuxEproto = 71;

// A read or open on Windows failed because the interface is gone.
constexpr bool IsWindowsGoneError(uint32_t error) {
  return error == kWinErrorFileNotFound || error == kWinErrorPathNotFound ||
         error == kWinErrorDeviceNotConnected || error == kWinErrorDeviceRemoved;
}

// A read on Windows failed because the interface is gone. Besides the codes
// above, a read on a handle still open on an interface that has been removed
// fails with ERROR_ACCESS_DENIED (the HID class driver's STATUS_DELETE_PENDING;
// wine's hidclass answers every read after an unplug so). Only a read: an open
// refused with that code means another program holds the interface, or the
// user may not open it.
constexpr bool IsWindowsReadGoneError(uint32_t error) {
  return IsWindowsGoneError(error) || error == kWinErrorAccessDenied;
}

// A read on an open hidraw node failed because its device has left: the
// kernel answers EIO once the device is disconnected, ENODEV when it is
// being torn down.
constexpr bool IsLinuxReadGoneErrno(uint32_t error) {
  return error == kLinuxEio || error == kLinuxEnodev;
}

// poll(2) event bits as Linux defines them.
inline constexpr short kLinuxPollIn = 0x001;
inline constexpr short kLinuxPollErr = 0x008;
inline constexpr short kLinuxPollHup = 0x010;

// What one poll of a hidraw node for reading says.
enum class HidrawPollOutcome {
  kNothingYet,    // the slice ran out
  kReportQueued,  // read it: a report still queued comes before a hang-up behind it
  kGone,          // POLLHUP or POLLERR with nothing left to read: the device has left
};

constexpr HidrawPollOutcome ClassifyHidrawPoll(short events) {
  if (events == 0) return HidrawPollOutcome::kNothingYet;
  if ((events & kLinuxPollIn) != 0) return HidrawPollOutcome::kReportQueued;
  return HidrawPollOutcome::kGone;
}

// Opening a hidraw node failed because it is no longer there.
constexpr bool IsLinuxOpenGoneErrno(uint32_t error) {
  return error == kLinuxEnoent || error == kLinuxEnodev || error == kLinuxEnxio;
}

}  // namespace kv::hid

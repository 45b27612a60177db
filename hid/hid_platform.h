// The one seam between the HID device controller and the operating system.
// Each platform (simulated bus, Linux hidraw, Windows HID) implements it once;
// CreateSystemHidPlatform chooses the one this build runs on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv::hid {

struct HidAttributes {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

// The capability fields the tool uses; byte lengths include the report ID byte.
struct HidCaps {
  uint16_t Usage = 0;
  uint16_t UsagePage = 0;
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t FeatureReportByteLength = 0;
};

// One present HID interface as a scan sees it.
struct HidInterfaceInfo {
  std::string instance_id;  // plug-and-play device instance: stable while attached
  std::string path;         // what Open takes
  // The USB port of the device the interface belongs to ("1-1.2" on Linux, the
  // location path on Windows, "sim-N" on the simulated bus): it stays the same
  // when the unit re-enumerates in its other personality under a new path, so
  // it names the unit. Empty when the platform cannot tell.
  std::string port;
};

enum class HidAccess { kReadWrite, kNone };

enum class HidReadStatus {
  kCompleted,  // `transferred` bytes are in the buffer (may be 0)
  kPending,    // the slice ended first; the read stays pending for the next call
  kCancelled,  // CancelRead was called
  // The interface has left the system (unplugged, or the unit switching
  // personality): no read on this handle will succeed again. Each platform
  // decides this from its own conditions; `error` holds the system code that
  // said so, if any. Not a read error: the next scan reports the unplug.
  kGone,
  kFailed,  // the read could not be started or failed; `error` holds the system code
};

// An open handle on one interface.
class HidHandle {
 public:
  virtual ~HidHandle() = default;
  virtual bool GetAttributes(HidAttributes& attributes) = 0;
  virtual bool GetCaps(HidCaps& caps) = 0;
  // One output report, data[0] is the report ID. Synchronous.
  virtual bool Write(const uint8_t* data, size_t count, size_t& written) = 0;
  // Starts a read of up to `capacity` bytes (report ID first) or continues the
  // one already pending, and waits at most `slice` for it to complete.
  virtual HidReadStatus Read(uint8_t* buffer, size_t capacity, std::chrono::milliseconds slice,
                             size_t& transferred, uint32_t& error) = 0;
  // Any thread: ends a pending or future Read with kCancelled. A cancelled
  // handle may stay cancelled (the Linux one does): it is not read again.
  virtual void CancelRead() = 0;
  // True when CancelRead wakes a waiting Read at once, whatever its slice: the
  // reader may then wait with kReadUntilDone and sleep while nothing happens.
  virtual bool CancelWakesReader() const { return false; }
};

// A Read slice that ends only with a report, a hang-up, an error or CancelRead;
// only for handles whose CancelWakesReader is true.
inline constexpr std::chrono::milliseconds kReadUntilDone{-1};

// wParam/lParam as in WM_DEVICECHANGE: 7 (DBT_DEVNODES_CHANGED) when devices came or went.
constexpr uint32_t kDbtDevNodesChanged = 7;
using DeviceChangeHandler = std::function<void(uint32_t wparam, intptr_t lparam)>;

class HidPlatform {
 public:
  virtual ~HidPlatform() = default;
  // False when the platform's HID access cannot be had (libraries missing):
  // the controller then lists nothing and raises no event.
  virtual bool Available() const = 0;
  virtual std::vector<HidInterfaceInfo> EnumerateInterfaces() = 0;
  // Null on failure, with `error` the system code.
  virtual std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access,
                                          bool for_reading, uint32_t& error) = 0;
  // The handler may be called on any thread; the controller hands it to the UI thread.
  // Setting an empty handler stops notification; no call is in progress afterwards.
  virtual void SetDeviceChangeHandler(DeviceChangeHandler handler) = 0;
  // The operating system's message text for an error code.
  virtual std::string ErrorText(uint32_t error) const = 0;
  // True when `error`, from a failed Open, means the interface has left the
  // system, in this platform's own vocabulary.
  virtual bool IsGoneError(uint32_t error) const = 0;
  // What the user can do about a refused read-write open (`error` from Open),
  // for listings; empty when the platform has nothing to add to ErrorText.
  virtual std::string AccessHint(uint32_t /*error*/) const { return {}; }
};

// The platform binding of this build: Windows HID on Windows, hidraw on Linux.
std::unique_ptr<HidPlatform> CreateSystemHidPlatform();

}  // namespace kv::hid

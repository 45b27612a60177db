// The Linux binding: hidraw nodes opened and read directly, identified through
// libudev from their USB parent, their report lengths taken from the hid
// parent's report descriptor in sysfs, plug and unplug seen by a udev monitor.
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hid/access_hint.h"
#include "hid/hid_platform.h"
#include "hid/interface_gone.h"
#include "hid/report_descriptor.h"
#include "hid/udev_monitor.h"
#include "toolkit/thread_annotations.h"

namespace kv::hid {
namespace {

// The shared vocabulary spells out the Linux numbers; they must be these.
static_assert(kLinuxEperm == EPERM && kLinuxEnoent == ENOENT && kLinuxEio == EIO &&
              kLinuxEnxio == ENXIO && kLinuxEacces == EACCES && kLinuxEnodev == ENODEV &&
              kLinuxEinval == EINVAL && kLinuxEproto == EPROTO);
static_assert(kLinuxPollIn == POLLIN && kLinuxPollErr == POLLERR && kLinuxPollHup == POLLHUP);

// A write that the node does not take within this long has failed (a real
// hidraw write is synchronous; only a stalled device or test node makes it wait).
constexpr std::chrono::milliseconds kWriteLimit{2000};

// The unit's udev rule where udev reads rules from; "" when it is in none of
// those folders (udev reads no rule under /usr/local).
std::string InstalledUnitRule() {
  for (const char* folder :
       {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    std::string path = std::string(folder) + "/70-kv93t.rules";
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return {};
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills
// the buffer); these two overloads accept whichever the C library declares.
[[maybe_unused]] std::string ErrorTextFrom(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] std::string ErrorTextFrom(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

std::string SystemErrorText(int code) {
  char buffer[256] = {};
  return ErrorTextFrom(strerror_r(code, buffer, sizeof buffer), buffer);
}

int ErrnoOr(int fallback) {
  return errno != 0 ? errno : fallback;
}

struct UdevUnref {
  void operator()(udev* context) const { udev_unref(context); }
  void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevContext = std::unique_ptr<udev, UdevUnref>;
using UdevEnumeration = std::unique_ptr<udev_enumerate, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref>;

// One hidraw node as udev describes it.
struct HidrawNode {
  std::string devnode;      // /dev/hidrawN: what Open takes
  std::string hid_syspath;  // the hid parent, e.g. .../0003:0168:0821.0007
  HidAttributes attributes;
  std::string port;  // the USB device's name in sysfs, its port path: "1-1.2"
};

std::optional<uint16_t> HexAttribute(udev_device* device, const char* name) {
  const char* text = udev_device_get_sysattr_value(device, name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 16);
  // sysfs ends the value with a line break.
  while (end != nullptr && (*end == '\n' || *end == ' ')) ++end;
  if (end == nullptr || *end != '\0' || value > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// The USB device's idVendor, idProduct and bcdDevice. A hid device on another
// bus (Bluetooth, I2C) has none; its HID_ID property "bus:vendor:product"
// still names the two identifiers, with version 0.
std::optional<HidAttributes> AttributesOf(udev_device* hidraw, udev_device* hid) {
  HidAttributes attributes;
  if (udev_device* usb =
          udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device")) {
    const auto vendor = HexAttribute(usb, "idVendor");
    const auto product = HexAttribute(usb, "idProduct");
    if (!vendor || !product) return std::nullopt;
    attributes.VendorID = *vendor;
    attributes.ProductID = *product;
    attributes.VersionNumber = HexAttribute(usb, "bcdDevice").value_or(0);
    return attributes;
  }
  const char* hid_id = udev_device_get_property_value(hid, "HID_ID");
  unsigned bus = 0;
  unsigned long vendor = 0;
  unsigned long product = 0;
  if (hid_id == nullptr || std::sscanf(hid_id, "%x:%lx:%lx", &bus, &vendor, &product) != 3 ||
      vendor > 0xFFFF || product > 0xFFFF) {
    return std::nullopt;
  }
  attributes.VendorID = static_cast<uint16_t>(vendor);
  attributes.ProductID = static_cast<uint16_t>(product);
  return attributes;
}

std::optional<HidrawNode> DescribeNode(udev* context, const char* syspath) {
  UdevDevice hidraw(udev_device_new_from_syspath(context, syspath));
  if (!hidraw) return std::nullopt;
  const char* devnode = udev_device_get_devnode(hidraw.get());
  // The parents belong to the child and go with it.
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "hid", nullptr);
  if (devnode == nullptr || hid == nullptr) return std::nullopt;
  const char* hid_syspath = udev_device_get_syspath(hid);
  const std::optional<HidAttributes> attributes = AttributesOf(hidraw.get(), hid);
  if (hid_syspath == nullptr || !attributes) return std::nullopt;
  std::string port;
  if (udev_device* usb =
          udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_device")) {
    // Bus number, then the hub ports down to the device: the same whichever
    // product id the device enumerates with.
    if (const char* name = udev_device_get_sysname(usb)) port = name;
  }
  return HidrawNode{devnode, hid_syspath, *attributes, std::move(port)};
}

// libudev keeps process-wide state of its own (its random seed among it) that
// it does not guard; the scan, the read thread's and the link's opens would
// otherwise enumerate on three threads at once.
Mutex& EnumerationMutex() {
  static Mutex mutex;
  return mutex;
}

// Every hidraw node present, in udev's order.
std::vector<HidrawNode> ListHidrawNodes() {
  MutexLock lock(EnumerationMutex());
  std::vector<HidrawNode> nodes;
  const UdevContext context(udev_new());
  if (!context) return nodes;
  const UdevEnumeration enumeration(udev_enumerate_new(context.get()));
  if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), "hidraw") < 0 ||
      udev_enumerate_scan_devices(enumeration.get()) < 0) {
    return nodes;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
    if (auto node = DescribeNode(context.get(), udev_list_entry_get_name(entry)))
      nodes.push_back(std::move(*node));
  }
  return nodes;
}

std::optional<HidrawNode> FindNode(const std::string& devnode) {
  for (HidrawNode& node : ListHidrawNodes()) {
    if (node.devnode == devnode) return std::move(node);
  }
  return std::nullopt;
}

// sysfs offers the descriptor to everyone, so a node this user may not open
// still shows its report lengths in a listing.
std::optional<ReportLayout> ReadReportLayout(const std::string& hid_syspath) {
  std::ifstream file(hid_syspath + "/report_descriptor", std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<uint8_t> descriptor(kMaxReportDescriptorSize + 1);
  file.read(reinterpret_cast<char*>(descriptor.data()),
            static_cast<std::streamsize>(descriptor.size()));
  const auto count = static_cast<size_t>(file.gcount());
  if (count > kMaxReportDescriptorSize) return std::nullopt;
  return ParseReportDescriptor(descriptor.data(), count);
}

// poll's time-out: -1 waits without limit, as kReadUntilDone asks.
int PollTimeout(std::chrono::milliseconds slice) {
  return static_cast<int>(
      std::min<std::chrono::milliseconds::rep>(slice.count(), std::numeric_limits<int>::max()));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class HidrawHandle : public HidHandle {
 public:
  // `fd` is -1 for a handle opened without access: it answers queries only.
  HidrawHandle(HidAttributes attributes, std::optional<ReportLayout> layout, int fd, int wake_fd)
      : attributes_(attributes), layout_(std::move(layout)), node_(fd), wake_(wake_fd) {}

  bool GetAttributes(HidAttributes& attributes) override {
    attributes = attributes_;
    return true;
  }

  bool GetCaps(HidCaps& caps) override {
    if (!layout_) return false;
    caps = layout_->caps;
    return true;
  }

  // hidraw takes the report number as the first byte of every write, 0 for a
  // device without numbered reports, and leaves that 0 off the wire itself;
  // so the report goes as it is, ID byte first, whatever the descriptor says.
  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    written = 0;
    if (data == nullptr || count == 0 || node_.get() < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + kWriteLimit;
    for (;;) {
      const ssize_t result = write(node_.get(), data, count);
      if (result >= 0) {
        written = static_cast<size_t>(result);
        return written == count;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd writable{node_.get(), POLLOUT, 0};
      if (poll(&writable, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
  }

  HidReadStatus Read(uint8_t* buffer, size_t capacity, std::chrono::milliseconds slice,
                     size_t& transferred, uint32_t& error) override {
    transferred = 0;
    error = 0;
    if (buffer == nullptr || capacity == 0 || slice < kReadUntilDone) {
      error = EINVAL;
      return HidReadStatus::kFailed;
    }
    if (node_.get() < 0) {
      error = EACCES;
      return HidReadStatus::kFailed;
    }
    std::array<pollfd, 2> watched{{{node_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
    int ready = 0;
    do {
      ready = poll(watched.data(), watched.size(), PollTimeout(slice));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
      error = static_cast<uint32_t>(ErrnoOr(EIO));
      return HidReadStatus::kFailed;
    }
    // The eventfd is never drained: once cancelled, a handle stays cancelled.
    if (watched[1].revents != 0) return HidReadStatus::kCancelled;
    // POLLNVAL cannot happen on a descriptor this handle owns.
    switch (ClassifyHidrawPoll(watched[0].revents)) {
      case HidrawPollOutcome::kNothingYet:
        return HidReadStatus::kPending;
      case HidrawPollOutcome::kReportQueued:
        return ReadReport(buffer, capacity, transferred, error);
      case HidrawPollOutcome::kGone:
        return HidReadStatus::kGone;
    }
    return HidReadStatus::kGone;
  }

  void CancelRead() override {
    const uint64_t one = 1;
    // Cannot fail short of a counter overflow, which one write per cancel never reaches.
    [[maybe_unused]] const ssize_t result = write(wake_.get(), &one, sizeof one);
  }

  bool CancelWakesReader() const override { return true; }

 private:
  HidReadStatus ReadReport(uint8_t* buffer, size_t capacity, size_t& transferred, uint32_t& error) {
    // Unnumbered reports arrive without an ID byte; callers always get one, 0
    // for such devices, as on Windows.
    const bool add_report_id = layout_ && !layout_->uses_report_ids;
    if (add_report_id && capacity < 2) {
      error = EINVAL;
      return HidReadStatus::kFailed;
    }
    uint8_t* const target = add_report_id ? buffer + 1 : buffer;
    const size_t target_size = add_report_id ? capacity - 1 : capacity;
    ssize_t result = 0;
    do {
      result = read(node_.get(), target, target_size);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
      if (errno == EAGAIN) return HidReadStatus::kPending;
      error = static_cast<uint32_t>(errno);
      return IsLinuxReadGoneErrno(error) ? HidReadStatus::kGone : HidReadStatus::kFailed;
    }
    // hidraw never completes a read with 0 bytes; a node whose other end has
    // closed does.
    if (result == 0) return HidReadStatus::kGone;
    if (add_report_id) buffer[0] = 0;
    transferred = static_cast<size_t>(result) + (add_report_id ? 1 : 0);
    return HidReadStatus::kCompleted;
  }

  const HidAttributes attributes_;
  const std::optional<ReportLayout> layout_;
  const FileDescriptor node_;
  const FileDescriptor wake_;  // eventfd: written by CancelRead
};

class LinuxHidPlatform : public HidPlatform {
 public:
  ~LinuxHidPlatform() override { SetDeviceChangeHandler(nullptr); }

  bool Available() const override { return true; }

  std::vector<HidInterfaceInfo> EnumerateInterfaces() override {
    std::vector<HidInterfaceInfo> interfaces;
    for (HidrawNode& node : ListHidrawNodes())
      interfaces.push_back(HidInterfaceInfo{std::move(node.hid_syspath), std::move(node.devnode),
                                            std::move(node.port)});
    return interfaces;
  }

  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool /*for_reading*/,
                                  uint32_t& error) override {
    error = 0;
    if (path.empty()) {
      error = EINVAL;
      return nullptr;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
      error = static_cast<uint32_t>(ErrnoOr(ENOENT));
      return nullptr;
    }
    // Only nodes udev lists as hidraw are opened: their attributes come from
    // there, and nothing else (a regular file, another device) is ever touched.
    const std::optional<HidrawNode> node = S_ISCHR(status.st_mode) ? FindNode(path) : std::nullopt;
    if (!node) {
      error = ENODEV;
      return nullptr;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
      error = static_cast<uint32_t>(ErrnoOr(EMFILE));
      return nullptr;
    }
    int fd = -1;
    if (access == HidAccess::kReadWrite) {
      fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
      if (fd < 0) {
        error = static_cast<uint32_t>(ErrnoOr(EACCES));
        close(wake);
        return nullptr;
      }
    }
    return std::make_unique<HidrawHandle>(node->attributes, ReadReportLayout(node->hid_syspath), fd,
                                          wake);
  }

  void SetDeviceChangeHandler(DeviceChangeHandler handler) override {
    if (!handler) {
      monitor_.Stop();
      MutexLock lock(handler_mutex_);
      handler_ = nullptr;
      return;
    }
    {
      MutexLock lock(handler_mutex_);
      handler_ = std::move(handler);
    }
    // Without a monitor (no udev, no netlink in a container) scans still work;
    // only plug and unplug go unnoticed.
    int monitor_error = 0;
    monitor_.Start([this] { NotifyDeviceChange(); }, monitor_error);
  }

  std::string ErrorText(uint32_t error) const override {
    return SystemErrorText(static_cast<int>(error));
  }

  bool IsGoneError(uint32_t error) const override { return IsLinuxOpenGoneErrno(error); }

  std::string AccessHint(uint32_t error) const override {
    return LinuxAccessHint(error, InstalledUnitRule());
  }

 private:
  // Called on the monitor thread. Holding the lock during the call is what lets
  // SetDeviceChangeHandler promise that no call of the old handler is running
  // once it returns.
  void NotifyDeviceChange() {
    MutexLock lock(handler_mutex_);
    if (handler_) handler_(kDbtDevNodesChanged, 0);
  }

  Mutex handler_mutex_;
  DeviceChangeHandler handler_ KV_GUARDED_BY(handler_mutex_);
  UdevHidrawMonitor monitor_;
};

}  // namespace

std::unique_ptr<HidPlatform> CreateSystemHidPlatform() {
  return std::make_unique<LinuxHidPlatform>();
}

}  // namespace kv::hid

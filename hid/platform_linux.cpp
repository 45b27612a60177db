// The Linux binding: hidraw nodes reached through hidapi, identified through
// udev, with plug and unplug seen by a udev monitor.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/report_descriptor.h"
#include "hid/udev_monitor.h"

namespace kv::hid {
namespace {

// hidapi keeps its last error for enumeration and opening in global state, so
// those calls are made one at a time across every platform instance.
std::mutex& HidapiGlobalMutex() {
  static std::mutex mutex;
  return mutex;
}

bool InitialiseHidapi() {
  std::lock_guard lock(HidapiGlobalMutex());
  static const bool initialised = hid_init() == 0;
  return initialised;
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

struct InterfaceRecord {
  std::string path;
  std::string instance_id;
  HidAttributes attributes;
};

std::string NodeName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The hid device a hidraw node belongs to, e.g.
// /sys/devices/.../0003:0168:0821.0007: its sequence number changes with every
// attachment, so a unit that leaves and returns is seen as a new interface.
std::string InstanceIdOf(udev* context, const std::string& path) {
  if (context == nullptr) return path;
  udev_device* node =
      udev_device_new_from_subsystem_sysname(context, "hidraw", NodeName(path).c_str());
  if (node == nullptr) return path;
  std::string instance_id = path;
  if (udev_device* parent = udev_device_get_parent_with_subsystem_devtype(node, "hid", nullptr)) {
    if (const char* syspath = udev_device_get_syspath(parent)) instance_id = syspath;
  }
  udev_device_unref(node);  // also releases the parent it owns
  return instance_id;
}

// One record per hidraw node; hidapi lists a node once per top-level
// collection, so repeated paths are dropped.
std::vector<InterfaceRecord> ListHidrawInterfaces() {
  std::vector<InterfaceRecord> records;
  std::set<std::string> seen;
  {
    std::lock_guard lock(HidapiGlobalMutex());
    hid_device_info* list = hid_enumerate(0, 0);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
      if (info->path == nullptr || !seen.insert(info->path).second) continue;
      InterfaceRecord record;
      record.path = info->path;
      record.attributes.VendorID = info->vendor_id;
      record.attributes.ProductID = info->product_id;
      record.attributes.VersionNumber = info->release_number;
      records.push_back(std::move(record));
    }
    hid_free_enumeration(list);
  }
  udev* context = udev_new();
  for (InterfaceRecord& record : records) record.instance_id = InstanceIdOf(context, record.path);
  if (context != nullptr) udev_unref(context);
  return records;
}

std::optional<std::vector<uint8_t>> ReadDescriptorThroughNode(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<uint8_t>> result;
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size >= 0 &&
      static_cast<size_t>(size) <= kMaxReportDescriptorSize) {
    auto descriptor = std::make_unique<hidraw_report_descriptor>();
    descriptor->size = static_cast<uint32_t>(size);
    if (ioctl(fd, HIDIOCGRDESC, descriptor.get()) == 0)
      result.emplace(descriptor->value, descriptor->value + size);
  }
  close(fd);
  return result;
}

// sysfs offers the descriptor to everyone, so a node this user may not open
// still shows its report lengths in a listing.
std::optional<std::vector<uint8_t>> ReadDescriptorThroughSysfs(const std::string& path) {
  std::ifstream file("/sys/class/hidraw/" + NodeName(path) + "/device/report_descriptor",
                     std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<uint8_t> descriptor(kMaxReportDescriptorSize + 1);
  file.read(reinterpret_cast<char*>(descriptor.data()),
            static_cast<std::streamsize>(descriptor.size()));
  const auto count = static_cast<size_t>(file.gcount());
  if (count > kMaxReportDescriptorSize) return std::nullopt;
  descriptor.resize(count);
  return descriptor;
}

std::optional<ReportLayout> ReadReportLayout(const std::string& path) {
  auto descriptor = ReadDescriptorThroughNode(path);
  if (!descriptor) descriptor = ReadDescriptorThroughSysfs(path);
  if (!descriptor) return std::nullopt;
  return ParseReportDescriptor(descriptor->data(), descriptor->size());
}

class HidrawHandle : public HidHandle {
 public:
  // `device` is null for a handle opened without access: it answers queries only.
  HidrawHandle(HidAttributes attributes, std::optional<ReportLayout> layout, hid_device* device)
      : attributes_(attributes), layout_(std::move(layout)), device_(device) {}
  ~HidrawHandle() override {
    if (device_ != nullptr) hid_close(device_);
  }
  HidrawHandle(const HidrawHandle&) = delete;
  HidrawHandle& operator=(const HidrawHandle&) = delete;

  bool GetAttributes(HidAttributes& attributes) override {
    attributes = attributes_;
    return true;
  }

  bool GetCaps(HidCaps& caps) override {
    if (!layout_) return false;
    caps = layout_->caps;
    return true;
  }

  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    written = 0;
    if (data == nullptr || count == 0 || device_ == nullptr) return false;
    const int result = hid_write(device_, data, count);
    if (result < 0) return false;
    written = static_cast<size_t>(result);
    return true;
  }

  // A cancel request is noticed between waits, so it takes effect within one
  // slice: hidapi waits on the node itself and offers no way to interrupt it.
  HidReadStatus Read(uint8_t* buffer, size_t capacity, int slice_ms, size_t& transferred,
                     uint32_t& error) override {
    transferred = 0;
    error = 0;
    if (buffer == nullptr || capacity == 0 || slice_ms < 0) {
      error = EINVAL;
      return HidReadStatus::kFailed;
    }
    if (cancel_requested_.load()) return HidReadStatus::kCancelled;
    if (device_ == nullptr) {
      error = EACCES;
      return HidReadStatus::kFailed;
    }
    return ReadOneSlice(buffer, capacity, slice_ms, transferred, error);
  }

  void CancelRead() override { cancel_requested_.store(true); }

 private:
  HidReadStatus ReadOneSlice(uint8_t* buffer, size_t capacity, int slice_ms, size_t& transferred,
                             uint32_t& error) {
    // Unnumbered reports arrive without an ID byte; callers always get one, 0
    // for such devices, as on Windows.
    const bool add_report_id = layout_ && !layout_->uses_report_ids;
    uint8_t discarded = 0;
    uint8_t* target = buffer;
    size_t target_size = capacity;
    if (add_report_id) {
      target = capacity > 1 ? buffer + 1 : &discarded;
      target_size = capacity > 1 ? capacity - 1 : 1;
    }
    errno = 0;
    const int result = hid_read_timeout(device_, target, target_size, slice_ms);
    if (result < 0) {
      error = static_cast<uint32_t>(ErrnoOr(EIO));
      return HidReadStatus::kFailed;
    }
    if (cancel_requested_.load()) return HidReadStatus::kCancelled;
    if (result == 0) return HidReadStatus::kPending;
    if (add_report_id) {
      buffer[0] = 0;
      transferred = capacity > 1 ? static_cast<size_t>(result) + 1 : 1;
    } else {
      transferred = static_cast<size_t>(result);
    }
    return HidReadStatus::kCompleted;
  }

  const HidAttributes attributes_;
  const std::optional<ReportLayout> layout_;
  hid_device* const device_;
  std::atomic<bool> cancel_requested_{false};
};

class LinuxHidPlatform : public HidPlatform {
 public:
  LinuxHidPlatform() : available_(InitialiseHidapi()) {}
  ~LinuxHidPlatform() override { SetDeviceChangeHandler(nullptr); }

  bool Available() const override { return available_; }

  std::vector<HidInterfaceInfo> EnumerateInterfaces() override {
    if (!available_) return {};
    const std::vector<InterfaceRecord> records = ListHidrawInterfaces();
    Remember(records);
    std::vector<HidInterfaceInfo> interfaces;
    interfaces.reserve(records.size());
    for (const InterfaceRecord& record : records)
      interfaces.push_back(HidInterfaceInfo{record.instance_id, record.path});
    return interfaces;
  }

  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool /*for_reading*/,
                                  uint32_t& error) override {
    error = 0;
    if (!available_ || path.empty()) {
      error = available_ ? EINVAL : ENOSYS;
      return nullptr;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
      error = static_cast<uint32_t>(ErrnoOr(ENOENT));
      return nullptr;
    }
    // Only nodes hidapi lists are opened: their attributes come from that list,
    // and nothing else (a regular file, another device) is ever touched.
    const std::optional<HidAttributes> attributes = AttributesOf(path);
    if (!S_ISCHR(status.st_mode) || !attributes) {
      error = ENODEV;
      return nullptr;
    }
    if (access == HidAccess::kNone)
      return std::make_unique<HidrawHandle>(*attributes, ReadReportLayout(path), nullptr);
    return OpenReadWrite(path, *attributes, error);
  }

  void SetDeviceChangeHandler(DeviceChangeHandler handler) override {
    if (!handler) {
      monitor_.Stop();
      std::lock_guard lock(handler_mutex_);
      handler_ = nullptr;
      return;
    }
    {
      std::lock_guard lock(handler_mutex_);
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

 private:
  std::unique_ptr<HidHandle> OpenReadWrite(const std::string& path, const HidAttributes& attributes,
                                           uint32_t& error) {
    // hidapi does not say why an open failed; a plain open of the node does.
    const int probe = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (probe < 0) {
      error = static_cast<uint32_t>(ErrnoOr(EACCES));
      return nullptr;
    }
    close(probe);
    hid_device* device = nullptr;
    {
      std::lock_guard lock(HidapiGlobalMutex());
      errno = 0;
      device = hid_open_path(path.c_str());
    }
    if (device == nullptr) {
      error = static_cast<uint32_t>(ErrnoOr(EIO));
      return nullptr;
    }
    return std::make_unique<HidrawHandle>(attributes, ReadReportLayout(path), device);
  }

  void Remember(const std::vector<InterfaceRecord>& records) {
    std::lock_guard lock(known_mutex_);
    known_.clear();
    for (const InterfaceRecord& record : records) known_[record.path] = record.attributes;
  }

  // From the last listing, or a fresh one for a path the controller learnt elsewhere.
  std::optional<HidAttributes> AttributesOf(const std::string& path) {
    {
      std::lock_guard lock(known_mutex_);
      if (auto it = known_.find(path); it != known_.end()) return it->second;
    }
    Remember(ListHidrawInterfaces());
    std::lock_guard lock(known_mutex_);
    if (auto it = known_.find(path); it != known_.end()) return it->second;
    return std::nullopt;
  }

  // Called on the monitor thread. Holding the lock during the call is what lets
  // SetDeviceChangeHandler promise that no call of the old handler is running
  // once it returns.
  void NotifyDeviceChange() {
    std::lock_guard lock(handler_mutex_);
    if (handler_) handler_(kDbtDevNodesChanged, 0);
  }

  const bool available_;
  std::mutex known_mutex_;
  std::map<std::string, HidAttributes> known_;  // path -> attributes, from the last listing
  std::mutex handler_mutex_;
  DeviceChangeHandler handler_;
  UdevHidrawMonitor monitor_;
};

}  // namespace

std::unique_ptr<HidPlatform> CreateSystemHidPlatform() {
  return std::make_unique<LinuxHidPlatform>();
}

}  // namespace kv::hid

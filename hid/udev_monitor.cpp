#include "hid/udev_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace kv::hid {

struct UdevHidrawMonitor::Resources {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int wake_fd = -1;  // eventfd: written once by Stop

  ~Resources() {
    if (wake_fd >= 0) close(wake_fd);
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
};

namespace {

// libudev reports failures through errno but does not promise to set it.
int LastErrorOr(int fallback) {
  return errno != 0 ? errno : fallback;
}

// Reads every event queued on the monitor, so that a burst (a unit leaving in
// one personality and coming back in the other) causes one rescan, not many.
bool DrainHidrawEvents(udev_monitor* monitor) {
  bool changed = false;
  while (udev_device* device = udev_monitor_receive_device(monitor)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr &&
        (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
      changed = true;
    udev_device_unref(device);
  }
  return changed;
}

}  // namespace

UdevHidrawMonitor::UdevHidrawMonitor() = default;
UdevHidrawMonitor::~UdevHidrawMonitor() {
  Stop();
}

bool UdevHidrawMonitor::Start(ChangeCallback on_change, int& error) {
  MutexLock lock(mutex_);
  error = 0;
  if (resources_ != nullptr) return true;

  auto resources = std::make_unique<Resources>();
  errno = 0;
  resources->context = udev_new();
  if (resources->context == nullptr) {
    error = LastErrorOr(ENOMEM);
    return false;
  }
  errno = 0;
  resources->monitor = udev_monitor_new_from_netlink(resources->context, "udev");
  if (resources->monitor == nullptr) {
    error = LastErrorOr(ENOSYS);
    return false;
  }
  int rc = udev_monitor_filter_add_match_subsystem_devtype(resources->monitor, "hidraw", nullptr);
  if (rc >= 0) rc = udev_monitor_enable_receiving(resources->monitor);
  if (rc < 0) {
    error = -rc;
    return false;
  }
  resources->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (resources->wake_fd < 0) {
    error = errno;
    return false;
  }

  try {
    thread_ = std::thread(WatchLoop, resources.get(), std::move(on_change));
  } catch (const std::system_error& e) {
    error = e.code().value();
    return false;
  }
  resources_ = std::move(resources);
  return true;
}

void UdevHidrawMonitor::Stop() {
  MutexLock lock(mutex_);
  if (resources_ == nullptr) return;
  const uint64_t one = 1;
  // An eventfd write of 1 cannot fail short of a counter overflow, which one
  // write per Stop never reaches.
  [[maybe_unused]] const ssize_t written = write(resources_->wake_fd, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  resources_.reset();
}

bool UdevHidrawMonitor::Running() const {
  MutexLock lock(mutex_);
  return resources_ != nullptr;
}

void UdevHidrawMonitor::WatchLoop(Resources* resources, const ChangeCallback& on_change) {
  constexpr int kWaitUntilEventOrStop = -1;  // the wake eventfd is the cancel path
  pollfd watched[2] = {{udev_monitor_get_fd(resources->monitor), POLLIN, 0},
                       {resources->wake_fd, POLLIN, 0}};
  for (;;) {
    const int ready = poll(watched, 2, kWaitUntilEventOrStop);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    if ((watched[0].revents & POLLIN) != 0 && DrainHidrawEvents(resources->monitor) && on_change)
      on_change();
  }
}

}  // namespace kv::hid

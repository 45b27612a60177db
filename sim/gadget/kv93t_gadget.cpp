// kv93t-gadget: the simulated unit as a real USB device, for the tests that
// run the tool through a Linux kernel's own USB, HID and udev (a configfs HID
// gadget on a USB device controller, dummy_hcd's in those tests).
//
//   kv93t-gadget --udc UDC --verdict FILE [--gadget NAME] [--ready FILE]
//                [--sim KEY=VALUE]...
//
// The unit itself (sim/) stays on a simulated bus of its own and answers as it
// always does; this program mirrors that bus onto the gadget. While the unit is
// on its bus the gadget is bound with the personality's idProduct (0x0821 run
// mode, 0x0904 update mode), so the host enumerates it as the unit; when the
// unit leaves (a personality switch, an unplug fault), the gadget is unbound,
// as a unit that leaves the USB does, and bound again when it comes back.
// Reports cross between the gadget's /dev/hidgN and the unit: the host's 64
// data bytes of each output report become the unit's report ID 0 and 64 bytes,
// the unit's input reports lose their ID byte.
//
// SIGUSR1 plugs the unit back in, in update mode, SIGUSR2 in run mode (as a
// cable put back after an unplug fault with replug-ms=never). It runs until
// SIGTERM or SIGINT, then writes the unit's verdict, with what
// the road itself saw wrong (output reports of another length), to FILE, and
// leaves the bus. It is a test instrument and never part of the product.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/sim_bus.h"
#include "sim/sim_options.h"
#include "sim/simulated_setup.h"
#include "toolkit/thread_annotations.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kConfigfsGadgets = "/sys/kernel/config/usb_gadget";
// One report each way on the gadget: 64 data bytes, no report ID.
constexpr size_t kReportDataBytes = 64;
constexpr size_t kUnitReportBytes = 1 + kReportDataBytes;
// 64-byte input and output reports without report IDs on the vendor page, as
// the unit describes itself: Usage Page (0xFF00), Usage 1, Collection
// (application), Usage 1, 0..255, 8 bits x 64, Input; Usage 2, 0..255, 8 bits
// x 64, Output; End Collection.
constexpr std::array<uint8_t, 34> kReportDescriptor = {
    0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26,
    0xff, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x02, 0x15, 0x00,
    0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xc0};

// After a bind the function's /dev/hidgN appears within about 100 ms.
constexpr milliseconds kHidgNodeLimit{3000};
constexpr milliseconds kHidgNodePoll{10};
// How long a pump's read of the unit's bus waits before it looks at its stop
// flag again; the stop also cancels the read, so this only bounds a missed wake-up.
constexpr milliseconds kUnitReadSlice{100};
// Before the gadget is unbound, the report the unit sent last may still wait
// for the host's IN transfer: a device leaving for its other personality
// waits for that, as the unit waits for its answer to be taken, at most this long.
constexpr milliseconds kLastReportTakenLimit{1000};

const Clock::time_point kStart = Clock::now();

long long SinceStartMs() {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - kStart).count();
}

void Log(const std::string& line) {
  std::fprintf(stderr, "[%7lld ms] gadget: %s\n", SinceStartMs(), line.c_str());
  std::fflush(stderr);
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  file.close();
  if (!file) {
    Log("cannot write " + path + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

void WakeFd(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

// Waits for `events` on `fd`, or for `stop`; false when stopped, timed out or failed.
bool WaitFor(int fd, short events, int stop, int timeout_ms) {
  std::array<pollfd, 2> watched{{{fd, events, 0}, {stop, POLLIN, 0}}};
  for (;;) {
    const int ready = poll(watched.data(), watched.size(), timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || watched[1].revents != 0) return false;
    return (watched[0].revents & events) != 0;
  }
}

// The gadget's configfs directory: a USB device of the unit's vendor with one
// HID function, bound to a device controller while the unit is on the bus.
class ConfigfsGadget {
 public:
  ConfigfsGadget(std::string name, std::string udc)
      : dir_(std::string(kConfigfsGadgets) + "/" + name), udc_(std::move(udc)) {}

  bool Create(int unit_number) {
    const std::string function = dir_ + "/functions/hid.usb0";
    const std::string serial = "KV93T-SIM-" + std::to_string(unit_number);
    bool made = MakeDir(dir_) && Put("idVendor", "0x0168") && Put("idProduct", "0x0821") &&
                Put("bcdUSB", "0x0200") && MakeDir(dir_ + "/strings/0x409") &&
                Put("strings/0x409/manufacturer", "KV") && Put("strings/0x409/product", "KV-93T") &&
                Put("strings/0x409/serialnumber", serial) && MakeDir(dir_ + "/configs/c.1") &&
                Put("configs/c.1/MaxPower", "100") && MakeDir(function) &&
                Put("functions/hid.usb0/protocol", "0") &&
                Put("functions/hid.usb0/subclass", "0") &&
                Put("functions/hid.usb0/report_length", std::to_string(kReportDataBytes)) &&
                Put("functions/hid.usb0/report_desc",
                    std::string(kReportDescriptor.begin(), kReportDescriptor.end()));
    if (made && symlink(function.c_str(), (dir_ + "/configs/c.1/hid.usb0").c_str()) != 0 &&
        errno != EEXIST) {
      Log("cannot link the function into the configuration: " + std::string(std::strerror(errno)));
      made = false;
    }
    return made;
  }

  // While unbound only: the kernel refuses descriptor changes of a bound gadget.
  bool SetIdentity(const kv::hid::HidAttributes& attributes) {
    return Put("idProduct", Hex4(attributes.ProductID)) &&
           Put("bcdDevice", Hex4(attributes.VersionNumber));
  }

  bool Bind() { return Put("UDC", udc_); }
  bool Unbind() { return Put("UDC", "\n"); }

  // The function's character device, by the minor number the kernel gave it.
  std::string HidgNode() const {
    const std::string numbers = ReadFirstLine(dir_ + "/functions/hid.usb0/dev");
    const size_t colon = numbers.find(':');
    if (colon == std::string::npos) return "/dev/hidg0";
    return "/dev/hidg" + numbers.substr(colon + 1);
  }

 private:
  bool MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    Log("cannot make " + path + ": " + std::strerror(errno));
    return false;
  }
  bool Put(const std::string& attribute, const std::string& value) {
    return WriteText(dir_ + "/" + attribute, value);
  }

  std::string dir_;
  std::string udc_;
};

// The pumps of one attachment: the host's reports to the unit and back.
struct Attachment {
  std::string instance_id;  // the unit's device on its own bus
  std::unique_ptr<kv::hid::HidHandle> writer;
  std::unique_ptr<kv::hid::HidHandle> reader;
  int stop = -1;       // eventfd: ends both pumps
  int host_done = -1;  // eventfd: the pump to the host has ended
  std::thread to_unit;
  std::thread to_host;
};

class GadgetBridge {
 public:
  GadgetBridge(ConfigfsGadget& gadget, const kv::sim::SimOptions& options)
      : gadget_(gadget), options_(options) {}

  ~GadgetBridge() { Stop(); }

  void Start() {
    worker_ = std::thread([this] { Run(); });
    bus_->SetDeviceChangeHandler([this](uint32_t, intptr_t) { RequestSync(); });
    setup_ = std::make_unique<kv::sim::SimulatedSetup>(*bus_, options_);
    RequestSync();
  }

  // Ends the mirroring and leaves the USB; the unit keeps its verdict.
  void Stop() {
    if (!worker_.joinable()) return;
    bus_->SetDeviceChangeHandler({});
    {
      kv::MutexLock lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  // The unit's verdict and what the road saw wrong; the last line sums it up.
  std::string VerdictText() const {
    std::string text = setup_->VerdictText();
    kv::MutexLock lock(mutex_);
    for (const std::string& finding : road_findings_) text += "road: " + finding + "\n";
    const bool clean = setup_->AllClean() && road_findings_.empty();
    text += std::string("gadget: ") + (clean ? "clean" : "NOT clean") +
            (setup_->AllUpdated() ? ", both images in place" : ", images not both in place") +
            ", " + std::to_string(binds_) + " binds\n";
    return text;
  }

  // The cable goes back in: the unit attaches in that personality.
  void PlugIn(kv::sim::Personality personality) { setup_->Unit(0).PlugIn(personality); }

  // Waits, at most `limit`, until the first attachment has been mirrored (or
  // none was due at once).
  bool WaitForFirstSync(milliseconds limit) {
    const Clock::time_point give_up = Clock::now() + limit;
    kv::MutexLock lock(mutex_);
    while (!first_sync_done_) {
      if (changed_.wait_until(mutex_, give_up) == std::cv_status::timeout) return first_sync_done_;
    }
    return true;
  }

 private:
  void RequestSync() {
    {
      kv::MutexLock lock(mutex_);
      sync_requested_ = true;
    }
    changed_.notify_all();
  }

  bool TakeSyncRequest() {
    kv::MutexLock lock(mutex_);
    while (!stopping_ && !sync_requested_) changed_.wait(mutex_);
    sync_requested_ = false;
    return !stopping_;
  }

  void Run() {
    while (TakeSyncRequest()) {
      Sync();
      {
        kv::MutexLock lock(mutex_);
        first_sync_done_ = true;
      }
      changed_.notify_all();
    }
    if (attachment_) Detach();
    if (hidg_ >= 0) close(hidg_);
  }

  // Brings the gadget in line with the unit's bus: bound while the unit is on it.
  void Sync() {
    const std::vector<kv::hid::HidInterfaceInfo> present = bus_->EnumerateInterfaces();
    const kv::hid::HidInterfaceInfo* found = present.empty() ? nullptr : &present.front();
    if (attachment_ && (found == nullptr || found->instance_id != attachment_->instance_id))
      Detach();
    if (found != nullptr && !attachment_) Attach(*found);
  }

  void Attach(const kv::hid::HidInterfaceInfo& info) {
    uint32_t error = 0;
    auto attachment = std::make_unique<Attachment>();
    attachment->instance_id = info.instance_id;
    attachment->writer = bus_->Open(info.path, kv::hid::HidAccess::kReadWrite, false, error);
    attachment->reader = bus_->Open(info.path, kv::hid::HidAccess::kReadWrite, true, error);
    kv::hid::HidAttributes attributes;
    // Gone again already: the notification of that is on its way.
    if (!attachment->writer || !attachment->reader ||
        !attachment->writer->GetAttributes(attributes)) {
      return;
    }
    if (!gadget_.SetIdentity(attributes) || !gadget_.Bind()) {
      AddFinding("the gadget could not be bound as " + Hex4(attributes.ProductID));
      return;
    }
    {
      kv::MutexLock lock(mutex_);
      ++binds_;
    }
    Log("bound as 0168:" + Hex4(attributes.ProductID).substr(2));
    if (hidg_ < 0 && !OpenHidg()) return;
    DropStaleOutput();
    attachment->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    attachment->host_done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    attachment_ = std::move(attachment);
    Attachment& live = *attachment_;
    live.to_unit = std::thread([this, &live] { PumpToUnit(live); });
    live.to_host = std::thread([this, &live] { PumpToHost(live); });
  }

  void Detach() {
    Attachment& gone = *attachment_;
    // The unit has left its bus: the pump to the host ends by itself once the
    // last report the unit sent has been taken by the host.
    pollfd done{gone.host_done, POLLIN, 0};
    poll(&done, 1, static_cast<int>(kLastReportTakenLimit.count()));
    WakeFd(gone.stop);
    gone.reader->CancelRead();
    gone.to_unit.join();
    gone.to_host.join();
    close(gone.stop);
    close(gone.host_done);
    attachment_.reset();
    if (!gadget_.Unbind()) AddFinding("the gadget could not be unbound");
    Log("unbound");
  }

  bool OpenHidg() {
    const Clock::time_point give_up = Clock::now() + kHidgNodeLimit;
    const std::string node = gadget_.HidgNode();
    while ((hidg_ = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
      if (Clock::now() >= give_up) {
        AddFinding("no " + node + " within " + std::to_string(kHidgNodeLimit.count()) + " ms");
        return false;
      }
      std::this_thread::sleep_for(kHidgNodePoll);
    }
    Log("opened " + node);
    return true;
  }

  // Output reports the host wrote before the unit left are not the new
  // personality's: a real unit lost them with its old attachment.
  void DropStaleOutput() {
    std::array<uint8_t, 256> report{};
    int dropped = 0;
    while (read(hidg_, report.data(), report.size()) > 0) ++dropped;
    if (dropped > 0)
      Log("dropped " + std::to_string(dropped) + " report(s) of the last attachment");
  }

  // The host's output reports: 64 data bytes each on the gadget, which the
  // unit takes behind report ID 0.
  void PumpToUnit(Attachment& live) {
    std::array<uint8_t, 256> data{};
    for (;;) {
      if (!WaitFor(hidg_, POLLIN, live.stop, -1)) return;
      const ssize_t count = read(hidg_, data.data(), data.size());
      if (count <= 0) continue;
      if (static_cast<size_t>(count) != kReportDataBytes) {
        AddFinding("an output report of " + std::to_string(count) + " bytes (64 expected)");
        continue;
      }
      std::array<uint8_t, kUnitReportBytes> report{};
      std::copy_n(data.begin(), kReportDataBytes, report.begin() + 1);
      size_t written = 0;
      live.writer->Write(report.data(), report.size(), written);
    }
  }

  // The unit's input reports, without the report ID, once the host has taken
  // the one before (the gadget holds one IN transfer at a time).
  void PumpToHost(Attachment& live) {
    std::array<uint8_t, kUnitReportBytes> report{};
    for (;;) {
      size_t transferred = 0;
      uint32_t error = 0;
      const kv::hid::HidReadStatus status =
          live.reader->Read(report.data(), report.size(), kUnitReadSlice, transferred, error);
      if (status == kv::hid::HidReadStatus::kCancelled) break;
      if (status == kv::hid::HidReadStatus::kGone) {
        // The unit has left: its last report still counts once the host took it.
        WaitFor(hidg_, POLLOUT, live.stop, static_cast<int>(kLastReportTakenLimit.count()));
        break;
      }
      // A read error the unit injected is the host's, which a gadget cannot fake.
      if (status != kv::hid::HidReadStatus::kCompleted || transferred <= 1) continue;
      if (!WaitFor(hidg_, POLLOUT, live.stop, -1)) break;
      std::array<uint8_t, kReportDataBytes> data{};
      std::copy_n(report.begin() + 1, std::min(transferred - 1, data.size()), data.begin());
      if (write(hidg_, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        Log("a report to the host was not taken: " + std::string(std::strerror(errno)));
    }
    WakeFd(live.host_done);
  }

  void AddFinding(const std::string& finding) {
    Log(finding);
    kv::MutexLock lock(mutex_);
    road_findings_.push_back(finding);
  }

  ConfigfsGadget& gadget_;
  const kv::sim::SimOptions options_;
  std::shared_ptr<kv::hid::SimulatedHidBus> bus_ =
      std::make_shared<kv::hid::SimulatedHidBus>(kv::hid::SimVocabulary::kLinux);
  std::unique_ptr<kv::sim::SimulatedSetup> setup_;

  mutable kv::Mutex mutex_;
  std::condition_variable_any changed_;
  bool sync_requested_ KV_GUARDED_BY(mutex_) = false;
  bool stopping_ KV_GUARDED_BY(mutex_) = false;
  bool first_sync_done_ KV_GUARDED_BY(mutex_) = false;
  int binds_ KV_GUARDED_BY(mutex_) = 0;
  std::vector<std::string> road_findings_ KV_GUARDED_BY(mutex_);

  // Worker thread only (the pumps read hidg_ while their attachment lives).
  std::unique_ptr<Attachment> attachment_;
  int hidg_ = -1;
  std::thread worker_;
};

struct Arguments {
  std::string udc;
  std::string gadget = "kv93t";
  std::string verdict;
  std::string ready;
  std::vector<std::string> sim;
};

bool ParseArguments(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (word == "--udc") {
      arguments.udc = value;
    } else if (word == "--gadget") {
      arguments.gadget = value;
    } else if (word == "--verdict") {
      arguments.verdict = value;
    } else if (word == "--ready") {
      arguments.ready = value;
    } else if (word == "--sim") {
      arguments.sim.push_back(value);
    } else {
      return false;
    }
  }
  return !arguments.udc.empty() && !arguments.verdict.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!ParseArguments(argc, argv, arguments)) {
    std::fprintf(stderr,
                 "usage: kv93t-gadget --udc UDC --verdict FILE [--gadget NAME] [--ready FILE] "
                 "[--sim KEY=VALUE]...\n");
    return 1;
  }
  kv::sim::SimOptions options;
  std::string problem;
  if (!kv::sim::ApplySimOptions(arguments.sim, options, problem)) {
    std::fprintf(stderr, "kv93t-gadget: %s\n", problem.c_str());
    return 1;
  }
  if (options.units != 1) {
    std::fprintf(stderr, "kv93t-gadget: one unit per gadget (units=1)\n");
    return 1;
  }
  // The signals are taken by sigwait below, on this thread only.
  sigset_t taken;
  sigemptyset(&taken);
  for (const int signal_number : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2})
    sigaddset(&taken, signal_number);
  pthread_sigmask(SIG_BLOCK, &taken, nullptr);

  ConfigfsGadget gadget(arguments.gadget, arguments.udc);
  if (!gadget.Create(1)) return 1;
  GadgetBridge bridge(gadget, options);
  bridge.Start();
  if (!bridge.WaitForFirstSync(kHidgNodeLimit + milliseconds(2000))) Log("first bind is late");
  if (!arguments.ready.empty()) WriteText(arguments.ready, "ready\n");
  Log("ready");

  int signal_number = 0;
  while (sigwait(&taken, &signal_number) == 0 &&
         (signal_number == SIGUSR1 || signal_number == SIGUSR2)) {
    const bool update = signal_number == SIGUSR1;
    Log(std::string("plugged in, in ") + (update ? "update" : "run") + " mode");
    bridge.PlugIn(update ? kv::sim::Personality::kUpdate : kv::sim::Personality::kRun);
  }
  Log(std::string("ending on ") + strsignal(signal_number));
  bridge.Stop();
  const std::string verdict = bridge.VerdictText();
  std::fputs(verdict.c_str(), stderr);
  return WriteText(arguments.verdict, verdict) ? 0 : 1;
}

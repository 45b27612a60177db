// The traffic lines keep the wire's order: a request's "W" line is listed before
// the "R" line of the reply it caused, however fast the reply comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/isp_application.h"
#include "isp_harness.h"

namespace kv::test {
namespace {

// A run-mode unit whose answer to the first command arrives, and is handled on
// the UI thread, before the write of that command has returned: the latest a
// written line can be handed over then is after its reply was listed.
class AnswerInsideTheWrite : public hid::SimDeviceEndpoint {
 public:
  explicit AnswerInsideTheWrite(hid::SimulatedHidBus& bus) : bus_(bus) {
    hid::SimDeviceProfile device;
    device.attributes = {0x0168, 0x0821, 1};
    device.caps.InputReportByteLength = 65;
    device.caps.OutputReportByteLength = 65;
    device.name = "answers inside the write";
    id_ = bus_.Attach(device, this);
  }
  ~AnswerInsideTheWrite() override { bus_.Detach(id_); }

  // UI thread, from the traffic observer.
  void Listed(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    if (line.starts_with("R ")) replyListed_.notify_all();
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool ReplyListedInsideTheWrite() {
    std::lock_guard lock(mutex_);
    return replyListedInsideTheWrite_;
  }

  // The link's worker, inside WriteReport's device write.
  void OnOutputReport(const uint8_t* /*data*/, size_t /*count*/) override {
    std::unique_lock lock(mutex_);
    if (answered_) return;
    answered_ = true;
    // The identify answer: DLE STX, sender 1, receiver 0, length 3, code 0x10, unit type 0x33.
    std::vector<uint8_t> report(65, 0);
    const uint8_t answer[] = {0x10, 0x02, 0x01, 0x00, 0x03, 0x10, 0x33, 0x01, 0x10, 0x03, 0x21};
    std::copy(std::begin(answer), std::end(answer), report.begin() + 1);
    bus_.SendInputReport(id_, report);
    replyListedInsideTheWrite_ = replyListed_.wait_for(lock, kEventLimit, [this] {
      for (const std::string& line : lines_) {
        if (line.starts_with("R ")) return true;
      }
      return false;
    });
  }

 private:
  hid::SimulatedHidBus& bus_;
  hid::SimulatedHidBus::DeviceId id_ = 0;
  std::mutex mutex_;
  std::condition_variable replyListed_;
  std::vector<std::string> lines_;
  bool answered_ = false;
  bool replyListedInsideTheWrite_ = false;
};

TEST(IspReportIo, WrittenLineIsListedBeforeTheReplyThatComesBackDuringTheWrite) {
  AnswerInsideTheWrite* unit = nullptr;
  TIspApplicationOptions options;
  options.Simulate = true;
  options.Sim.units = 0;
  options.SimReportTime = std::chrono::microseconds(0);
  options.Timing = FastTiming();
  options.TrafficObserver = [&unit](const TTrafficRecord& record) {
    if (unit != nullptr) unit->Listed(record.Line);
  };
  TIspApplication application(std::move(options));
  AnswerInsideTheWrite answering(*application.Platform().Bus());
  unit = &answering;
  TfmIsp& isp = *application.MainWindow();
  ASSERT_TRUE(application.Loop().RunUntil(
      [&isp] { return isp.sbStatus.PanelText(1) == "Detect Run HID"; }, kEventLimit));

  application.Loop().Post([&isp] { isp.btnVersion.Click(); });
  ASSERT_TRUE(application.Loop().RunUntil(
      [&answering] {
        const std::vector<std::string> lines = answering.Lines();
        return lines.size() >= 3;
      },
      kEventLimit));
  ASSERT_TRUE(answering.ReplyListedInsideTheWrite());

  const std::vector<std::string> lines = answering.Lines();
  ASSERT_GE(lines.size(), 2u);
  // The unit query (code 0x10), then its answer, then the version text request (0x13).
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "W 00  10 02 00 01 01 10 10 03 11 ");
  EXPECT_EQ(lines[1], "R 00  10 02 01 00 03 10 33 01 10 03 21 ");
  EXPECT_EQ(lines[2], "W 00  10 02 00 01 01 13 10 03 12 ");
  unit = nullptr;
}

// A write the device did not take is listed as such: this one declares no
// output report, so nothing can be written to it.
TEST(IspReportIo, AWriteTheDeviceDidNotTakeIsListedAsFailed) {
  struct Deaf : hid::SimDeviceEndpoint {
    void OnOutputReport(const uint8_t* /*data*/, size_t /*count*/) override {}
  } deaf;
  std::vector<TTrafficRecord> records;
  TIspApplicationOptions options;
  options.Simulate = true;
  options.Sim.units = 0;
  options.Timing = FastTiming();
  options.TrafficObserver = [&records](const TTrafficRecord& record) { records.push_back(record); };
  TIspApplication application(std::move(options));
  hid::SimDeviceProfile device;
  device.attributes = {0x0168, 0x0821, 1};
  device.caps.InputReportByteLength = 65;
  device.name = "takes no output report";
  hid::SimulatedHidBus& bus = *application.Platform().Bus();
  const hid::SimulatedHidBus::DeviceId id = bus.Attach(device, &deaf);
  TfmIsp& isp = *application.MainWindow();
  ASSERT_TRUE(application.Loop().RunUntil(
      [&isp] { return isp.sbStatus.PanelText(1) == "Detect Run HID"; }, kEventLimit));
  application.Loop().Post([&isp] { isp.btnVersion.Click(); });
  ASSERT_TRUE(application.Loop().RunUntil([&records] { return !records.empty(); }, kEventLimit));
  EXPECT_EQ(records[0].Line, "W 00  10 02 00 01 01 10 10 03 11 ");
  EXPECT_TRUE(records[0].WriteFailed);
  application.DestroyMainWindow();
  bus.Detach(id);
}

}  // namespace
}  // namespace kv::test

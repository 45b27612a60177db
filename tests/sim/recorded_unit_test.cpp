// The recording reader and the unit it makes, driven through the simulated bus
// as the tool drives it: reports written, the replies read, a wrong write told.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <variant>

#include "hid/sim_bus.h"
#include "sim/recorded_unit.h"
#include "sim/recording.h"

namespace kv::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr const char* kHeader =
    "# kv93t-update recording 1\n# tool 1.2.0\n"
    "# images mcu-crc32=EDCAC1B4 dsp-crc32=4D620565\n# platform linux hidraw\n# pace 1\n";

std::variant<Recording, RecordingError> Parse(const std::string& text) {
  std::istringstream in(text);
  return ParseRecording(in);
}

TEST(Recording, RefusesWhatItCannotPlayAndSaysWhere) {
  struct Case {
    const char* name;
    std::string text;
    size_t line;
    const char* says;
  };
  const std::string body = "0.010 W 00  80 00\n";
  const Case cases[] = {
      {"a trace from before recordings", "0.010 W 00  80 00\n", 1, "not a recording"},
      {"another format", "# kv93t-update recording 2\n# platform linux hidraw\n", 1, "format 2"},
      {"no platform", "# kv93t-update recording 1\n" + body, 0, "no platform"},
      {"bytes that are not hex", kHeader + std::string("0.010 W 00  8G\n"), 6, "malformed W"},
      {"an unknown line", kHeader + std::string("0.010 Q 00\n"), 6, "unknown line kind"},
      {"time running back", kHeader + body + "0.009 R 00  81\n", 7, "earlier"},
      {"a line after the end", kHeader + body + "0.020 X 0 updated\n0.030 R 00  81\n", 8,
       "after the end"},
      {"an unterminated text", kHeader + std::string("0.010 M program-ok \" Program\n"), 6,
       "malformed M"},
  };
  for (const Case& c : cases) {
    const auto parsed = Parse(c.text);
    const auto* error = std::get_if<RecordingError>(&parsed);
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->line_number, c.line) << c.name;
    EXPECT_NE(error->text.find(c.says), std::string::npos) << c.name << ": " << error->text;
  }
}

TEST(Recording, ReadsEveryKindOfLineAsWritten) {
  const auto parsed = Parse(std::string(kHeader) +
                            "0.004 + 0168:0821 in=65 out=65 port=\"1-1\" node=\"/dev/hidraw3\"\r\n"
                            "0.005 W 00  10 02 00 01 01 10 10 03 11 \r\n"
                            "0.040 W 00  10 02 (write failed)\n"
                            "0.045 R 00  81 00 00 00 02 (claims 80 bytes)\n"
                            "0.050 E 71 \"Protocol error\"\n"
                            "0.051 P wait-disconnect\n"
                            "0.060 M program-ok \" Program OK !! \\\"\\\\\"\n"
                            "0.070 S \"Dsp Progrmming 0\"\n"
                            "0.071 - 0168:0821 port=\"1-1\" node=\"/dev/hidraw3\"\n"
                            "0.090 X 0 updated\n");
  ASSERT_TRUE(std::holds_alternative<Recording>(parsed)) << std::get<RecordingError>(parsed).text;
  const Recording& recording = std::get<Recording>(parsed);
  EXPECT_EQ(recording.system, "linux");
  EXPECT_EQ(recording.mcu_crc32, "EDCAC1B4");
  ASSERT_EQ(recording.lines.size(), 10u);
  const auto& lines = recording.lines;
  EXPECT_EQ(lines[0].line_number, 6u);
  EXPECT_EQ(lines[0].product_id, 0x0821);
  EXPECT_EQ(lines[0].input_bytes, 65);
  EXPECT_EQ(lines[0].node, "/dev/hidraw3");
  EXPECT_EQ(lines[1].bytes, (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11}));
  EXPECT_FALSE(lines[1].write_failed);
  EXPECT_TRUE(lines[2].write_failed);
  EXPECT_EQ(lines[3].bytes, (Bytes{0x81, 0x00, 0x00, 0x00, 0x02}));
  EXPECT_EQ(lines[4].error, 71u);
  EXPECT_EQ(lines[6].text, " Program OK !! \"\\");
  EXPECT_EQ(lines[7].text, "Dsp Progrmming 0");
  EXPECT_EQ(lines[8].kind, RecordKind::kRemoval);
  EXPECT_EQ(recording.ExitCode(), 0);
}

// The tool's side of the bus: the unit's interface opened as the controller opens it.
class Host {
 public:
  explicit Host(hid::SimulatedHidBus& bus) : bus_(bus) {}

  bool WaitForUnit() {
    const auto giveUp = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < giveUp) {
      const auto listed = bus_.EnumerateInterfaces();
      if (!listed.empty()) {
        uint32_t error = 0;
        writer_ = bus_.Open(listed[0].path, hid::HidAccess::kReadWrite, false, error);
        reader_ = bus_.Open(listed[0].path, hid::HidAccess::kReadWrite, true, error);
        return writer_ && reader_;
      }
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  bool Write(Bytes data) {
    data.resize(64, 0);
    data.insert(data.begin(), 0);
    size_t written = 0;
    return writer_->Write(data.data(), data.size(), written);
  }

  Bytes Read() {
    uint8_t buffer[65] = {};
    size_t count = 0;
    uint32_t error = 0;
    if (reader_->Read(buffer, sizeof buffer, 2000ms, count, error) !=
        hid::HidReadStatus::kCompleted) {
      return {};
    }
    return Bytes(buffer + 1, buffer + count);
  }

 private:
  hid::SimulatedHidBus& bus_;
  std::unique_ptr<hid::HidHandle> writer_;
  std::unique_ptr<hid::HidHandle> reader_;
};

TEST(RecordedUnit, AnswersAsRecordedRefusesWritesAsItLeavesAndTellsAWrongWrite) {
  const std::string recorded = std::string(kHeader) +
                               "0.000 + 0168:0904 in=65 out=65 port=\"1-1\" node=\"/dev/hidraw0\"\n"
                               "0.010 W 00  80 00 00 00 01\n"
                               "0.012 R 00  81 00 00 00 02\n"
                               "0.020 W 00  86 00 00 00 09\n"
                               "0.021 W 00  10 02 (write failed)\n"
                               "0.030 - 0168:0904 port=\"1-1\" node=\"/dev/hidraw0\"\n"
                               "0.040 X 0 updated\n";
  struct Case {
    const char* name;
    Bytes second;                   // written after the first request's reply
    bool taken;                     // whether the bus takes it
    std::optional<size_t> parted;   // the line the replay parts at
    std::optional<size_t> differs;  // the first byte that differs
  };
  const Case cases[] = {
      {"follows", {0x86, 0, 0, 0, 9}, true, std::nullopt, std::nullopt},
      {"one byte off", {0x86, 0, 0, 0, 8}, true, 9, 4},
      {"another request", {0x80, 0, 0, 0, 1}, true, 9, 0},
  };
  for (const Case& c : cases) {
    hid::SimulatedHidBus bus(hid::SimVocabulary::kLinux);
    RecordedUnit unit(bus, std::get<Recording>(Parse(recorded)), 1);
    unit.Start();
    Host host(bus);
    ASSERT_TRUE(host.WaitForUnit()) << c.name;
    ASSERT_TRUE(host.Write({0x80, 0, 0, 0, 1})) << c.name;
    EXPECT_EQ(host.Read(), (Bytes{0x81, 0, 0, 0, 2})) << c.name;
    EXPECT_EQ(host.Write(c.second), c.taken) << c.name;
    const std::optional<Divergence> parted = unit.Parted();
    ASSERT_EQ(parted.has_value(), c.parted.has_value()) << c.name;
    if (parted) {
      EXPECT_EQ(parted->line_number, *c.parted) << c.name;
      EXPECT_EQ(parted->first_difference, c.differs) << c.name;
      EXPECT_EQ(parted->expected, (Bytes{0x86, 0, 0, 0, 9})) << c.name;
      EXPECT_EQ(BytesText(*parted->written, parted->first_difference),
                c.differs == 4u ? "86 00 00 00 [08]" : "[80] 00 00 00 01")
          << c.name;
      continue;
    }
    // The unit is on its way out: the poll the recording marks failed fails, and
    // so does any other write now; nothing was left unwritten.
    EXPECT_FALSE(host.Write({0x10, 0x02})) << c.name;
    EXPECT_FALSE(host.Write({0x55})) << c.name;
    EXPECT_FALSE(unit.Parted()) << c.name;
    EXPECT_FALSE(unit.UnwrittenLine()) << c.name;
  }
}

TEST(RecordedUnit, SaysWhenItRunsOutOfRecording) {
  hid::SimulatedHidBus bus(hid::SimVocabulary::kLinux);
  // Cut after the first request: no end line.
  RecordedUnit unit(
      bus,
      std::get<Recording>(Parse(std::string(kHeader) +
                                "0.000 + 0168:0904 in=65 out=65 port=\"\" node=\"a\"\n"
                                "0.010 W 00  80 00 00 00 01\n")),
      1);
  unit.Start();
  Host host(bus);
  ASSERT_TRUE(host.WaitForUnit());
  ASSERT_TRUE(host.Write({0x80, 0, 0, 0, 1}));
  ASSERT_TRUE(host.Write({0x81}));
  const std::optional<Divergence> parted = unit.Parted();
  ASSERT_TRUE(parted);
  EXPECT_EQ(parted->line_number, 7u);
  EXPECT_NE(parted->what.find("ran out"), std::string::npos) << parted->what;
}

}  // namespace
}  // namespace kv::sim

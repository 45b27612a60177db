#include "sim/sim_options.h"

#include <gtest/gtest.h>

namespace kv::sim {
namespace {

TEST(SimOptions, AppliesEveryKey) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ApplySimOptions(
      {"start=absent", "units=3", "unit-type=0x34", "version-text=KV-93T  013", "selector=31",
       "mask=0xA5", "param-seed=4000000000", "usb-ms=0", "reply-ms=5", "erase-ms=0x10",
       "reenum-ms=7", "attach-ms=8", "cmd-ms=9", "replug-ms=never"},
      options, error))
      << error;
  EXPECT_EQ(options.start, SimStart::kAbsent);
  EXPECT_EQ(options.units, 3);
  EXPECT_EQ(options.unit_type, 0x34);
  EXPECT_EQ(options.version_text, "KV-93T  013");
  EXPECT_EQ(options.selector, 31);
  EXPECT_EQ(options.mask, 0xA5);
  EXPECT_EQ(options.param_seed, 4000000000u);
  EXPECT_EQ(options.usb_ms, 0);
  EXPECT_EQ(options.reply_ms, 5);
  EXPECT_EQ(options.erase_ms, 16);
  EXPECT_EQ(options.reenum_ms, 7);
  EXPECT_EQ(options.attach_ms, 8);
  EXPECT_EQ(options.cmd_ms, 9);
  EXPECT_EQ(options.replug_ms, -1);
}

TEST(SimOptions, VersionTextKeepsBlanksAndEqualsSigns) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ApplySimOption("version-text=A=B  ", options, error)) << error;
  EXPECT_EQ(options.version_text, "A=B  ");
  ASSERT_TRUE(ApplySimOption("version-text=", options, error)) << error;
  EXPECT_EQ(options.version_text, "");
}

TEST(SimOptions, RejectsWithAnErrorNamingTheKeyAndLeavesOptionsAlone) {
  struct Case {
    const char* setting;
    const char* named;
  };
  const Case cases[] = {
      {"colour=red", "colour"},
      {"units", "units"},
      {"units=0", "units"},
      {"units=17", "units"},
      {"units=2x", "units"},
      {"units=-1", "units"},
      {"unit-type=0x100", "unit-type"},
      {"selector=32", "selector"},
      {"mask=", "mask"},
      {"usb-ms=60001", "usb-ms"},
      {"reply-ms=0x", "reply-ms"},
      {"start=sleeping", "start"},
      {"param-seed=4294967296", "param-seed"},
      {"version-text=0123456789012345678901234567890123456789012345678901234567", "version-text"},
      {"replug-ms=soon", "replug-ms"},
  };
  for (const Case& c : cases) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(ApplySimOption(c.setting, options, error)) << c.setting;
    EXPECT_NE(error.find(c.named), std::string::npos) << c.setting << " -> " << error;
    EXPECT_EQ(options.units, SimOptions{}.units) << c.setting;
    EXPECT_EQ(options.version_text, SimOptions{}.version_text) << c.setting;
  }
}

TEST(SimOptions, ParsesFaultsWithTheirPlacesAndAmounts) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(
      ApplySimOptions({"fault=no-reply@connect", "fault=late@data:12", "fault=late=250@cmd:0x13:2",
                       "fault=short:3@param:10", "fault=oversize@dsp:813",
                       "fault=read-error:1167@cmd:0x10", "fault=garbage@sync-program"},
                      options, error))
      << error;
  ASSERT_EQ(options.faults.size(), 7u);
  EXPECT_EQ(options.faults[0].kind, FaultKind::kNoReply);
  EXPECT_EQ(options.faults[0].site, FaultSite::kConnect);
  EXPECT_EQ(options.faults[1].amount, kDefaultLateMs);
  EXPECT_EQ(options.faults[1].site, FaultSite::kData);
  EXPECT_EQ(options.faults[1].index, 12u);
  EXPECT_EQ(options.faults[2].amount, 250);
  EXPECT_EQ(options.faults[2].index, 0x13u);
  EXPECT_EQ(options.faults[2].occurrence, 2u);
  EXPECT_EQ(options.faults[3].amount, 3);
  EXPECT_EQ(options.faults[4].amount, kDefaultOversizeLength);
  EXPECT_EQ(options.faults[5].amount, 1167);
  EXPECT_EQ(options.faults[6].site, FaultSite::kSyncProgram);
  EXPECT_EQ(DescribeFault(options.faults[2]), "late:250@cmd:0x13:2");
  EXPECT_EQ(DescribeFault(options.faults[0]), "no-reply@connect");
}

TEST(SimOptions, RejectsMalformedFaults) {
  const char* bad[] = {
      "fault=no-reply",           "fault=sneeze@connect",       "fault=no-reply@moon",
      "fault=no-reply@data:",     "fault=no-reply@data:x",      "fault=unplug:5@reset",
      "fault=short:60@connect",   "fault=oversize:56@cmd:0x13", "fault=late:-1@reset",
      "fault=no-reply@cmd:0x100", "fault=no-reply@cmd:0x10:0",  "fault=no-reply@param:11",
      "fault=no-reply@dsp:2048",  "fault=no-reply@reset:1"};
  for (const char* setting : bad) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(ApplySimOption(setting, options, error)) << setting;
    EXPECT_FALSE(error.empty()) << setting;
    EXPECT_TRUE(options.faults.empty()) << setting;
  }
}

TEST(SimOptions, PaceDividesTheMinimumIntervalsAndDefaultsToOne) {
  SimOptions options;
  EXPECT_FALSE(options.pace.has_value());
  EXPECT_EQ(options.PaceDivisor(), 1);
  std::string error;
  ASSERT_TRUE(ApplySimOption("pace=20", options, error)) << error;
  EXPECT_EQ(options.PaceDivisor(), 20);
  ASSERT_TRUE(ApplySimOption("pace=1000", options, error)) << error;
  EXPECT_EQ(options.PaceDivisor(), 1000);
  for (const char* bad : {"pace=0", "pace=1001", "pace=fast", "pace="}) {
    SimOptions untouched;
    EXPECT_FALSE(ApplySimOption(bad, untouched, error)) << bad;
    EXPECT_NE(error.find("pace"), std::string::npos) << bad << " -> " << error;
    EXPECT_FALSE(untouched.pace.has_value()) << bad;
  }
}

TEST(SimOptions, StuckIsTakenOnlyAtADataPacket) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ApplySimOption("fault=stuck:7@data:17", options, error)) << error;
  ASSERT_EQ(options.faults.size(), 1u);
  EXPECT_EQ(options.faults[0].amount, 7);
  EXPECT_EQ(options.faults[0].index, 17u);
  for (const char* bad : {"fault=stuck@connect", "fault=stuck@start-program", "fault=stuck@reset",
                          "fault=stuck:3@cmd:0x53", "fault=stuck@dsp:4", "fault=stuck@param:0"}) {
    SimOptions untouched;
    EXPECT_FALSE(ApplySimOption(bad, untouched, error)) << bad;
    EXPECT_NE(error.find("only at data:K"), std::string::npos) << bad << " -> " << error;
    EXPECT_TRUE(untouched.faults.empty()) << bad;
  }
}

}  // namespace
}  // namespace kv::sim

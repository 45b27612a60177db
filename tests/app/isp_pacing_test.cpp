// The simulated unit as the judge of the tool's pace: a whole update at the
// shortened timers the tests use is clean only for a unit told that pace, and a
// unit that expects the real pace reports the same run's requests as too soon,
// although both images arrive intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine_texts.h"
#include "isp_harness.h"

namespace kv::test {
namespace {

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

sim::UnitVerdict UpdateAtTheFastTiming(sim::SimOptions unit) {
  IspHarness h(unit, FastTiming());
  EXPECT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  EXPECT_TRUE(h.WaitForBox(texts::kProgramOk)) << h.Unit().Verdict().Text();
  EXPECT_TRUE(h.WaitForRunCommand(cmdCode04));
  EXPECT_TRUE(h.exceptions.empty());
  return h.Unit().Verdict();
}

TEST(IspPacing, AUnitToldTheDividedPaceFindsTheRunCleanAndNamesThePace) {
  const sim::UnitVerdict verdict = UpdateAtTheFastTiming(FastUnit());
  EXPECT_TRUE(verdict.UpdateComplete()) << verdict.Text();
  EXPECT_EQ(verdict.pacing_violations, 0u) << verdict.Text();
  ASSERT_FALSE(verdict.lines.empty());
  EXPECT_EQ(verdict.lines.front(),
            "verdict: clean, at pace 1/10 (the boot loader's minimum intervals divided by 10)");
}

TEST(IspPacing, AUnitExpectingTheRealPaceReportsTheFastRunsRequestsAsTooSoon) {
  sim::SimOptions unit = FastUnit();
  unit.pace = 1;
  const sim::UnitVerdict verdict = UpdateAtTheFastTiming(unit);
  // Everything arrived...
  EXPECT_TRUE(verdict.firmware_programmed) << verdict.Text();
  EXPECT_TRUE(verdict.dsp_loaded) << verdict.Text();
  // ...but too fast: the tool armed 100 ms after "Start Program" instead of
  // 1000 ms, 20 ms instead of 200 ms after the last two data packets, and 2 ms
  // instead of 20 ms after the others. How many of those others are caught
  // depends on how fast the machine lets the tool go; the first data packet,
  // the last one and the reset come far too soon on any machine.
  EXPECT_FALSE(verdict.clean);
  EXPECT_EQ(verdict.lines.front(), "verdict: NOT clean");
  EXPECT_GE(verdict.pacing_violations, 3u) << verdict.Text();
  EXPECT_EQ(verdict.pacing_violations, verdict.violation_count) << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "pacing: ")) << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "after start program, sooner than its 1000.0 ms arming"))
      << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "data packet 1201 ")) << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "sooner than its 200.0 ms arming")) << verdict.Text();
}

}  // namespace
}  // namespace kv::test

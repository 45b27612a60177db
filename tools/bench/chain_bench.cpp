// One complete update at the tool's own pacing against a simulated unit that
// answers at once, in-process: from the click on "Start Program " to
// " Program OK !! ".
//
// Pacing floor: the intervals of every timer firing on the way (the window's
// TimerTally), i.e. the time the tool means to wait. Everything above it is
// overhead: the ~2,000 report round trips, timer lateness, thread hand-offs.
// Goal: overhead at most 3 % of the floor.
// CPU: user + system time of the whole process (tool and simulated unit) over
// the chain, as a share of one core. Goal: under 2 % (no busy waiting).
//
// With --cli PATH it also runs `PATH --simulate` as a child process and reports
// its peak resident memory (ru_maxrss). Goal: under 16 MB.
//
// Output: a readable report, then "figure NAME VALUE" lines for tools/bench.sh.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/isp_application.h"
#include "engine/engine_texts.h"
#include "sim/sim_options.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kChainLimit = 300s;  // the chain takes ~30 s; far beyond means a hang
constexpr auto kReadyLimit = 20s;
constexpr double kGoalOverheadPercent = 3.0;
constexpr double kGoalCpuPercent = 2.0;
constexpr double kGoalPeakMegabytes = 16.0;
// The command line's run for the memory figure: its hidden pace divisor keeps the
// run short; memory does not depend on the pace.
constexpr const char* kCliPaceDivisor = "10";

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// The unit's own delays are its own: it answers at once, so what remains above
// the timers is the tool's.
kv::sim::SimOptions InstantUnit() {
  kv::sim::SimOptions options;
  options.usb_ms = 0;
  options.reply_ms = 0;
  options.erase_ms = 0;
  options.cmd_ms = 0;
  options.reenum_ms = 1;
  return options;
}

struct ChainFigures {
  bool completed = false;
  double wallSeconds = 0;
  double floorSeconds = 0;
  double cpuSeconds = 0;
};

ChainFigures RunChain() {
  ChainFigures figures;
  kv::TIspApplicationOptions options;
  options.Simulate = true;
  options.Sim = InstantUnit();
  options.SimReportTime = 0us;
  kv::toolkit::ScriptedMessageBoxes* boxes = nullptr;
  options.CreateMessageBoxes = [&boxes](kv::toolkit::EventLoop& loop) {
    auto made = std::make_unique<kv::toolkit::ScriptedMessageBoxes>(loop);
    boxes = made.get();
    return made;
  };
  kv::TIspApplication application(std::move(options));
  kv::toolkit::EventLoop& loop = application.Loop();
  kv::TfmIsp& isp = *application.MainWindow();

  if (!loop.RunUntil([&] { return isp.HeldDevice != nullptr && isp.btnStartProgram.Enabled(); },
                     kReadyLimit)) {
    std::fprintf(stderr, "chain_bench: the simulated unit was not taken\n");
    return figures;
  }
  const double cpuBefore = CpuSeconds();
  const Clock::time_point start = Clock::now();
  loop.Post([&] { isp.btnStartProgram.Click(); });
  const bool done = loop.RunUntil([&] { return !boxes->Boxes().empty(); }, kChainLimit);
  figures.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.cpuSeconds = CpuSeconds() - cpuBefore;
  for (const kv::TTimerTally& tally : isp.TimerTally) {
    figures.floorSeconds += std::chrono::duration<double>(tally.Fired).count();
  }
  const kv::sim::SimulatedSetup& setup = *application.Platform().Setup();
  figures.completed =
      done && boxes->Boxes().front().text == kv::texts::kProgramOk && setup.Unit(0).Verdict().clean;
  if (!figures.completed) {
    std::fprintf(stderr, "chain_bench: the chain did not end in success:\n%s\n",
                 setup.VerdictText().c_str());
  }
  return figures;
}

struct ChildFigures {
  bool ran = false;
  int exitCode = -1;
  double peakMegabytes = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
};

ChildFigures RunCli(const char* path) {
  ChildFigures figures;
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child < 0) return figures;
  if (child == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      close(devNull);
    }
    execl(path, path, "--simulate", "--pace-divisor", kCliPaceDivisor, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return figures;
  figures.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.ran = true;
  figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  figures.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  figures.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return figures;
}

const char* Verdict(bool met) {
  return met ? "met" : "missed";
}

}  // namespace

int main(int argc, char** argv) {
  const char* cliPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cli") == 0 && i + 1 < argc) cliPath = argv[++i];
  }

  const ChainFigures chain = RunChain();
  if (!chain.completed) return 1;
  const double overheadPercent =
      100.0 * (chain.wallSeconds - chain.floorSeconds) / chain.floorSeconds;
  const double cpuPercent = 100.0 * chain.cpuSeconds / chain.wallSeconds;
  std::printf("full chain at the tool's pacing, unit answering at once\n");
  std::printf("  wall %.3f s, pacing floor %.3f s, overhead %.2f %% (goal <= %.1f %%): %s\n",
              chain.wallSeconds, chain.floorSeconds, overheadPercent, kGoalOverheadPercent,
              Verdict(overheadPercent <= kGoalOverheadPercent));
  std::printf("  cpu %.3f s over the chain = %.2f %% of one core (goal < %.1f %%): %s\n",
              chain.cpuSeconds, cpuPercent, kGoalCpuPercent, Verdict(cpuPercent < kGoalCpuPercent));
  std::printf(
      "figure chain_wall_s %.3f\nfigure chain_floor_s %.3f\nfigure chain_overhead_pct %.2f\n",
      chain.wallSeconds, chain.floorSeconds, overheadPercent);
  std::printf("figure chain_cpu_pct %.2f\n", cpuPercent);

  bool ok = true;
  if (cliPath != nullptr) {
    const ChildFigures cli = RunCli(cliPath);
    if (!cli.ran || cli.exitCode != 0) {
      std::fprintf(stderr, "chain_bench: %s --simulate failed (exit %d)\n", cliPath, cli.exitCode);
      ok = false;
    } else {
      std::printf("kv93t-update --simulate --pace-divisor %s: %.1f s, cpu %.2f s\n",
                  kCliPaceDivisor, cli.wallSeconds, cli.cpuSeconds);
      std::printf("  peak resident memory %.1f MB (goal < %.0f MB): %s\n", cli.peakMegabytes,
                  kGoalPeakMegabytes, Verdict(cli.peakMegabytes < kGoalPeakMegabytes));
      std::printf("figure cli_peak_rss_mb %.1f\n", cli.peakMegabytes);
    }
  }
  return ok ? 0 : 1;
}

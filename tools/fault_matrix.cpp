// fault-matrix: runs every row of the fault matrix and prints it as a table,
// each case with what the chain must end with, what it ended with and the
// verdict, followed by the totals. On POSIX systems every case runs in a process
// of its own, so that a crash or a hang is counted against its case instead of
// ending the run.
//
//   fault-matrix [--quick] [--jobs N] [--filter TEXT]
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fault_matrix.h"

#if defined(__unix__) || defined(__APPLE__)
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#define KV_MATRIX_FORKS 1
#endif

namespace {

using kv::matrix::TCaseReport;
using kv::matrix::TMatrixCase;

enum class TVerdict { kAsExpected, kNotAsExpected, kCrash, kHang };

struct TCaseResult {
  TVerdict Verdict = TVerdict::kCrash;
  std::string End;  // how the chain ended, as observed
  std::string Observed;
  std::vector<std::string> Mismatches;
  long long SettledMs = 0;
  long long DurationMs = 0;
  std::string Detail;  // crash or hang: what the process said
};

struct TOptions {
  bool Quick = false;
  int Jobs = 1;
  std::string Filter;
};

// The report of one case as lines of "key<TAB>value", for the trip from the
// case's process back to the table.
std::string Serialise(const TCaseReport& report) {
  std::string text = "end\t" + kv::matrix::Describe(report.Observed.End) + "\n";
  text += "observed\t" + kv::matrix::Describe(report.Observed) + "\n";
  text += "settled\t" + std::to_string(report.Settled.count()) + "\n";
  text += "duration\t" + std::to_string(report.Duration.count()) + "\n";
  for (const std::string& mismatch : report.Mismatches) text += "mismatch\t" + mismatch + "\n";
  if (!report.FirstViolation.empty()) text += "violation\t" + report.FirstViolation + "\n";
  return text;
}

TCaseResult Parse(const std::string& text) {
  TCaseResult result;
  result.Verdict = TVerdict::kAsExpected;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string key = line.substr(0, tab);
    const std::string value = line.substr(tab + 1);
    if (key == "end") result.End = value;
    if (key == "observed") result.Observed = value;
    if (key == "settled") result.SettledMs = std::atoll(value.c_str());
    if (key == "duration") result.DurationMs = std::atoll(value.c_str());
    if (key == "mismatch") result.Mismatches.push_back(value);
    if (key == "violation") result.Detail = "unit: " + value;
  }
  if (!result.Mismatches.empty()) result.Verdict = TVerdict::kNotAsExpected;
  return result;
}

TCaseResult RunInProcess(const TMatrixCase& matrixCase) {
  return Parse(Serialise(kv::matrix::RunCase(matrixCase)));
}

#ifdef KV_MATRIX_FORKS

// A case's process that outlives its own watchdog (stopped, or stuck where the
// watchdog cannot end it) is ended from here after this long and counted hung.
constexpr auto kChildLimit = std::chrono::seconds(120);
// How often the running cases are looked at.
constexpr auto kReapInterval = std::chrono::milliseconds(20);

struct TChild {
  size_t Index = 0;
  int Pipe = -1;
  std::chrono::steady_clock::time_point Started;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    text.append(buffer, static_cast<size_t>(count));
  }
  return text;
}

bool StartChild(const TMatrixCase& matrixCase, size_t index, std::map<pid_t, TChild>& running) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    const std::string text = Serialise(kv::matrix::RunCase(matrixCase));
    size_t written = 0;
    while (written < text.size()) {
      const ssize_t count = write(fds[1], text.data() + written, text.size() - written);
      if (count <= 0) break;
      written += static_cast<size_t>(count);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  running[pid] = {index, fds[0], std::chrono::steady_clock::now()};
  return true;
}

TCaseResult ResultOf(int status, const std::string& text) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !text.empty()) return Parse(text);
  TCaseResult result;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kv::matrix::kHangExitCode) {
    result.Verdict = TVerdict::kHang;
    result.Detail = "did not come to rest; ended by its watchdog";
  } else if (WIFSIGNALED(status)) {
    result.Verdict = TVerdict::kCrash;
    result.Detail = "ended by signal " + std::to_string(WTERMSIG(status));
  } else {
    result.Verdict = TVerdict::kCrash;
    result.Detail = "ended with exit code " +
                    std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " and no report";
  }
  return result;
}

// Collects every case that has ended; ends and counts as hung one that has run
// longer than kChildLimit. Returns how many were collected.
size_t Reap(std::map<pid_t, TChild>& running, std::vector<TCaseResult>& results) {
  size_t reaped = 0;
  for (auto child = running.begin(); child != running.end();) {
    int status = 0;
    pid_t ended = waitpid(child->first, &status, WNOHANG);
    const bool overdue = std::chrono::steady_clock::now() - child->second.Started > kChildLimit;
    if (ended == 0 && overdue) {
      kill(child->first, SIGKILL);
      ended = waitpid(child->first, &status, 0);
      results[child->second.Index].Verdict = TVerdict::kHang;
      results[child->second.Index].Detail =
          "still running after " + std::to_string(kChildLimit.count()) + " s; ended from outside";
      close(child->second.Pipe);
      child = running.erase(child);
      ++reaped;
      continue;
    }
    if (ended == 0) {
      ++child;
      continue;
    }
    const std::string text = ReadAll(child->second.Pipe);
    close(child->second.Pipe);
    results[child->second.Index] = ResultOf(status, text);
    child = running.erase(child);
    ++reaped;
  }
  return reaped;
}

// Runs the cases, `jobs` processes at a time; results in the cases' order.
std::vector<TCaseResult> RunAll(const std::vector<const TMatrixCase*>& cases, int jobs) {
  std::vector<TCaseResult> results(cases.size());
  std::map<pid_t, TChild> running;
  size_t next = 0;
  size_t done = 0;
  while (next < cases.size() || !running.empty()) {
    while (next < cases.size() && static_cast<int>(running.size()) < jobs) {
      if (!StartChild(*cases[next], next, running)) {
        results[next] = RunInProcess(*cases[next]);
        ++done;
      }
      ++next;
    }
    const size_t reaped = Reap(running, results);
    done += reaped;
    if (reaped > 0) std::fprintf(stderr, "\r%zu of %zu cases run", done, cases.size());
    if (reaped == 0) std::this_thread::sleep_for(kReapInterval);
  }
  std::fprintf(stderr, "\n");
  return results;
}

#else

std::vector<TCaseResult> RunAll(const std::vector<const TMatrixCase*>& cases, int /*jobs*/) {
  std::vector<TCaseResult> results;
  for (const TMatrixCase* matrixCase : cases) results.push_back(RunInProcess(*matrixCase));
  return results;
}

#endif

const char* VerdictName(TVerdict verdict) {
  switch (verdict) {
    case TVerdict::kAsExpected:
      return "as expected";
    case TVerdict::kNotAsExpected:
      return "NOT AS EXPECTED";
    case TVerdict::kCrash:
      return "CRASH";
    case TVerdict::kHang:
      break;
  }
  return "HANG";
}

constexpr const char* kUsage =
    "usage: fault-matrix [--quick] [--jobs N] [--filter TEXT]\n"
    "  --quick        only the representative rows\n"
    "  --jobs N       run N cases at a time (1 to 64, default 1)\n"
    "  --filter TEXT  only the cases whose name contains TEXT\n"
    "  --help         this text\n";
constexpr int kMaxJobs = 64;

enum class TParsed { kRun, kHelp, kUsageError };

bool ParseJobs(std::string_view text, int& jobs) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return error == std::errc() && end == text.data() + text.size() && jobs >= 1 && jobs <= kMaxJobs;
}

// Every word is checked: a mistyped value is refused rather than run as all cases.
TParsed ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return TParsed::kHelp;
    }
    if (arg == "--quick") {
      options.Quick = true;
    } else if (arg == "--jobs" && i + 1 < argc) {
      if (!ParseJobs(argv[++i], options.Jobs)) {
        std::fprintf(stderr, "fault-matrix: --jobs %s: expected a number from 1 to %d\n", argv[i],
                     kMaxJobs);
        return TParsed::kUsageError;
      }
    } else if (arg == "--filter" && i + 1 < argc) {
      options.Filter = argv[++i];
    } else {
      std::fprintf(stderr, "fault-matrix: unknown or incomplete option %s\n%s", argv[i], kUsage);
      return TParsed::kUsageError;
    }
  }
  return TParsed::kRun;
}

void PrintTable(const std::vector<const TMatrixCase*>& cases,
                const std::vector<TCaseResult>& results) {
  std::printf("%4s  %-34s %-16s %s\n", "#", "case", "verdict", "settled");
  for (size_t i = 0; i < cases.size(); ++i) {
    const TCaseResult& result = results[i];
    std::printf("%4zu  %-34s %-16s %5lld ms\n", i + 1, cases[i]->Name().c_str(),
                VerdictName(result.Verdict), result.SettledMs);
    std::printf("        expected: %s\n", kv::matrix::Describe(cases[i]->Expected).c_str());
    if (!result.Observed.empty()) std::printf("        observed: %s\n", result.Observed.c_str());
    for (const std::string& mismatch : result.Mismatches) {
      std::printf("        mismatch: %s\n", mismatch.c_str());
    }
    if (!result.Detail.empty()) std::printf("        %s\n", result.Detail.c_str());
  }
}

void PrintTotals(const std::vector<const TMatrixCase*>& cases,
                 const std::vector<TCaseResult>& results, std::chrono::milliseconds elapsed) {
  std::map<TVerdict, int> verdicts;
  std::map<std::string, int> ends;
  const TCaseResult* slowest = nullptr;
  size_t slowestIndex = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    ++verdicts[results[i].Verdict];
    if (!results[i].End.empty()) ++ends[results[i].End];
    if (slowest == nullptr || results[i].SettledMs > slowest->SettledMs) {
      slowest = &results[i];
      slowestIndex = i;
    }
  }
  std::printf("\nTotals\n");
  std::printf("  cases tried          %5zu\n", results.size());
  std::printf("  as expected          %5d\n", verdicts[TVerdict::kAsExpected]);
  std::printf("  not as expected      %5d\n", verdicts[TVerdict::kNotAsExpected]);
  std::printf("  crashes              %5d\n", verdicts[TVerdict::kCrash]);
  std::printf("  hangs                %5d\n", verdicts[TVerdict::kHang]);
  std::printf("  chains completed     %5d\n", ends["completed"]);
  std::printf("  chains stopped       %5d\n", ends["stopped"]);
  std::printf("  chains stalled       %5d   (waiting without limit by design; no crash)\n",
              ends["stalled"]);
  if (slowest != nullptr) {
    std::printf("  longest to rest      %5lld ms (%s)\n", slowest->SettledMs,
                cases[slowestIndex]->Name().c_str());
  }
  std::printf(
      "  run time             %5lld s\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  switch (ParseOptions(argc, argv, options)) {
    case TParsed::kHelp:
      return 0;
    case TParsed::kUsageError:
      return 2;
    case TParsed::kRun:
      break;
  }
  std::vector<const TMatrixCase*> cases;
  for (const TMatrixCase& matrixCase : kv::matrix::MatrixCases()) {
    if (options.Quick && !kv::matrix::IsRepresentative(matrixCase)) continue;
    if (!options.Filter.empty() && matrixCase.Name().find(options.Filter) == std::string::npos) {
      continue;
    }
    cases.push_back(&matrixCase);
  }
  std::printf(
      "Fault matrix of the KV-93T update tool: %zu cases. Each runs one update from the click\n"
      "on \"Start Program \" on a fresh window, bus and simulated unit (image of %u bytes; the\n"
      "window's timers at a twentieth, but the unit check's fallback at 300 ms and the data\n"
      "packets' arming at 10 ms) until the chain completes or nothing moves for %lld ms.\n\n",
      cases.size(), kv::matrix::kMatrixImageBytes,
      static_cast<long long>(kv::matrix::kDefaultQuietPeriod.count()));
  const auto start = std::chrono::steady_clock::now();
  const std::vector<TCaseResult> results = RunAll(cases, options.Jobs);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  PrintTable(cases, results);
  PrintTotals(cases, results, elapsed);
  const bool allAsExpected = std::all_of(results.begin(), results.end(), [](const auto& result) {
    return result.Verdict == TVerdict::kAsExpected;
  });
  return allAsExpected ? 0 : 1;
}

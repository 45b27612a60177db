#include "sim/unit_verdict.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "image/firmware_data.h"
#include "sim/hex_image.h"

namespace kv::sim {
namespace {

// Enough mismatching places to see the pattern, few enough to read.
constexpr size_t kMaxListedMismatches = 3;
constexpr size_t kDspHeaderBytes = 4;

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

uint32_t Be16(const std::vector<uint8_t>& bytes, size_t offset) {
  return (static_cast<uint32_t>(bytes[offset]) << 8) | bytes[offset + 1];
}

uint32_t Be32(const std::vector<uint8_t>& bytes, size_t offset) {
  return (Be16(bytes, offset) << 16) | Be16(bytes, offset + 2);
}

class Judge {
 public:
  explicit Judge(UnitVerdict& verdict) : verdict_(verdict) {}
  void Fine(std::string line) { verdict_.lines.push_back(std::move(line)); }
  void Wrong(std::string line) {
    verdict_.clean = false;
    verdict_.lines.push_back(std::move(line));
  }

 private:
  UnitVerdict& verdict_;
};

void JudgeFlash(const FlashMemory& flash, const ReferenceFirmware& reference,
                UnitVerdict& verdict) {
  Judge judge(verdict);
  if (!flash.erased) {
    judge.Fine("flash: not programmed");
    return;
  }
  if (!reference.mcu_problem.empty()) {
    judge.Wrong("flash: the expected image cannot be read (" + reference.mcu_problem + ")");
    return;
  }
  bool good = true;
  const std::vector<uint8_t>& image = reference.mcu_image;
  if (flash.start != 0) {
    judge.Wrong("flash: programmed from " + Hex(flash.start, 5) + ", expected from 0x00000");
    good = false;
  }
  if (flash.length != image.size()) {
    judge.Wrong("flash: announced length " + GroupedNumber(flash.length) + ", the image has " +
                GroupedNumber(image.size()) + " bytes");
    good = false;
  }
  if (flash.programmed < flash.length) {
    judge.Wrong("flash: only " + GroupedNumber(flash.programmed) + " of " +
                GroupedNumber(flash.length) + " announced bytes programmed");
    good = false;
  }
  size_t compared = std::min<size_t>({flash.length, image.size(), flash.bytes.size()});
  size_t mismatches = 0;
  std::string listed;
  for (size_t address = 0; address < compared; ++address) {
    if (flash.bytes[address] == image[address]) continue;
    if (mismatches < kMaxListedMismatches) {
      listed += (mismatches ? ", " : "") + Hex(static_cast<uint32_t>(address), 5) + " holds " +
                Hex(flash.bytes[address], 2) + " for " + Hex(image[address], 2);
    }
    ++mismatches;
  }
  if (mismatches > 0) {
    judge.Wrong("flash: " + GroupedNumber(mismatches) + " of " + GroupedNumber(compared) +
                " bytes differ from the image (" + listed +
                (mismatches > kMaxListedMismatches ? ", ..." : "") + ")");
    good = false;
  }
  if (good) {
    judge.Fine("flash: " + GroupedNumber(flash.length) + " bytes programmed, equal to the image");
    verdict.firmware_programmed = true;
  }
}

void JudgeDsp(const DspMemory& dsp, const ReferenceFirmware& reference, UnitVerdict& verdict) {
  Judge judge(verdict);
  if (!dsp.started) {
    judge.Fine("DSP: no download");
    return;
  }
  const std::vector<uint8_t>& memory = dsp.bytes;
  const size_t image_bytes = kDspHeaderBytes + 4 * reference.dsp_words.size();
  const int32_t last_chunk = static_cast<int32_t>(image_bytes / DspMemory::kChunkBytes);
  bool good = true;
  if (dsp.last_chunk < last_chunk) {
    judge.Wrong("DSP: download incomplete, chunks 0 to " + std::to_string(dsp.last_chunk) +
                " of 0 to " + std::to_string(last_chunk) + " received");
    good = false;
  } else if (dsp.last_chunk > last_chunk) {
    judge.Wrong("DSP: chunks up to " + std::to_string(dsp.last_chunk) +
                " received, the program ends with chunk " + std::to_string(last_chunk));
    good = false;
  }
  uint32_t header_length = Be16(memory, 0);
  if (header_length != (image_bytes & 0xFFFF)) {
    judge.Wrong("DSP: header length " + GroupedNumber(header_length) + ", expected " +
                GroupedNumber(image_bytes) + " (wrong key?)");
    good = false;
  }
  uint32_t sum = 0;
  for (size_t i = kDspHeaderBytes; i < image_bytes && i < memory.size(); ++i) sum += memory[i];
  uint32_t header_sum = Be16(memory, 2);
  if (header_sum != (sum & 0xFFFF)) {
    judge.Wrong("DSP: header sum " + Hex(header_sum, 4) + ", the program bytes add up to " +
                Hex(sum & 0xFFFF, 4));
    good = false;
  }
  size_t mismatches = 0;
  std::string listed;
  for (size_t i = 0; i < reference.dsp_words.size(); ++i) {
    uint32_t word = Be32(memory, kDspHeaderBytes + 4 * i);
    if (word == reference.dsp_words[i]) continue;
    if (mismatches < kMaxListedMismatches) {
      listed += (mismatches ? ", " : "") + std::string("word ") + std::to_string(i) + " is " +
                Hex(word, 8) + " for " + Hex(reference.dsp_words[i], 8);
    }
    ++mismatches;
  }
  if (mismatches > 0) {
    judge.Wrong("DSP: " + GroupedNumber(mismatches) + " of " +
                GroupedNumber(reference.dsp_words.size()) + " words differ from the program (" +
                listed + (mismatches > kMaxListedMismatches ? ", ..." : "") + ")");
    good = false;
  }
  size_t fill_end =
      std::min(memory.size(), static_cast<size_t>(last_chunk + 1) * DspMemory::kChunkBytes);
  bool fill_zero = std::all_of(memory.begin() + static_cast<long>(std::min(image_bytes, fill_end)),
                               memory.begin() + static_cast<long>(fill_end),
                               [](uint8_t byte) { return byte == 0; });
  if (!fill_zero) {
    judge.Wrong("DSP: the bytes after the program in its last chunk are not 0");
    good = false;
  }
  if (good) {
    judge.Fine("DSP: " + std::to_string(last_chunk + 1) + " chunks, image of " +
               GroupedNumber(image_bytes) + " bytes equal to the program");
    verdict.dsp_loaded = true;
  }
}

std::string CountLine(const char* title, const std::map<uint8_t, uint32_t>& counts) {
  std::string line = title;
  if (counts.empty()) return line + " none";
  const char* separator = " ";
  for (const auto& [code, count] : counts) {
    line += separator;
    line += Hex(code, 2);
    line += ": ";
    line += GroupedNumber(count);
    separator = ", ";
  }
  return line;
}

}  // namespace

std::string GroupedNumber(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

const ReferenceFirmware& EmbeddedReferenceFirmware() {
  static const ReferenceFirmware reference = [] {
    ReferenceFirmware built;
    HexImage image = ReadHexImage(McuHexLines, FlashMemory::kBytes);
    built.mcu_image = std::move(image.bytes);
    built.mcu_problem = std::move(image.problem);
    built.dsp_words.assign(std::begin(DspProgramWords), std::end(DspProgramWords));
    return built;
  }();
  return reference;
}

std::string UnitVerdict::Text() const {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

UnitVerdict JudgeUnit(const FlashMemory& flash, const DspMemory& dsp, const ProtocolLog& log,
                      const ReferenceFirmware& reference) {
  UnitVerdict verdict;
  verdict.run_commands = log.RunCommands();
  verdict.boot_requests = log.BootRequests();
  verdict.violation_count = log.ViolationCount();
  verdict.pacing_violations = log.PacingViolationCount();
  verdict.pace_divisor = log.PaceDivisor();
  JudgeFlash(flash, reference, verdict);
  JudgeDsp(dsp, reference, verdict);
  verdict.lines.push_back(CountLine("run-mode commands:", log.RunCommands()));
  verdict.lines.push_back(CountLine("boot-loader requests:", log.BootRequests()));
  for (const std::string& fault : log.FaultsFired()) {
    verdict.lines.push_back("fault injected: " + fault);
  }
  if (log.PacingViolationCount() > 0) {
    verdict.lines.push_back("pacing: " + GroupedNumber(log.PacingViolationCount()) +
                            " boot-loader requests sooner than the host's arming allows");
  }
  if (log.ViolationCount() == 0) {
    verdict.lines.push_back("protocol violations: none");
  } else {
    verdict.clean = false;
    verdict.lines.push_back("protocol violations: " + GroupedNumber(log.ViolationCount()));
    for (const std::string& violation : log.Violations()) {
      verdict.lines.push_back("  " + violation);
    }
    if (log.ViolationCount() > log.Violations().size()) {
      verdict.lines.push_back(
          "  ... and " + GroupedNumber(log.ViolationCount() - log.Violations().size()) + " more");
    }
  }
  std::string head = verdict.clean ? "verdict: clean" : "verdict: NOT clean";
  if (verdict.pace_divisor != 1) {
    // A run at a divided pace proves nothing about the unit's real minimum intervals.
    head += ", at pace 1/" + std::to_string(verdict.pace_divisor) +
            " (the boot loader's minimum intervals divided by " +
            std::to_string(verdict.pace_divisor) + ")";
  }
  verdict.lines.insert(verdict.lines.begin(), head);
  return verdict;
}

}  // namespace kv::sim

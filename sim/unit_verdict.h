// What the simulated unit says about what it was sent: the flash against the
// embedded microcontroller image, the DSP memory against the embedded DSP
// program, the commands it counted and the protocol violations it noticed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/unit_memory.h"

namespace kv::sim {

// The images the unit should end up holding.
struct ReferenceFirmware {
  std::vector<uint8_t> mcu_image;  // the program length's bytes from address 0
  std::vector<uint32_t> dsp_words;
  std::string mcu_problem;  // why the image could not be read; empty when it could
};

// The embedded firmware tables, read once by the unit's own Intel HEX reader
// (the flash's 0x11000 bytes as the bound) on first use.
const ReferenceFirmware& EmbeddedReferenceFirmware();

struct UnitVerdict {
  bool clean = true;                 // no violation, and nothing received differs from the images
  bool firmware_programmed = false;  // the flash holds the whole image
  bool dsp_loaded = false;           // the DSP memory holds the whole program
  std::vector<std::string> lines;    // readable, one finding per line
  std::map<uint8_t, uint32_t> run_commands;
  std::map<uint8_t, uint32_t> boot_requests;
  uint64_t violation_count = 0;
  uint64_t pacing_violations = 0;  // requests sooner than the boot loader's minimum interval
  int pace_divisor = 1;            // the minimum intervals were divided by this

  // A whole update went through: both images in place, nothing wrong on the way.
  bool UpdateComplete() const { return clean && firmware_programmed && dsp_loaded; }
  std::string Text() const;  // the lines, one per line
};

UnitVerdict JudgeUnit(const FlashMemory& flash, const DspMemory& dsp, const ProtocolLog& log,
                      const ReferenceFirmware& reference = EmbeddedReferenceFirmware());

// 67324 -> "67,324": figures as people read them.
std::string GroupedNumber(uint64_t value);

}  // namespace kv::sim

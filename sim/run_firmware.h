// The unit's application firmware (run mode): it answers each framed command with
// a frame carrying the command's code, keeps the DSP program it is sent, unmasked
// with the key from its own parameter block, and notes every frame it rejects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/parameter_block.h"
#include "sim/unit_memory.h"

namespace kv::sim {

// Identify answer after the unit type, and the payload of every acknowledgement.
inline constexpr uint8_t kHardwareRevision = 0x01;
inline constexpr uint8_t kAckOk = 0x00;
// The output report the firmware expects: report ID 0 and 64 data bytes.
inline constexpr size_t kRunReportBytes = 65;
// A DSP chunk command: chunk index (high byte first) and 32 masked bytes.
inline constexpr size_t kDspChunkPayloadBytes = 2 + DspMemory::kChunkBytes;

struct RunAnswer {
  bool valid = false;  // a well-formed frame: faults may match it
  uint8_t code = 0;
  uint32_t occurrence = 0;  // how many valid frames with this code so far, this one included
  int param_piece = -1;     // 0xA8: the piece asked for
  int dsp_chunk = -1;       // 0x53: the chunk carried
  bool answered = false;
  std::vector<uint8_t> payload;  // the answer frame's payload
  bool enters_update = false;    // 0x08: the unit leaves run mode after the answer
};

class RunFirmware {
 public:
  RunFirmware(uint8_t unit_type, std::string version_text, const ParameterBlock& parameters);

  // `report` is the output report as written: report ID first.
  RunAnswer Handle(const uint8_t* report, size_t count, DspMemory& dsp, ProtocolLog& log) const;

  uint32_t Key() const { return key_; }

 private:
  void ExpectPayload(uint8_t code, const std::vector<uint8_t>& payload, size_t expected,
                     ProtocolLog& log) const;
  void StoreDspChunk(const std::vector<uint8_t>& payload, RunAnswer& answer, DspMemory& dsp,
                     ProtocolLog& log) const;

  uint8_t unit_type_;
  std::string version_text_;
  ParameterBlock parameters_;
  uint32_t key_;
};

}  // namespace kv::sim

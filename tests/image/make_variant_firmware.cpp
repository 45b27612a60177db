// Writes a second valid firmware pair from the embedded files: the same record
// layout (what the tool relies on), other bytes. The initial stack pointer moves
// out of 0x200xxxxx, every other application byte but the reset vector is
// changed, and every DSP word too, so that a build with these files shows that
// nothing but the stand-in's own facts depended on the stand-in's bytes.
//
//   make_variant_firmware <app.hex> <dsp.txt> <output directory>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kByteChange = 0xA5;
constexpr uint32_t kWordChange = 0x0F0F0F0F;
// The variant's initial stack pointer (little-endian at address 0).
constexpr uint8_t kStackPointer[4] = {0x00, 0x80, 0x00, 0x10};  // 0x10008000
constexpr uint32_t kResetVectorEnd = 8;                         // bytes 4 to 7 kept

unsigned HexByte(const std::string& line, size_t at) {
  return static_cast<unsigned>(std::stoul(line.substr(at, 2), nullptr, 16));
}

std::string Record(unsigned count, unsigned offset, unsigned type,
                   const std::vector<uint8_t>& data) {
  unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
  char field[16];
  std::snprintf(field, sizeof field, ":%02X%04X%02X", count, offset, type);
  std::string record = field;
  for (uint8_t byte : data) {
    std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(byte));
    record += field;
    sum += byte;
  }
  std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return record + field;
}

bool VaryApplication(const std::string& in, const std::string& out) {
  std::ifstream input(in);
  std::ofstream output(out);
  if (!input || !output) return false;
  std::string line;
  uint32_t upper = 0;
  while (std::getline(input, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 11 || line[0] != ':') return false;
    const unsigned count = HexByte(line, 1);
    const unsigned offset = HexByte(line, 3) << 8 | HexByte(line, 5);
    const unsigned type = HexByte(line, 7);
    if (type == 4) upper = HexByte(line, 9) << 8 | HexByte(line, 11);
    if (type != 0) {
      output << line << "\r\n";
      continue;
    }
    std::vector<uint8_t> data;
    for (unsigned i = 0; i < count; ++i) {
      const uint32_t address = (upper << 16) + offset + i;
      const auto byte = static_cast<uint8_t>(HexByte(line, 9 + 2 * i));
      if (address < 4) {
        data.push_back(kStackPointer[address]);
      } else if (address < kResetVectorEnd) {
        data.push_back(byte);
      } else {
        data.push_back(static_cast<uint8_t>(byte ^ kByteChange));
      }
    }
    output << Record(count, offset, type, data) << "\r\n";
  }
  return static_cast<bool>(output);
}

bool VaryDsp(const std::string& in, const std::string& out) {
  std::ifstream input(in);
  std::ofstream output(out);
  if (!input || !output) return false;
  output << "# A second DSP program for the drop-in check: the stand-in's words, changed.\n";
  std::string line;
  while (std::getline(input, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word;
    std::string varied;
    while (words >> word) {
      const auto value = static_cast<uint32_t>(std::stoul(word, nullptr, 16)) ^ kWordChange;
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
      varied += (varied.empty() ? "" : " ") + std::string(text);
    }
    output << varied << "\n";
  }
  return static_cast<bool>(output);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: make_variant_firmware <app.hex> <dsp.txt> <output directory>\n";
    return 2;
  }
  const std::string directory = argv[3];
  if (!VaryApplication(argv[1], directory + "/kv93t-app.hex") ||
      !VaryDsp(argv[2], directory + "/kv93t-dsp.txt")) {
    std::cerr << "make_variant_firmware: cannot read or write the files\n";
    return 1;
  }
  return 0;
}

// Writes the stand-in firmware that the tool embeds until the unit's real files are
// dropped into image/firmware/: an Intel HEX application image for the Cortex-M
// microcontroller (kv93t-app.hex) and the DSP program as a word list (kv93t-dsp.txt).
// The output depends on nothing but this file, so regenerating it gives the same bytes.
//
//   make_standin_firmware <output directory>
//
// The application image has the record layout of the real one: an 04 record for
// upper address 0, 4,096 records of 16 bytes from 0x0000, an 04 record for 0x0001,
// 111 records of 16 bytes and one of 4 up to 0x106F3, a second 04 record for 0x0001,
// an 8-byte signature record at 0x10DF8, the 05 start record and the 01 end record.
// Its bytes form a vector table, Thumb code with literal pools, and constant data.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kGaplessEnd = 0x106F4;  // end of the run that starts at address 0
constexpr uint32_t kSignatureAddress = 0x10DF8;
constexpr uint32_t kInitialStackPointer = 0x20001000;
constexpr uint32_t kVectorCount = 48;  // 16 system vectors and 32 interrupts
constexpr uint32_t kResetHandlerAddress = kVectorCount * 4;
constexpr uint32_t kCodeRegionEnd = 0xE000;
constexpr size_t kDspWordCount = 6510;
constexpr uint32_t kThumbBit = 1;

// Deterministic generator (xorshift32); the seed fixes the output for good.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  uint32_t Below(uint32_t limit) { return Next() % limit; }

 private:
  uint32_t state_;
};

class ImageWriter {
 public:
  explicit ImageWriter(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint32_t Position() const { return static_cast<uint32_t>(bytes_.size()); }
  void Half(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
  }
  void Word(uint32_t value) {
    Half(static_cast<uint16_t>(value));
    Half(static_cast<uint16_t>(value >> 16));
  }
  void PatchHalf(uint32_t at, uint16_t value) {
    bytes_[at] = static_cast<uint8_t>(value);
    bytes_[at + 1] = static_cast<uint8_t>(value >> 8);
  }
  void AlignWithNops() {
    while (Position() % 4 != 0) Half(0xBF00);  // NOP
  }
  void Byte(uint8_t value) { bytes_.push_back(value); }

 private:
  std::vector<uint8_t>& bytes_;
};

uint16_t BranchToSelf() {
  return 0xE7FE;
}

// Thumb BL from `from` to `to`: two halfwords, 22-bit signed half-word offset.
std::array<uint16_t, 2> BranchWithLink(uint32_t from, uint32_t to) {
  const int32_t offset = static_cast<int32_t>(to) - static_cast<int32_t>(from + 4);
  const uint32_t bits = static_cast<uint32_t>(offset);
  return {static_cast<uint16_t>(0xF000 | ((bits >> 12) & 0x7FF)),
          static_cast<uint16_t>(0xF800 | ((bits >> 1) & 0x7FF))};
}

uint16_t RandomAluInstruction(Random& random) {
  const uint16_t rd = static_cast<uint16_t>(random.Below(8));
  const uint16_t rn = static_cast<uint16_t>(random.Below(8));
  const uint16_t rm = static_cast<uint16_t>(random.Below(8));
  const uint16_t imm8 = static_cast<uint16_t>(random.Below(256));
  const uint16_t imm5 = static_cast<uint16_t>(random.Below(32));
  switch (random.Below(12)) {
    case 0:
      return 0x2000 | rd << 8 | imm8;  // MOVS rd, #imm8
    case 1:
      return 0x2800 | rn << 8 | imm8;  // CMP rn, #imm8
    case 2:
      return 0x3000 | rd << 8 | (imm8 & 0x3F);  // ADDS rd, #imm8
    case 3:
      return 0x3800 | rd << 8 | (imm8 & 0x1F);  // SUBS rd, #imm8
    case 4:
      return 0x6800 | imm5 << 6 | rn << 3 | rd;  // LDR rd, [rn, #imm5*4]
    case 5:
      return 0x6000 | imm5 << 6 | rn << 3 | rd;  // STR rd, [rn, #imm5*4]
    case 6:
      return 0x7800 | imm5 << 6 | rn << 3 | rd;  // LDRB rd, [rn, #imm5]
    case 7:
      return 0x7000 | imm5 << 6 | rn << 3 | rd;  // STRB rd, [rn, #imm5]
    case 8:
      return 0x1800 | rm << 6 | rn << 3 | rd;  // ADDS rd, rn, rm
    case 9:
      return 0x0000 | (imm5 | 1) << 6 | rm << 3 | rd;  // LSLS rd, rm, #imm5
    case 10:
      return 0x4300 | rm << 3 | rd;  // ORRS rd, rm
    default:
      return 0x4000 | rm << 3 | rd;  // ANDS rd, rm
  }
}

// One function: PUSH, a body with literal loads, short branches and calls to
// functions written before it, POP, then its literal pool.
void WriteFunction(ImageWriter& out, Random& random, const std::vector<uint32_t>& functions) {
  out.Half(0xB5F0);  // PUSH {r4-r7, lr}
  const uint32_t bodyLength = 8 + random.Below(72);
  const uint32_t poolLength = 1 + random.Below(6);
  std::vector<std::pair<uint32_t, uint32_t>> literalLoads;  // instruction address, pool slot
  const uint32_t bodyStart = out.Position();
  for (uint32_t i = 0; i < bodyLength; ++i) {
    const uint32_t roll = random.Below(16);
    if (roll == 0 && !functions.empty()) {
      const auto call = BranchWithLink(
          out.Position(), functions[random.Below(static_cast<uint32_t>(functions.size()))]);
      out.Half(call[0]);
      out.Half(call[1]);
    } else if (roll <= 2) {
      literalLoads.emplace_back(out.Position(), random.Below(poolLength));
      out.Half(static_cast<uint16_t>(0x4800 | random.Below(8) << 8));  // LDR rd, [pc, #..]
    } else if (roll == 3 && out.Position() > bodyStart + 8) {
      const uint16_t condition = static_cast<uint16_t>(random.Below(14));
      const uint16_t back = static_cast<uint16_t>(-static_cast<int>(2 + random.Below(3)) & 0xFF);
      out.Half(0xD000 | condition << 8 | back);  // Bcc backwards: a loop
    } else {
      out.Half(RandomAluInstruction(random));
    }
  }
  out.Half(0xBDF0);  // POP {r4-r7, pc}
  out.AlignWithNops();
  const uint32_t poolStart = out.Position();
  for (const auto& [address, slot] : literalLoads) {
    const uint32_t base = (address + 4) & ~3u;
    const uint32_t words = (poolStart + 4 * slot - base) / 4;
    const uint16_t instruction = static_cast<uint16_t>(0x4800 | (random.Below(8) << 8) | words);
    out.PatchHalf(address, instruction);
  }
  for (uint32_t slot = 0; slot < poolLength; ++slot) {
    switch (random.Below(3)) {
      case 0:
        out.Word(0x20000000 + 4 * random.Below(0x400));
        break;  // SRAM variable
      case 1:
        out.Word(0x40000000 + 4 * random.Below(0x8000));
        break;  // peripheral register
      default:
        out.Word(random.Next() & 0xFFFF);
        break;  // constant
    }
  }
}

void WriteResetHandler(ImageWriter& out, uint32_t mainAddress) {
  // Copy the initialised data to SRAM, then call main and stay there.
  out.Half(0x4805);  // LDR r0, =data load address
  out.Half(0x4906);  // LDR r1, =data start
  out.Half(0x4A06);  // LDR r2, =data end
  out.Half(0x4291);  // loop: CMP r1, r2
  out.Half(0xD202);  // BCS done
  out.Half(0xC808);  // LDMIA r0!, {r3}
  out.Half(0xC108);  // STMIA r1!, {r3}
  out.Half(0xE7FA);  // B loop
  const auto call = BranchWithLink(out.Position(), mainAddress);
  out.Half(call[0]);  // done: BL main
  out.Half(call[1]);
  out.Half(BranchToSelf());
  out.AlignWithNops();
  out.Word(0x0000E000);  // data load address
  out.Word(0x20000000);  // data start
  out.Word(0x20000200);  // data end
}

std::vector<uint8_t> BuildApplicationImage() {
  std::vector<uint8_t> bytes;
  ImageWriter out(bytes);
  Random random(0x4B563933);
  const uint32_t defaultHandler = kResetHandlerAddress + 0x24;
  const uint32_t mainAddress = defaultHandler + 4;

  out.Word(kInitialStackPointer);
  out.Word(kResetHandlerAddress | kThumbBit);
  for (uint32_t vector = 2; vector < kVectorCount; ++vector) {
    const bool reserved = (vector >= 7 && vector <= 10) || vector == 13;
    out.Word(reserved ? 0 : (defaultHandler | kThumbBit));
  }
  WriteResetHandler(out, mainAddress);
  out.Half(BranchToSelf());  // default handler
  out.Half(BranchToSelf());
  std::vector<uint32_t> functions;
  while (out.Position() < kCodeRegionEnd) {
    functions.push_back(out.Position());
    WriteFunction(out, random, functions);
  }
  for (const char* text : {"KV-93T", "APP V1.20", "DSP LOAD", "PARAM", "USB HID"}) {
    for (const char* c = text; *c != '\0'; ++c) out.Byte(static_cast<uint8_t>(*c));
    out.Byte(0);
  }
  out.AlignWithNops();
  for (uint32_t n = 0; n < 256; ++n) {  // CRC-32 table
    uint32_t crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    out.Word(crc);
  }
  for (uint32_t n = 0; out.Position() < kGaplessEnd; ++n) {  // a ramp table of 16-bit steps
    out.Half(static_cast<uint16_t>((n * 0x0123) ^ (n >> 3)));
  }
  bytes.resize(kGaplessEnd);
  return bytes;
}

std::string HexRecord(uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
  std::string line = ":";
  uint8_t sum = 0;
  char digits[3];
  auto put = [&](uint8_t byte) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
    sum = static_cast<uint8_t>(sum + byte);
  };
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset));
  put(type);
  for (size_t i = 0; i < count; ++i) put(data[i]);
  std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(-sum));
  line += digits;
  return line;
}

std::string UpperAddressRecord(uint16_t upper) {
  const uint8_t data[] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
  return HexRecord(0x04, 0, data, sizeof data);
}

void WriteDataRecords(std::vector<std::string>& lines, const std::vector<uint8_t>& image,
                      uint32_t begin, uint32_t end) {
  for (uint32_t address = begin; address < end; address += 16) {
    const size_t count = std::min<uint32_t>(16, end - address);
    lines.push_back(HexRecord(0x00, static_cast<uint16_t>(address), &image[address], count));
  }
}

std::vector<std::string> BuildHexLines(const std::vector<uint8_t>& image) {
  std::vector<std::string> lines;
  lines.push_back(UpperAddressRecord(0x0000));
  WriteDataRecords(lines, image, 0x00000, 0x10000);
  lines.push_back(UpperAddressRecord(0x0001));
  WriteDataRecords(lines, image, 0x10000, kGaplessEnd);
  lines.push_back(UpperAddressRecord(0x0001));
  // Signature: model tag, application version 1.20, 16-bit sum of the gapless run.
  uint16_t sum = 0;
  for (uint8_t byte : image) sum = static_cast<uint16_t>(sum + byte);
  const uint8_t signature[] = {
      'K', 'V', '9', '3', 0x01, 0x20, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
  lines.push_back(HexRecord(0x00, static_cast<uint16_t>(kSignatureAddress), signature, 8));
  const uint32_t entry = image[4] | image[5] << 8 | image[6] << 16 | uint32_t{image[7]} << 24;
  const uint8_t start[] = {static_cast<uint8_t>(entry >> 24), static_cast<uint8_t>(entry >> 16),
                           static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)};
  lines.push_back(HexRecord(0x05, 0, start, sizeof start));
  lines.push_back(HexRecord(0x01, 0, nullptr, 0));
  return lines;
}

// DSP words: 24-bit instruction fields under an 8-bit opcode drawn from a small set.
std::vector<uint32_t> BuildDspWords() {
  static constexpr uint8_t kOpcodes[] = {0x00, 0x0C, 0x12, 0x18, 0x20, 0x21, 0x40, 0x41,
                                         0x44, 0x60, 0x61, 0x80, 0x88, 0xA0, 0xC0, 0xE0};
  Random random(0x44535032);
  std::vector<uint32_t> words;
  words.reserve(kDspWordCount);
  for (size_t i = 0; i < kDspWordCount; ++i) {
    const uint32_t opcode = kOpcodes[random.Below(sizeof kOpcodes)];
    words.push_back(opcode << 24 | (random.Next() & 0x00FFFFFF));
  }
  return words;
}

bool WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  file.close();
  if (!file) std::cerr << "cannot write " << path.string() << "\n";
  return static_cast<bool>(file);
}

std::string DspText(const std::vector<uint32_t>& words) {
  std::string text =
      "# KV-93T DSP program, stand-in data. One 32-bit word per 0x literal, in download\n"
      "# order; lines starting with # are ignored.\n";
  char word[16];
  for (size_t i = 0; i < words.size(); ++i) {
    std::snprintf(word, sizeof word, "0x%08X", words[i]);
    text += word;
    text += (i % 8 == 7 || i + 1 == words.size()) ? "\n" : " ";
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_standin_firmware <output directory>\n";
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::string hex;
  for (const std::string& line : BuildHexLines(BuildApplicationImage())) hex += line + "\n";
  const bool written = WriteText(directory / "kv93t-app.hex", hex) &&
                       WriteText(directory / "kv93t-dsp.txt", DspText(BuildDspWords()));
  return written ? 0 : 1;
}

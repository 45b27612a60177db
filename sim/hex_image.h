// The unit's own reading of an Intel HEX application image, to know what its
// flash should hold after an update. It follows the tool's documented rules for
// the image (records placed by address, the program length being the sum of the
// stored data records' byte counts, 02 and 04 records setting the upper address,
// other types skipped, the end-of-file record ending it) but shares no code with
// the tool, so that a fault in the tool's parse shows up as a flash that differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kv::sim {

struct HexImage {
  bool complete = false;  // the end-of-file record was reached without an error
  std::string problem;    // why not, naming the line (1 up)
  // Bytes 0 to the program length - 1 as the flash should hold them; bytes that
  // no record fills read as 0, as they do in the host's image buffer.
  std::vector<uint8_t> bytes;
};

// Reads the records in order. `bound` is the highest address + 1 a record may
// reach; a record beyond it, a malformed record or a wrong data-record checksum
// ends the reading with a problem.
HexImage ReadHexImage(std::span<const char* const> lines, uint32_t bound);

}  // namespace kv::sim

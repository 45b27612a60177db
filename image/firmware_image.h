// The image buffer in which the firmware to be sent is prepared: the microcontroller
// image before an MCU update, the DSP image before a DSP download. Whichever was
// prepared last is in it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv {

inline constexpr size_t kImageBufferBytes = 71680;  // 70 KiB

class FirmwareImage {
 public:
  // Byte k is the image byte for device address k.
  std::array<uint8_t, kImageBufferBytes> ImageBuffer{};
  // How many bytes from the start of ImageBuffer form the prepared image.
  int32_t ImageByteCount = 0;
};

}  // namespace kv

// The build-up of responses from received bytes, without threads, locks or
// timers: bytes go in one at a time, complete responses come out. The link's
// worker drives one; a fuzz target drives one directly.
//
// The shape of the response expected follows the latest command submitted, not
// the command being answered: a run-mode frame, complete at L + 8 bytes, with
// anything before its DLE STX start dropped; or a raw boot-loader report,
// complete at 64 bytes. The checksum of a frame is not examined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/byte_buffer.h"

namespace kv {

enum class TResponseShape : uint8_t {
  kFrame,      // a run-mode frame
  kRawReport,  // the 64 bytes of a boot-loader report
};

class TResponseAssembler {
 public:
  // A command with the frame shape (and at least the bytes that hold its L) is
  // answered by a frame; anything else by a raw report.
  static TResponseShape ShapeAnswering(const uint8_t* command, size_t count);
  static TResponseShape ShapeAnswering(const ByteBuffer& command);

  TResponseAssembler();

  // Applies to the next byte taken; a partial response is kept and built on.
  void Expect(TResponseShape shape) { FShape = shape; }
  TResponseShape Expected() const { return FShape; }

  // Takes one received byte. True when it completes a response: Response() then
  // holds it until the next Take, which starts a new one.
  bool Take(uint8_t byte);

  // The response being built, or the complete one just after Take returned true.
  const ByteBuffer& Response() const { return FResponse; }

 private:
  bool TakeIntoFrame(uint8_t byte);
  bool TakeIntoRawReport(uint8_t byte);

  TResponseShape FShape = TResponseShape::kFrame;
  ByteBuffer FResponse;
  bool FComplete = false;
};

}  // namespace kv

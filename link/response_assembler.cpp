#include "link/response_assembler.h"

#include "link/lcmd.h"

namespace kv {

namespace {

// A frame can declare at most L = 255; nothing longer is ever built.
constexpr size_t kLongestFrameBytes = FrameBytesForLength(0xFF);

}  // namespace

TResponseShape TResponseAssembler::ShapeAnswering(const uint8_t* command, size_t count) {
  if (count >= kFrameHeadBytes && HasFrameShape(command, count)) return TResponseShape::kFrame;
  return TResponseShape::kRawReport;
}

TResponseShape TResponseAssembler::ShapeAnswering(const ByteBuffer& command) {
  return ShapeAnswering(command.data(), command.size());
}

TResponseAssembler::TResponseAssembler() {
  // The largest thing a frame can declare: no allocation on the receive path.
  FResponse.reserve(kLongestFrameBytes);
}

bool TResponseAssembler::Take(uint8_t byte) {
  if (FComplete) {
    FResponse.clear();
    FComplete = false;
  }
  FComplete = FShape == TResponseShape::kFrame ? TakeIntoFrame(byte) : TakeIntoRawReport(byte);
  return FComplete;
}

bool TResponseAssembler::TakeIntoRawReport(uint8_t byte) {
  FResponse.push_back(byte);
  // "Or more": bytes gathered under frame rules before the shape changed count too.
  return FResponse.size() >= kReportDataBytes;
}

bool TResponseAssembler::TakeIntoFrame(uint8_t byte) {
  // Bytes gathered as a raw report before the shape changed can be past the
  // length their byte 4 declares: such a frame could never complete and would
  // grow without end, so it is given up and this byte looks for a new start.
  if (FResponse.size() >= kFrameHeadBytes &&
      FResponse.size() >= FrameBytesForLength(FResponse[kFrameLengthOffset])) {
    FResponse.clear();
  }
  // Bytes ahead of the DLE STX start are noise.
  if (FResponse.empty() && byte != frDle) return false;
  if (FResponse.size() == 1 && byte != frStx) return false;
  FResponse.push_back(byte);
  return FResponse.size() >= kFrameHeadBytes &&
         FResponse.size() == FrameBytesForLength(FResponse[kFrameLengthOffset]);
}

}  // namespace kv

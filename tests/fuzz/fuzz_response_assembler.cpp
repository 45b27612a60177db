// The response build-up on its own: TResponseAssembler, driven straight from the
// input, no link, no thread, no loop. Every byte's outcome is compared with a
// model of the build-up rules written out here.
//
// Input: a sequence of chunks. A chunk byte with the top bit set switches the
// shape expected (bit 0: 1 raw report, 0 frame), as a submission would; one with
// the top bit clear is followed by (its low 7 bits + 1) received bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "link/lcmd.h"
#include "link/response_assembler.h"

namespace {

using kv::ByteBuffer;
using kv::TResponseShape;
using kv::fuzz::InputReader;

constexpr uint8_t kShapeChunk = 0x80;
constexpr uint8_t kRawShapeBit = 0x01;
constexpr uint8_t kByteCountMask = 0x7F;
// The most a frame can declare, L = 255, plus one byte taken after a switch to
// raw-report rules.
constexpr size_t kLongestResponse = 255 + kv::kFrameOverheadBytes + 1;

// The rules, one byte at a time.
class TBuildUpModel {
 public:
  void Expect(TResponseShape shape) { framed_ = shape == TResponseShape::kFrame; }

  bool Take(uint8_t byte) {
    if (complete_) {
      response_.clear();
      complete_ = false;
    }
    if (!framed_) {
      response_.push_back(byte);
      complete_ = response_.size() >= kv::kReportDataBytes;
      return complete_;
    }
    if (response_.size() >= kv::kFrameHeadBytes && response_.size() >= DeclaredSize()) {
      response_.clear();  // can never end as a frame
    }
    if (response_.empty() && byte != kv::frDle) return false;
    if (response_.size() == 1 && byte != kv::frStx) return false;
    response_.push_back(byte);
    complete_ = response_.size() >= kv::kFrameHeadBytes && response_.size() == DeclaredSize();
    return complete_;
  }

  const ByteBuffer& Response() const { return response_; }

 private:
  size_t DeclaredSize() const { return kv::FrameBytesForLength(response_[kv::kFrameLengthOffset]); }

  bool framed_ = true;
  bool complete_ = false;
  ByteBuffer response_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input(data, size);
  kv::TResponseAssembler assembler;
  TBuildUpModel model;
  while (!input.Empty()) {
    const uint8_t chunk = input.Byte();
    if ((chunk & kShapeChunk) != 0) {
      const TResponseShape shape =
          (chunk & kRawShapeBit) != 0 ? TResponseShape::kRawReport : TResponseShape::kFrame;
      assembler.Expect(shape);
      model.Expect(shape);
      continue;
    }
    for (const uint8_t byte : input.Bytes((chunk & kByteCountMask) + 1u)) {
      const bool complete = assembler.Take(byte);
      KV_FUZZ_REQUIRE(complete == model.Take(byte));
      // The sizes after every byte, the bytes themselves once complete: a partial
      // response that went wrong shows when it ends (or at the end of the input).
      KV_FUZZ_REQUIRE(assembler.Response().size() == model.Response().size());
      KV_FUZZ_REQUIRE(assembler.Response().size() <= kLongestResponse);
      if (!complete) continue;
      KV_FUZZ_REQUIRE(assembler.Response() == model.Response());
      if (assembler.Expected() != TResponseShape::kFrame) continue;
      // A frame ends where its L says, whatever was gathered before a shape change.
      const ByteBuffer& frame = assembler.Response();
      KV_FUZZ_REQUIRE(frame.size() == frame[kv::kFrameLengthOffset] + kv::kFrameOverheadBytes);
    }
  }
  KV_FUZZ_REQUIRE(assembler.Response() == model.Response());
  return 0;
}

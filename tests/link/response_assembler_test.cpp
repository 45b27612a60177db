#include "link/response_assembler.h"

#include <gtest/gtest.h>

#include <vector>

namespace kv {
namespace {

// Feeds the bytes one at a time; returns every complete response, in order.
std::vector<ByteBuffer> TakeAll(TResponseAssembler& assembler, const ByteBuffer& bytes) {
  std::vector<ByteBuffer> complete;
  for (uint8_t byte : bytes) {
    if (assembler.Take(byte)) complete.push_back(assembler.Response());
  }
  return complete;
}

// `count` bytes of `fill` that start with `header`.
ByteBuffer FilledWithHeader(size_t count, std::initializer_list<uint8_t> header, uint8_t fill) {
  ByteBuffer bytes(count, fill);
  size_t index = 0;
  for (uint8_t byte : header) bytes[index++] = byte;
  return bytes;
}

ByteBuffer Counting(size_t count, uint8_t first = 0) {
  ByteBuffer bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

TEST(ResponseAssemblerShape, FrameCommandsAreAnsweredByFramesEverythingElseByRawReports) {
  // cmdIdentify and cmdReadParameter for block 0, as framed for the unit.
  EXPECT_EQ(
      TResponseAssembler::ShapeAnswering({0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11}),
      TResponseShape::kFrame);
  EXPECT_EQ(TResponseAssembler::ShapeAnswering(
                {0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x00, 0x10, 0x03, 0xAA}),
            TResponseShape::kFrame);
  // A boot-loader request: no DLE STX start.
  ByteBuffer request(64);
  request[0] = 0x80;
  EXPECT_EQ(TResponseAssembler::ShapeAnswering(request), TResponseShape::kRawReport);
  // Fewer than five bytes never have the frame shape, even with its four marks.
  EXPECT_EQ(TResponseAssembler::ShapeAnswering({0x10, 0x02, 0x10, 0x03}),
            TResponseShape::kRawReport);
  EXPECT_EQ(TResponseAssembler::ShapeAnswering({0x10, 0x02, 0x10, 0x03, 0x00}),
            TResponseShape::kFrame);
  // Trailer missing: DLE STX at the start alone is not enough.
  EXPECT_EQ(
      TResponseAssembler::ShapeAnswering({0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x04, 0x11}),
      TResponseShape::kRawReport);
}

TEST(ResponseAssemblerFrame, DeliveredAtLengthPlusEightWithNoiseAheadDropped) {
  TResponseAssembler assembler;  // a frame is expected before any command says otherwise
  const ByteBuffer answer{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x33, 0x10, 0x03, 0x77};
  ByteBuffer received{0x55};
  received.append(answer.data(), answer.size());

  for (size_t i = 0; i + 1 < received.size(); ++i) {
    EXPECT_FALSE(assembler.Take(received[i])) << "byte " << i;
  }
  EXPECT_TRUE(assembler.Take(received[received.size() - 1]));  // the 10th byte of the frame
  EXPECT_EQ(assembler.Response(), answer);
}

TEST(ResponseAssemblerFrame, StartIsDleThenStxAndTheChecksumIsNotExamined) {
  TResponseAssembler assembler;
  // A second DLE where STX belongs is dropped, as is any byte there but STX.
  const std::vector<ByteBuffer> complete =
      TakeAll(assembler, {0x10, 0x10, 0x41, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0xEE, 0x02});
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(complete[0], ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0xEE}));
  // The trailing 02 after the frame had no DLE before it: dropped, nothing held.
  EXPECT_TRUE(assembler.Response().empty());
}

TEST(ResponseAssemblerFrame, LengthZeroAndLengthTwoFiftyFiveBoundTheFrame) {
  TResponseAssembler assembler;
  std::vector<ByteBuffer> complete =
      TakeAll(assembler, {0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x03, 0x12});
  ASSERT_EQ(complete.size(), 1u);  // L = 0: 8 bytes in all
  EXPECT_EQ(complete[0].size(), 8u);

  // Built as a filled buffer with its header written in (GCC 12 at -O3 warns
  // falsely on growing a five-byte braced buffer).
  ByteBuffer longest = FilledWithHeader(263, {0x10, 0x02, 0x01, 0x00, 0xFF}, 0x44);
  complete = TakeAll(assembler, longest);
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(complete[0], longest);
}

TEST(ResponseAssemblerFrame, BackToBackFramesInOneReportAreDeliveredOneByOne) {
  TResponseAssembler assembler;
  const ByteBuffer first{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x33, 0x10, 0x03, 0x77};
  const ByteBuffer second{0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x13};
  ByteBuffer report = first;
  report.append(second.data(), second.size());
  EXPECT_EQ(TakeAll(assembler, report), (std::vector<ByteBuffer>{first, second}));
}

TEST(ResponseAssemblerRaw, DeliveredAtTheSixtyFourthByteAndTheSixtyFifthStartsTheNext) {
  TResponseAssembler assembler;
  assembler.Expect(TResponseShape::kRawReport);
  const std::vector<ByteBuffer> complete = TakeAll(assembler, Counting(128));
  ASSERT_EQ(complete.size(), 2u);
  EXPECT_EQ(complete[0], Counting(64));
  EXPECT_EQ(complete[1], Counting(64, 64));
  // A raw report takes everything, 0x10 0x02 or not.
  EXPECT_FALSE(assembler.Take(0x55));
  EXPECT_EQ(assembler.Response(), ByteBuffer({0x55}));
}

TEST(ResponseAssemblerShapeChange, TheLatestSubmissionDecidesForThePartialResponse) {
  // Raw awaited, a frame submitted: the start already gathered is built on under
  // frame rules and delivered at L + 8.
  TResponseAssembler assembler;
  assembler.Expect(TResponseShape::kRawReport);
  EXPECT_TRUE(TakeAll(assembler, {0x10, 0x02, 0x01, 0x00}).empty());
  assembler.Expect(TResponseShape::kFrame);
  const std::vector<ByteBuffer> complete = TakeAll(assembler, {0x02, 0x10, 0x33, 0x10, 0x03, 0x77});
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(complete[0], ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x33, 0x10, 0x03, 0x77}));

  // A frame awaited, raw submitted: 64 bytes or more completes it, bytes of the
  // frame's start included.
  TResponseAssembler other;
  // L = 0x40 wants 72 bytes
  ByteBuffer partial = FilledWithHeader(70, {0x10, 0x02, 0x01, 0x00, 0x40}, 0x66);
  EXPECT_TRUE(TakeAll(other, partial).empty());
  other.Expect(TResponseShape::kRawReport);
  EXPECT_TRUE(other.Take(0x67));
  EXPECT_EQ(other.Response().size(), 71u);
}

// Raw bytes gathered past what their byte 4 declares can never end as a frame.
// Kept, they would grow without end and no response would be delivered again:
// they are given up and the next frame is found.
TEST(ResponseAssemblerShapeChange, AnOverlongPartialIsGivenUpAndTheNextFrameDelivered) {
  TResponseAssembler assembler;
  assembler.Expect(TResponseShape::kRawReport);
  EXPECT_TRUE(TakeAll(assembler, ByteBuffer(10, 0x00)).empty());  // byte 4 = 0: 8 bytes at most
  assembler.Expect(TResponseShape::kFrame);
  const ByteBuffer keepAliveAnswer{0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x13};
  EXPECT_EQ(TakeAll(assembler, keepAliveAnswer), std::vector<ByteBuffer>{keepAliveAnswer});
}

}  // namespace
}  // namespace kv

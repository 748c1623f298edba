// The reader of a Time Protocol answer: 4 bytes, most significant first, taken
// as an unsigned number, collected across receives of any size.
#include "tools/timereply.h"

#include <gmock/gmock.h>

#include <vector>

namespace {

uint32_t ReadInChunks(const std::vector<uint8_t>& bytes, const std::vector<size_t>& chunks) {
  TimeReplyReader reader;
  size_t at = 0;
  for (size_t chunk : chunks) {
    at += reader.Append(bytes.data() + at, chunk);
  }
  EXPECT_TRUE(reader.Complete());
  return reader.Seconds();
}

TEST(TimeReply, FourBytesAreOneBigEndianUnsignedNumber) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t seconds;
  };
  for (const Case& c : std::initializer_list<Case>{
           {{0x00, 0x00, 0x00, 0x01}, 1},
           {{0x01, 0x00, 0x00, 0x00}, 16777216},
           {{0x12, 0x34, 0x56, 0x78}, 0x12345678},
           {{0x80, 0x00, 0x00, 0x00}, 2147483648u},
           {{0xFF, 0xFF, 0xFF, 0xFF}, 4294967295u},
       }) {
    TimeReplyReader reader;
    EXPECT_EQ(reader.Append(c.bytes.data(), c.bytes.size()), 4u);
    EXPECT_EQ(reader.Seconds(), c.seconds) << std::hex << c.seconds;
  }
}

TEST(TimeReply, PiecesOfAnyLengthMakeTheSameNumber) {
  const std::vector<uint8_t> bytes = {0xEE, 0x75, 0xB8, 0xA7};
  for (const std::vector<size_t>& chunks :
       std::initializer_list<std::vector<size_t>>{{4}, {2, 2}, {1, 3}, {3, 1}, {1, 1, 1, 1}, {0, 2, 0, 2}}) {
    EXPECT_EQ(ReadInChunks(bytes, chunks), 0xEE75B8A7u) << "chunks: " << testing::PrintToString(chunks);
  }
}

TEST(TimeReply, IsIncompleteUntilTheFourthByteAndTellsWhatIsMissing) {
  const uint8_t bytes[] = {0x00, 0x00, 0x00, 0x01};
  TimeReplyReader reader;
  EXPECT_EQ(reader.Missing(), 4u);
  reader.Append(bytes, 3);
  EXPECT_FALSE(reader.Complete());
  EXPECT_EQ(reader.Missing(), 1u);
  EXPECT_EQ(reader.Seconds(), 0u) << "no value before the answer is whole";
  reader.Append(bytes + 3, 1);
  EXPECT_TRUE(reader.Complete());
  EXPECT_EQ(reader.Seconds(), 1u);
}

TEST(TimeReply, TakesNothingBeyondTheFourthByte) {
  const uint8_t bytes[] = {0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB};
  TimeReplyReader reader;
  EXPECT_EQ(reader.Append(bytes, 3), 3u);
  EXPECT_EQ(reader.Append(bytes + 3, 3), 1u);
  EXPECT_EQ(reader.Append(bytes + 4, 2), 0u);
  EXPECT_EQ(reader.Seconds(), 2u);
}

TEST(TimeReply, ResetStartsANewAnswer) {
  const uint8_t first[] = {0xFF, 0xFF};
  const uint8_t second[] = {0x00, 0x00, 0x00, 0x05};
  TimeReplyReader reader;
  reader.Append(first, 2);
  reader.Reset();
  EXPECT_EQ(reader.Missing(), 4u);
  reader.Append(second, 4);
  EXPECT_EQ(reader.Seconds(), 5u);
}

}  // namespace

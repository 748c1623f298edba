// The software part of the line settings, on the bytes as the tty layer marks them.
#include "serial/receivefilter.h"

#include <gmock/gmock.h>

#include <string>

namespace {

std::string Filtered(ReceiveFilter& filter, std::string bytes, bool* eventChar = nullptr) {
  bool seen = false;
  bytes.resize(filter.Apply(bytes.data(), static_cast<uint32_t>(bytes.size()), seen));
  if (eventChar) *eventChar = seen;
  return bytes;
}

TEST(ReceiveFilter, AMarkedErrorByteBecomesTheErrorCharacterAndADoubled0xFFOneByte) {
  ReceiveFilter filter;
  filter.Configure({.unmark = true, .errorChar = '?'});
  EXPECT_EQ(Filtered(filter, std::string("a\xFF\0x\xFF\xFF"
                                         "b",
                                         7)),
            "a?\xFF"
            "b");
}

TEST(ReceiveFilter, AMarkSplitBetweenTwoReadsIsCarriedOver) {
  ReceiveFilter filter;
  filter.Configure({.unmark = true, .errorChar = '?'});
  EXPECT_EQ(Filtered(filter, "a\xFF"), "a");
  EXPECT_EQ(Filtered(filter, std::string("\0", 1)), "");
  EXPECT_EQ(Filtered(filter, "xb"), "?b");
}

TEST(ReceiveFilter, WithoutMarksA0xFFIsAnOrdinaryByte) {
  ReceiveFilter filter;
  filter.Configure({.unmark = false, .errorChar = '?'});
  EXPECT_EQ(Filtered(filter, std::string("\xFF\0x", 3)), std::string("\xFF\0x", 3));
}

TEST(ReceiveFilter, NulBytesAreDroppedOnlyWhenStripping) {
  ReceiveFilter filter;
  filter.Configure({.stripNull = true, .eventChar = '\r'});
  EXPECT_EQ(Filtered(filter, std::string("\0a\0", 3)), "a");
  filter.Configure({.stripNull = false, .eventChar = '\r'});
  EXPECT_EQ(Filtered(filter, std::string("\0a\0", 3)), std::string("\0a\0", 3));
}

TEST(ReceiveFilter, TheEventCharacterIsSeenOnlyWhenItArrives) {
  ReceiveFilter filter;
  filter.Configure({.eventChar = '\r'});
  bool seen = true;
  Filtered(filter, "12", &seen);
  EXPECT_FALSE(seen);
  Filtered(filter, "3\r", &seen);
  EXPECT_TRUE(seen);
}

}  // namespace

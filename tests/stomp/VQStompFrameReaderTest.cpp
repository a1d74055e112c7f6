#include "stomp/VQStompFrameReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

using namespace vq;
using vq::test::ErrorOf;
using namespace std::string_literals;

namespace {

// Feeds Stream one byte more at a time, dropping padding and whole frames as a transport
// does, and returns the frames found.
std::vector<std::string> FramesByteByByte(TVQStompFrameReader& Reader, const std::string& Stream) {
  std::vector<std::string> Frames;
  std::string Unread;
  for (const char Byte : Stream) {
    Unread += Byte;
    const TFrameExtent Extent = Reader.Measure(Unread);
    Unread.erase(0, Extent.Padding);
    if (Extent.Length == 0) continue;
    Frames.push_back(Unread.substr(0, Extent.Length));
    Unread.erase(0, Extent.Length);
  }
  EXPECT_EQ(Unread.find_first_not_of("\n\r "), std::string::npos) << "left over: " << Unread;
  return Frames;
}

}  // namespace

TEST(VQStompFrameReader, FindsFramesHoweverTheBytesArrive) {
  TVQStompFrameReader Reader;
  const std::string Stream = "\n\nMESSAGE\ncontent-length:4\n\na\0\nb\0\nRECEIPT\nreceipt-id:7\n\n\0\r\n"
                             "MESSAGE\nContent-Length:0\n\n\0MESSAGE\n\nplain body\0"s;
  const std::vector<std::string> Expected{"MESSAGE\ncontent-length:4\n\na\0\nb\0"s, "RECEIPT\nreceipt-id:7\n\n\0"s,
                                          "MESSAGE\nContent-Length:0\n\n\0"s, "MESSAGE\n\nplain body\0"s};
  EXPECT_EQ(FramesByteByByte(Reader, Stream), Expected);

  // All at once, the same frames one after the other.
  std::string_view Unread = Stream;
  std::vector<std::string> AtOnce;
  for (TFrameExtent Extent; (Extent = Reader.Measure(Unread)).Length > 0; Unread.remove_prefix(Extent.Length)) {
    Unread.remove_prefix(Extent.Padding);
    AtOnce.emplace_back(Unread.substr(0, Extent.Length));
  }
  EXPECT_EQ(AtOnce, Expected);
}

TEST(VQStompFrameReader, RefusesWhatCannotBeTrustedAndWhatIsTooLarge) {
  TVQStompFrameReader Reader(100);
  EXPECT_EQ(ErrorOf<EVQStompFrameError>([&] { Reader.Measure("MESSAGE\ncontent-length:101\n\n"); }),
            "A frame from the broker holds more than 100 bytes, the largest allowed")
      << "refused when announced, before the body is there";
  Reader.Restart();
  EXPECT_EQ(Reader.Measure("MESSAGE\n\n" + std::string(80, 'x')).Length, 0u);
  EXPECT_THROW(Reader.Measure("MESSAGE\n\n" + std::string(120, 'x')), EVQStompFrameError) << "refused when reached";
  Reader.Restart();
  EXPECT_THROW(Reader.Measure("MESSAGE\nname:" + std::string(120, 'h')), EVQStompFrameError) << "a header block too";
  Reader.Restart();
  EXPECT_EQ(ErrorOf<EVQStompFrameError>([&] { Reader.Measure("MESSAGE\ncontent-length:2\n\nabc\0"s); }),
            "A counted body is not followed by NUL; the stream cannot be trusted");
  Reader.Restart();
  EXPECT_THROW(Reader.Measure("MESSAGE\ncontent-length:0x10\n\n"), EVQStompFrameError);
  Reader.Restart();
  EXPECT_EQ(Reader.Measure("MESSAGE\ncontent-length:2147483647\nx:1\n").Expected, 0u)
      << "a length in a header block not yet ended is not checked yet, so no room is made for it";
  Reader.Restart();
  EXPECT_EQ(Reader.Measure("MESSAGE\ncontent-length:20\nx:1\n\n").Expected, 52u) << "once ended, room for the frame";
}

TEST(VQStompFrameReader, TakesCarriageReturnLineEndsWhenTold) {
  TVQStompFrameReader Reader;
  Reader.SetCarriageReturns(true);
  const std::string Stream = "\r\nMESSAGE\r\ncontent-length:3\r\n\r\na\0b\0\r\nRECEIPT\r\nreceipt-id:1\r\n\r\n\0"
                             "MESSAGE\nmixed:yes\r\n\nplain\0"s;
  const std::vector<std::string> Expected{"MESSAGE\r\ncontent-length:3\r\n\r\na\0b\0"s,
                                          "RECEIPT\r\nreceipt-id:1\r\n\r\n\0"s, "MESSAGE\nmixed:yes\r\n\nplain\0"s};
  EXPECT_EQ(FramesByteByByte(Reader, Stream), Expected);

  // Without them, a CR LF empty line ends no header block.
  TVQStompFrameReader Plain;
  EXPECT_EQ(Plain.Measure("MESSAGE\r\n\r\nx\0"s).Length, 0u);
}

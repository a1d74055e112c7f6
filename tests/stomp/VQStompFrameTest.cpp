#include <vqstomp/VQStompFrame.h>

#include "stomp/VQStompFrameReader.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace vq;
using vq::test::ErrorOf;
using namespace std::string_literals;

namespace {

std::shared_ptr<IStompFrame> NewFrame() { return std::make_shared<TVQStompFrame>(); }

}  // namespace

TEST(VQStompFrame, OutputIsExactWireBytes) {
  EXPECT_EQ(NewFrame()->Output(), "\n\n\0\n"s);

  auto Frame = NewFrame();
  Frame->SetCommand("SEND");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetBody("hi");
  EXPECT_EQ(Frame->Output(), "SEND\ndestination:/queue/a\n\nhi\0\n"s);

  // Nothing is trimmed, escaped or added; a body may hold NUL and LF.
  Frame->SetHeader(" odd name ", " a:b=c ");
  Frame->SetBody("x\0\ny"s);
  EXPECT_EQ(Frame->Output(), "SEND\ndestination:/queue/a\n odd name : a:b=c \n\nx\0\ny\0\n"s);
}

TEST(VQStompFrame, HeaderListRules) {
  auto Frame = NewFrame();
  Frame->SetHeader("x", "");
  EXPECT_EQ(Frame->HeaderCount(), 0);

  Frame->SetHeader("destination", "a");
  Frame->SetHeader("receipt", "r");
  Frame->SetHeader("content-length", "5");
  Frame->SetHeader("Destination", "b");
  ASSERT_EQ(Frame->HeaderCount(), 3);
  EXPECT_EQ(Frame->GetHeaderItem(0), (TStompHeaderItem{"Destination", "b"}));
  EXPECT_EQ(Frame->GetHeader("DESTINATION"), "b");
  EXPECT_EQ(Frame->GetHeader("absent"), "");

  // An empty value removes; adding again puts the header last.
  Frame->SetHeader("DESTINATION", "");
  Frame->SetHeader("destination", "c");
  EXPECT_EQ(Frame->GetHeaders(), (TStompHeaders{{"receipt", "r"}, {"content-length", "5"}, {"destination", "c"}}));

  Frame->RemoveHeader("RECEIPT");
  Frame->RemoveHeader("absent");
  EXPECT_EQ(Frame->HeaderCount(), 2);

  // Only ASCII letters fold: other bytes must match exactly.
  Frame->SetHeader("\xC3\xA9", "1");
  EXPECT_EQ(Frame->GetHeader("\xC3\x89"), "");

  EXPECT_THROW(Frame->GetHeaderItem(-1), EVQStompError);
  try {
    Frame->GetHeaderItem(Frame->HeaderCount());
    FAIL();
  } catch (const EVQStompError& Error) {
    EXPECT_STREQ(Error.what(), "index out of bound");
  }
  Frame->ClearHeaders();
  EXPECT_TRUE(Frame->GetHeaders().empty());
}

TEST(VQStompFrame, HeaderNamesWithEqualsSignAreKeptWhole) {
  auto Frame = NewFrame();
  Frame->SetHeader("a=b", "c=d");
  EXPECT_EQ(Frame->GetHeaderItem(0), (TStompHeaderItem{"a=b", "c=d"}));
  EXPECT_EQ(Frame->GetHeader("a=b"), "c=d");
  EXPECT_EQ(Frame->GetHeader("a"), "");
  auto Parsed = TVQStompFrame::Parse("MESSAGE\nx=y:1=2\n\n\0\n"s);
  EXPECT_EQ(Parsed->GetHeader("x=y"), "1=2");
}

TEST(VQStompFrame, ParseWellFormedFrames) {
  auto Connected = TVQStompFrame::Parse("CONNECTED\nsession:abc\n\n\0\n"s);
  EXPECT_EQ(Connected->GetCommand(), "CONNECTED");
  EXPECT_EQ(Connected->GetHeaders(), (TStompHeaders{{"session", "abc"}}));
  EXPECT_EQ(Connected->GetBody(), "");

  // Without a terminator (as the transport hands over text frames); values keep their colons.
  auto Message = TVQStompFrame::Parse("MESSAGE\na:b:c\n\nhello");
  EXPECT_EQ(Message->GetHeader("a"), "b:c");
  EXPECT_EQ(Message->GetBody(), "hello");

  // A counted body keeps NUL and LF bytes; bytes after the terminator are ignored.
  auto Counted = TVQStompFrame::Parse("MESSAGE\ncontent-length:5\n\nab\0\nc\0\nrest"s);
  EXPECT_EQ(Counted->GetBody(), "ab\0\nc"s);
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\nContent-Length:0\n\n\0\n"s)->GetBody(), "");
  // Without a terminator, a counted body fills the rest of the text, NUL at its end included.
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\ncontent-length:4\n\nabc\0"s)->GetBody(), "abc\0"s);
  // A counted body may end with its NUL alone, as STOMP 1.0 allows.
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\ncontent-length:3\n\nabc\0"s)->GetBody(), "abc");

  // Repeated names replace in place; empty values and empty content-length add nothing.
  auto Repeated = TVQStompFrame::Parse("MESSAGE\nk:1\nexpires:\nK:2\ncontent-length:\n\nbody\0\n"s);
  EXPECT_EQ(Repeated->GetHeaders(), (TStompHeaders{{"K", "2"}}));
  EXPECT_EQ(Repeated->GetBody(), "body");

  // CR has no meaning.
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\r\n\n\0\n"s)->GetCommand(), "MESSAGE\r");
}

TEST(VQStompFrame, ParseErrors) {
  EXPECT_EQ(ErrorOf<EIncompleteStompFrame>([] { TVQStompFrame::Parse("\nMESSAGE\n\n\0\n"s); }), "Empty Command");
  EXPECT_EQ(ErrorOf<EIncompleteStompFrame>([] { TVQStompFrame::Parse("MESSAGE"); }), "From out of bound.");
  EXPECT_EQ(ErrorOf<EIncompleteStompFrame>([] { TVQStompFrame::Parse("MESSAGE\0\nabc"s); }), "End of Line not found.");
  EXPECT_EQ(ErrorOf<EVQStompError>([] { TVQStompFrame::Parse("MESSAGE\nno-colon-here\n\n"); }), "header line error no-colon-here");
  EXPECT_EQ(ErrorOf<EIncompleteStompFrame>([] { TVQStompFrame::Parse("MESSAGE\ncontent-length:5\n\nabcd"); }), "frame too short");
  EXPECT_EQ(ErrorOf<EVQStompError>([] { TVQStompFrame::Parse("MESSAGE\ncontent-length:5\n\nabcdexy"); }), "frame ending error");
  EXPECT_EQ(ErrorOf<EVQStompFrameError>([] { TVQStompFrame::Parse("MESSAGE\ncontent-length:five\n\n\0\n"s); }),
            "Invalid content-length \"five\": not a plain non-negative decimal number; the stream cannot be trusted");
  // A negative or enormous length must never index outside the text.
  EXPECT_THROW(TVQStompFrame::Parse("MESSAGE\ncontent-length:-3\n\nab\0\n"s), EVQStompFrameError);
  EXPECT_EQ(ErrorOf<EIncompleteStompFrame>([] { TVQStompFrame::Parse("MESSAGE\ncontent-length:9223372036854775807\n\nab\0\n"s); }),
            "frame too short");
}

// The reader of the stream and Parse follow this one rule.
TEST(VQStompFrame, ContentLengthFollowsOneRule) {
  EXPECT_EQ(TVQStompFrame::GetContentLength("MESSAGE\ncontent-length:12\n\n"), 12);
  EXPECT_EQ(TVQStompFrame::GetContentLength("MESSAGE\nContent-Length:12\n\n"), 12);
  EXPECT_EQ(TVQStompFrame::GetContentLength("MESSAGE\ncontent-length:4\nCONTENT-LENGTH:4\n\n"), 4);
  EXPECT_EQ(TVQStompFrame::GetContentLength("MESSAGE\ncontent-length:\n\n"), 0) << "an empty value is no header";
  EXPECT_EQ(TVQStompFrame::GetContentLength(""), 0);
  for (const char* Untrusted : {"x", "0x10", "$10", "+5", " 5", "5 ", "-1", "1.0", "99999999999999999999999"})
    EXPECT_THROW(TVQStompFrame::GetContentLength("MESSAGE\ncontent-length:" + std::string(Untrusted) + "\n\n"),
                 EVQStompFrameError)
        << Untrusted;
  EXPECT_THROW(TVQStompFrame::GetContentLength("MESSAGE\ncontent-length:3\ncontent-length:4\n\n"), EVQStompFrameError);
  EXPECT_THROW(TVQStompFrame::Parse("MESSAGE\ncontent-length:3\nCONTENT-LENGTH:4\n\nabcd\0\n"s), EVQStompFrameError);
}

// Many headers are stored by the same rules as a few: replaced in place under the last
// spelling, removed by an empty value, added again at the end.
TEST(VQStompFrame, ParseKeepsTheHeaderRulesForManyHeaders) {
  std::string Text = "MESSAGE\n";
  TVQStompFrame Expected;
  const auto Add = [&](const std::string& Name, const std::string& Value) {
    Text += Name + ":" + Value + "\n";
    Expected.SetHeader(Name, Value);
  };
  for (int I = 0; I < 40; ++I) Add("h" + std::to_string(I), std::to_string(I));
  Add("H3", "three");
  Add("h5", "");
  Add("h7", "");
  Add("H5", "back");
  Add("h39", "last");
  auto Parsed = TVQStompFrame::Parse(Text + "\nbody\0"s);
  EXPECT_EQ(Parsed->GetHeaders(), Expected.GetHeaders());
  EXPECT_EQ(Parsed->GetBody(), "body");
}

TEST(VQStompFrame, ReadLineWalksTheText) {
  std::string Line = "unchanged";
  size_t Position = 0;
  ReadLine("", Position, Line);
  EXPECT_EQ(Line, "unchanged");
  ReadLine("ab\n\ncd", Position, Line);
  EXPECT_EQ(Line, "ab");
  EXPECT_EQ(Position, 3u);
  ReadLine("ab\n\ncd", Position, Line);
  EXPECT_EQ(Line, "");
  EXPECT_THROW(ReadLine("ab\n\ncd", Position, Line), EIncompleteStompFrame);
  Position = 99;
  EXPECT_THROW(ReadLine("ab\n", Position, Line), EIncompleteStompFrame);
}

TEST(VQStompFrame, RoundTripThroughOutputAndParse) {
  auto Frame = NewFrame();
  Frame->SetCommand("MESSAGE");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetHeader("content-length", "4");
  Frame->SetBody("\0\n\0\n"s);
  auto Parsed = TVQStompFrame::Parse(Frame->Output());
  EXPECT_EQ(Parsed->GetHeaders(), Frame->GetHeaders());
  EXPECT_EQ(Parsed->GetBody(), Frame->GetBody());
}

TEST(VQStompFrame, HeadersAreEscapedAsTheVersionSays) {
  const TStompHeaders Headers{{"key:x", "a:b\nc\\d\re"}};
  const auto Wire = [&](TStompVersion Version) {
    std::string Out;
    AppendFrame(Out, "SEND", Headers, "body\\n", TStompFrameRules::Of(Version));
    return Out;
  };
  EXPECT_EQ(Wire(TStompVersion::V1_0), "SEND\nkey:x:a:b\nc\\d\re\n\nbody\\n\0\n"s) << "1.0 writes bytes as they are";
  EXPECT_EQ(Wire(TStompVersion::V1_1), "SEND\nkey\\cx:a\\cb\\nc\\\\d\re\n\nbody\\n\0\n"s) << "the body is never escaped";
  EXPECT_EQ(Wire(TStompVersion::V1_2), "SEND\nkey\\cx:a\\cb\\nc\\\\d\\re\n\nbody\\n\0\n"s);

  for (const auto Version : {TStompVersion::V1_1, TStompVersion::V1_2}) {
    const auto Rules = TStompFrameRules::Of(Version);
    const TStompHeaders Tricky{{"a:b", "x:y"}, {"line", "one\ntwo"}, {"slash", "C:\\dir\\"}};
    std::string Out;
    AppendFrame(Out, "MESSAGE", Tricky, "", Rules);
    EXPECT_EQ(TVQStompFrame::Parse(Out, Rules)->GetHeaders(), Tricky) << VersionName(Version);
  }

  const auto Rules11 = TStompFrameRules::Of(TStompVersion::V1_1);
  const auto Rules12 = TStompFrameRules::Of(TStompVersion::V1_2);
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\nk:a\\\\n\n\n\0"s)->GetHeader("k"), "a\\\\n") << "1.0 decodes nothing";
  EXPECT_EQ(TVQStompFrame::Parse("CONNECTED\nk:a\\c\n\n\0"s, Rules11)->GetHeader("k"), "a\\c")
      << "CONNECTED is never escaped";
  EXPECT_EQ(TVQStompFrame::Parse("MESSAGE\nk:a\\r\n\n\0"s, Rules12)->GetHeader("k"), "a\r");
  EXPECT_EQ(ErrorOf<EVQStompError>([&] { TVQStompFrame::Parse("MESSAGE\nk:a\\t\n\n\0"s, Rules12); }),
            "Undefined escape sequence \"\\t\" in a header");
  EXPECT_THROW(TVQStompFrame::Parse("MESSAGE\nk:a\\r\n\n\0"s, Rules11), EVQStompError) << "no \\r in 1.1";
  EXPECT_THROW(TVQStompFrame::Parse("MESSAGE\nk:a\\\n\n\0"s, Rules11), EVQStompError) << "a lone backslash";

  // What each version can carry at all.
  EXPECT_NE(HeaderFault("k", "a\nb"), nullptr);
  EXPECT_EQ(HeaderFault("k:1", "a\nb", Rules11), nullptr);
  EXPECT_NE(HeaderFault("k", "a\rb", Rules11), nullptr);
  EXPECT_EQ(HeaderFault("k", "a\rb", Rules12), nullptr);
  EXPECT_NE(HeaderFault("k", "a\0b"s, Rules12), nullptr);
}

TEST(VQStompFrame, CarriageReturnLineEndsIn12) {
  const auto Rules = TStompFrameRules::Of(TStompVersion::V1_2);
  const auto Frame = TVQStompFrame::Parse("MESSAGE\r\nk:v\r\ncontent-length:3\r\n\r\na\rb\0"s, Rules);
  EXPECT_EQ(Frame->GetCommand(), "MESSAGE");
  EXPECT_EQ(Frame->GetHeaders(), (TStompHeaders{{"k", "v"}, {"content-length", "3"}}));
  EXPECT_EQ(Frame->GetBody(), "a\rb") << "a CR in the body stays";
  EXPECT_EQ(FindContentLength("MESSAGE\r\ncontent-length:3\r\n\r\n", true), 3u);
  EXPECT_THROW(TVQStompFrame::Parse("MESSAGE\r\nk:v\r\n\r\n\0"s), EVQStompError) << "1.0 takes no CR LF line ends";
}

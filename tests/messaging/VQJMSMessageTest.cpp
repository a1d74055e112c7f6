#include <vqstomp/VQJMSMessage.h>

#include <gtest/gtest.h>

#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQStompFrame.h>

using namespace vq;
using namespace std::string_literals;

namespace {

TVQStompFrame FrameWith(const TStompHeaders& Headers, std::string Body = {}) {
  TVQStompFrame Frame;
  Frame.SetCommand("MESSAGE");
  for (const auto& Item : Headers) Frame.SetHeader(Item.Name, Item.Value);
  Frame.SetBody(std::move(Body));
  return Frame;
}

TVQJMSMessage MessageWith(const std::string& Name, const std::string& Value) {
  return TVQJMSMessage(FrameWith({{Name, Value}}));
}

TStompHeaders HeadersWrittenBy(const IMessage& Message) {
  TVQStompFrame Frame;
  Message.WriteToFrame(Frame);
  return Frame.GetHeaders();
}

// The error of a message that would also write a correlation-id and a property "fine".
std::string FormatError(const std::string& Name, const std::string& Value) {
  TVQJMSMessage Message;
  Message.SetJMSCorrelationID("c-1");
  Message.GetProperties()->SetString("fine", "f");
  Message.GetProperties()->SetString(Name, Value);
  TVQStompFrame Frame;
  try {
    Message.WriteToFrame(Frame);
  } catch (const EMessageFormatException& Error) {
    EXPECT_EQ(Frame.HeaderCount(), 0) << Name;
    return Error.what();
  }
  return "no exception";
}

}  // namespace

TEST(VQJMSMessage, Defaults) {
  const TVQJMSMessage Message;
  EXPECT_EQ(Message.GetJMSPriority(), 4);
  EXPECT_EQ(Message.GetJMSExpiration(), 0);
  EXPECT_FALSE(Message.GetJMSPersistent());
  EXPECT_EQ(Message.GetJMSTimestamp(), 0.0);
  EXPECT_EQ(Message.GetProperties()->Count(), 0);
  EXPECT_EQ(Message.GetProperties(), Message.GetProperties());
}

TEST(VQJMSMessage, PropertiesKeepTheirMessageAlive) {
  auto Message = std::make_shared<TVQJMSTextMessage>();
  const std::weak_ptr<TVQJMSTextMessage> Watch = Message;
  const std::shared_ptr<IPrimitiveMap> Properties = Message->GetProperties();
  Properties->SetString("kept", "yes");
  Message.reset();
  ASSERT_FALSE(Watch.expired());
  EXPECT_EQ(Properties->GetString("kept"), "yes");
  EXPECT_EQ(Watch.lock()->PropertyText("kept"), "yes");
}

TEST(VQJMSMessage, PriorityAboveNineIsRefused) {
  TVQJMSMessage Message;
  Message.SetJMSPriority(9);
  EXPECT_EQ(Message.GetJMSPriority(), 9);
  try {
    Message.SetJMSPriority(10);
    FAIL() << "no exception";
  } catch (const Exception& Error) {
    EXPECT_STREQ(Error.what(), "JMS_MAX_PRIORITY");
  }
  EXPECT_EQ(Message.GetJMSPriority(), 9);
}

TEST(VQJMSMessage, ReadsPriorityHeader) {
  EXPECT_EQ(TVQJMSMessage(FrameWith({})).GetJMSPriority(), 4);
  EXPECT_EQ(MessageWith("priority", "7").GetJMSPriority(), 7);
  EXPECT_EQ(MessageWith("priority", "high").GetJMSPriority(), 4);
  EXPECT_EQ(MessageWith("priority", "$9").GetJMSPriority(), 9);
  // Out of range is clamped, never refused: the message would be lost.
  EXPECT_EQ(MessageWith("priority", "10").GetJMSPriority(), 9);
  EXPECT_EQ(MessageWith("priority", "260").GetJMSPriority(), 9);
  EXPECT_EQ(MessageWith("priority", "2147483647").GetJMSPriority(), 9);
  EXPECT_EQ(MessageWith("priority", "-1").GetJMSPriority(), 0);
  EXPECT_EQ(MessageWith("priority", "-2147483648").GetJMSPriority(), 0);
  EXPECT_EQ(MessageWith("priority", "2147483648").GetJMSPriority(), 4);
}

TEST(VQJMSMessage, ReadsExpiresAndPersistentHeaders) {
  EXPECT_EQ(MessageWith("expires", "2147483647").GetJMSExpiration(), INT32_MAX);
  EXPECT_EQ(MessageWith("expires", "2147483648").GetJMSExpiration(), 0);
  EXPECT_EQ(MessageWith("expires", "-5").GetJMSExpiration(), -5);
  EXPECT_EQ(MessageWith("expires", "0x7FFFFFFF").GetJMSExpiration(), INT32_MAX);
  EXPECT_EQ(MessageWith("expires", "x80000000").GetJMSExpiration(), 0);
  EXPECT_EQ(MessageWith("expires", "10s").GetJMSExpiration(), 0);

  EXPECT_TRUE(MessageWith("persistent", "true").GetJMSPersistent());
  for (const char* Value : {"TRUE", "True", "1", "true "})
    EXPECT_FALSE(MessageWith("persistent", Value).GetJMSPersistent()) << Value;
}

TEST(VQJMSMessage, ReadsTimestampAsWholeSeconds) {
  EXPECT_EQ(TVQJMSMessage(FrameWith({})).GetJMSTimestamp(), 25569.0);
  EXPECT_EQ(MessageWith("timestamp", "86400999").GetJMSTimestamp(), 25570.0);
  EXPECT_EQ(MessageWith("timestamp", "-86400999").GetJMSTimestamp(), 25568.0);
  EXPECT_EQ(MessageWith("timestamp", "43200000").GetJMSTimestamp(), 25569.5);
  // Beyond 32 bits: 2023-11-14 22:13:20 UTC.
  EXPECT_DOUBLE_EQ(MessageWith("timestamp", "1700000000000").GetJMSTimestamp(),
                   1700000000.0 / 86400.0 + 25569.0);
  EXPECT_EQ(MessageWith("timestamp", "soon").GetJMSTimestamp(), 25569.0);
}

TEST(VQJMSMessage, TimestampInUnixMillisecondsKeepsTheMilliseconds) {
  EXPECT_EQ(TVQJMSMessage(FrameWith({})).GetJMSTimestampMillis(), 0);
  EXPECT_EQ(MessageWith("timestamp", "1700000000123").GetJMSTimestampMillis(), 1700000000123);
  EXPECT_EQ(MessageWith("timestamp", "-86400999").GetJMSTimestampMillis(), -86400999);

  TVQJMSMessage Message;
  EXPECT_EQ(Message.GetJMSTimestampMillis(), -2209161600000) << "an unstamped message is at day 0, 1899-12-30";
  Message.SetJMSTimestampMillis(1700000000123);
  EXPECT_DOUBLE_EQ(Message.GetJMSTimestamp(), 1700000000.0 / 86400.0 + 25569.0);
  // A day count converts to the nearest millisecond, not one below.
  Message.SetJMSTimestamp(25569.5);
  EXPECT_EQ(Message.GetJMSTimestampMillis(), 43200000);
  Message.SetJMSTimestamp(1700000000.123 / 86400.0 + 25569.0);
  EXPECT_EQ(Message.GetJMSTimestampMillis(), 1700000000123);
  // What the application stamps stays its own: the broker writes the header.
  EXPECT_EQ(HeadersWrittenBy(Message), TStompHeaders{});
}

TEST(VQJMSMessage, RedeliveredComesFromTheBrokerAndIsNotSentBack) {
  EXPECT_FALSE(TVQJMSMessage(FrameWith({})).GetJMSRedelivered());
  EXPECT_FALSE(MessageWith("redelivered", "false").GetJMSRedelivered());
  EXPECT_TRUE(MessageWith("redelivered", "true").GetJMSRedelivered());

  auto Received = MessageWith("redelivered", "true");
  EXPECT_EQ(HeadersWrittenBy(Received), TStompHeaders{});
  TVQJMSMessage Made;
  Made.SetJMSRedelivered(true);
  EXPECT_TRUE(Made.GetJMSRedelivered());
  EXPECT_EQ(HeadersWrittenBy(Made), TStompHeaders{});
}

TEST(VQJMSMessage, ReadsTextHeadersAndCopiesAllIntoProperties) {
  const TVQJMSMessage Message(FrameWith({{"message-id", "ID:1"},
                                         {"correlation-id", "c-9"},
                                         {"reply-to", "/queue/r"},
                                         {"destination", "/queue/a"},
                                         {"subscription", "{S}"},
                                         {"content-length", "3"},
                                         {"a=b", "c"}}));
  EXPECT_EQ(Message.GetJMSMessageID(), "ID:1");
  EXPECT_EQ(Message.GetJMSCorrelationID(), "c-9");
  EXPECT_EQ(Message.GetJMSReplyTo(), "/queue/r");

  const auto Properties = Message.GetProperties();
  EXPECT_EQ(Properties->Count(), 7);
  EXPECT_EQ(Properties->GetString("MESSAGE-ID"), "ID:1");
  EXPECT_EQ(Properties->GetString("destination"), "/queue/a");
  EXPECT_EQ(Properties->GetString("subscription"), "{S}");
  EXPECT_EQ(Properties->GetInt("content-length"), 3);
  EXPECT_EQ(Properties->GetString("a=b"), "c");
}

TEST(VQJMSMessage, WritesOnlyChangedAttributesInOrder) {
  TVQJMSMessage Message;
  EXPECT_TRUE(HeadersWrittenBy(Message).empty());
  Message.SetJMSPriority(4);
  Message.SetJMSPersistent(false);
  EXPECT_TRUE(HeadersWrittenBy(Message).empty());

  Message.SetJMSPriority(0);
  EXPECT_EQ(HeadersWrittenBy(Message), (TStompHeaders{{"priority", "0"}}));

  Message.GetProperties()->SetString("transaction", "{T}");
  Message.SetJMSReplyTo("/queue/r");
  Message.SetJMSPersistent(true);
  Message.SetJMSExpiration(-30);
  Message.SetJMSCorrelationID("c-1");
  EXPECT_EQ(HeadersWrittenBy(Message), (TStompHeaders{{"correlation-id", "c-1"},
                                                      {"expires", "-30"},
                                                      {"persistent", "true"},
                                                      {"priority", "0"},
                                                      {"reply-to", "/queue/r"},
                                                      {"transaction", "{T}"}}));
}

TEST(VQJMSMessage, WritesEveryOtherPropertyAfterTheAttributes) {
  TVQJMSMessage Message;
  const auto Properties = Message.GetProperties();
  Properties->SetString("str", "text value");
  Properties->SetInt("int", -42);
  Properties->SetLong("long", 9007199254740993);
  Properties->SetDouble("double", 0.1);
  Properties->SetBoolean("bool", true);
  Properties->SetByte("byte", 200);
  Properties->SetChar("char", 'c');
  Properties->SetString("Transaction", "{T}");
  Message.SetJMSPersistent(true);
  Message.SetJMSLabel("label");
  EXPECT_EQ(HeadersWrittenBy(Message), (TStompHeaders{{"persistent", "true"},
                                                      {"transaction", "{T}"},
                                                      {"str", "text value"},
                                                      {"int", "-42"},
                                                      {"long", "9007199254740993"},
                                                      {"double", "0.1"},
                                                      {"bool", "true"},
                                                      {"byte", "200"},
                                                      {"char", "c"}}));
}

TEST(VQJMSMessage, WithholdsTheNamesOfProtocolBrokerAndAttributes) {
  TVQJMSMessage Message;
  const auto Properties = Message.GetProperties();
  for (const char* Name : {"Destination", "CONTENT-LENGTH", "Message-Id", "subscription", "RECEIPT", "Ack", "ID",
                           "timestamp", "Redelivered", "Correlation-ID", "EXPIRES", "Persistent", "PRIORITY",
                           "reply-to"})
    Properties->SetString(Name, "p");
  Properties->SetString("kept", "k");
  // Not sent, so not refused either.
  Properties->SetString("destination", "line\nbreak");
  EXPECT_EQ(HeadersWrittenBy(Message), (TStompHeaders{{"kept", "k"}}));

  Message.SetJMSPriority(2);
  Message.SetJMSReplyTo("/queue/r");
  EXPECT_EQ(HeadersWrittenBy(Message), (TStompHeaders{{"priority", "2"}, {"reply-to", "/queue/r"}, {"kept", "k"}}));
}

TEST(VQJMSMessage, RefusesPropertiesThatCannotBeHeaders) {
  const std::string BadName = "cannot be sent: its name holds a colon, line break or NUL byte";
  const std::string BadValue = "cannot be sent: its value holds a line break or NUL byte";
  EXPECT_EQ(FormatError("a:b", "v"), "Property \"a:b\" " + BadName);
  EXPECT_EQ(FormatError("a\nb", "v"), "Property \"a\\x0Ab\" " + BadName);
  EXPECT_EQ(FormatError("a\r", "v"), "Property \"a\\x0D\" " + BadName);
  EXPECT_EQ(FormatError("a\0b"s, "v"), "Property \"a\\x00b\" " + BadName);
  EXPECT_EQ(FormatError("", "v"), "Property \"\" cannot be sent: its name is empty");
  EXPECT_EQ(FormatError("x", "a\nb"), "Property \"x\" " + BadValue);
  EXPECT_EQ(FormatError("x", "a\r"), "Property \"x\" " + BadValue);
  EXPECT_EQ(FormatError("x", "\0"s), "Property \"x\" " + BadValue);
  EXPECT_EQ(FormatError("transaction", "t\n"), "Property \"transaction\" " + BadValue);
  EXPECT_EQ(FormatError("x", "tab\tand \xC3\xA9"), "no exception");
}

TEST(VQJMSMessage, ReceivedMessageSentAgainKeepsOnlyApplicationHeaders) {
  const TVQJMSMessage Received(FrameWith({{"message-id", "ID:1"},
                                          {"destination", "/queue/a"},
                                          {"subscription", "1"},
                                          {"ack", "ID:1"},
                                          {"content-length", "4"},
                                          {"redelivered", "true"},
                                          {"timestamp", "1000"},
                                          {"priority", "12"},
                                          {"expires", "0"},
                                          {"Transaction", "{T}"},
                                          {"str-prop", "text value"},
                                          {"correlation-id", "c-9"},
                                          {"int-prop", "42"}},
                                         "body"));
  TVQStompFrame Frame;
  Received.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetHeaders(), (TStompHeaders{{"correlation-id", "c-9"},
                                               {"priority", "9"},
                                               {"transaction", "{T}"},
                                               {"str-prop", "text value"},
                                               {"int-prop", "42"}}));
  EXPECT_EQ(Frame.GetBody(), "");
}

TEST(VQJMSMessage, KindsAnswerOnlyTheirOwnInterface) {
  const std::shared_ptr<IMessage> Plain = std::make_shared<TVQJMSMessage>();
  const std::shared_ptr<IMessage> Text = std::make_shared<TVQJMSTextMessage>();
  const std::shared_ptr<IMessage> Bytes = std::make_shared<TVQJMSBytesMessage>();
  EXPECT_FALSE(std::dynamic_pointer_cast<ITextMessage>(Plain));
  EXPECT_FALSE(std::dynamic_pointer_cast<IBytesMessage>(Plain));
  EXPECT_TRUE(std::dynamic_pointer_cast<ITextMessage>(Text));
  EXPECT_FALSE(std::dynamic_pointer_cast<IBytesMessage>(Text));
  EXPECT_TRUE(std::dynamic_pointer_cast<IBytesMessage>(Bytes));
  EXPECT_FALSE(std::dynamic_pointer_cast<ITextMessage>(Bytes));
}

TEST(VQJMSTextMessage, BodyIsUtf8BothWays) {
  TVQJMSTextMessage Message;
  Message.SetJMSPriority(1);
  Message.SetText(u"\u00E9");
  TVQStompFrame Frame;
  Message.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), "\xC3\xA9");
  EXPECT_EQ(Frame.GetHeaders(), (TStompHeaders{{"priority", "1"}}));

  Message.SetText(u"\U0001F600");
  Message.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), "\xF0\x9F\x98\x80");

  Message.SetText(u"");
  Message.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), "");

  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "\xC3\xA9"))->GetText(), u"\u00E9");
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "\xF0\x9F\x98\x80"))->GetText(), u"\U0001F600");
  // Ill-formed bytes are marked, and the rest of the body is kept.
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "\xC3"))->GetText(), u"\uFFFD");
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "ok\xC3 \xE2\x82x\xC3\xA9"))->GetText(),
            u"ok\uFFFD \uFFFDx\u00E9");
}

TEST(VQJMSTextMessage, Utf8TextGoesInAndOutUnchanged) {
  TVQJMSTextMessage Message;
  Message.SetText(std::string("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_EQ(Message.GetText(), u"caf\u00E9 \U0001F600");
  EXPECT_EQ(Message.GetTextUtf8(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  TVQStompFrame Frame;
  Message.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  // Ill-formed input is marked where it is wrong, not dropped whole.
  Message.SetText(std::string("a\xFFz"));
  EXPECT_EQ(Message.GetTextUtf8(), "a\xEF\xBF\xBDz");
  EXPECT_EQ(Message.GetText(), u"a\uFFFDz");
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "\xC3\xA9"))->GetTextUtf8(), "\xC3\xA9");
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "x\xE2\x82"))->GetTextUtf8(), "x\xEF\xBF\xBD");
  // UTF-8 cannot carry a lone surrogate: the text kept is the one that would travel.
  Message.SetText(u"a\xD800z");
  EXPECT_EQ(Message.GetText(), u"a\uFFFDz");
  Message.SetText(u"\U0001F600!");
  EXPECT_EQ(Message.GetText(), u"\U0001F600!");
}

TEST(VQJMSTextMessage, CreateFromFrameReadsHeaders) {
  const auto Message = TVQJMSTextMessage::CreateFromFrame(FrameWith({{"priority", "8"}, {"x", "y"}}, "hi"));
  EXPECT_EQ(Message->GetJMSPriority(), 8);
  EXPECT_EQ(Message->GetProperties()->GetString("x"), "y");
  EXPECT_EQ(Message->GetText(), u"hi");
}

TEST(VQJMSBytesMessage, BodyIsUnchangedBothWays) {
  const std::string Body = "\0\xFF\n\xC3 x"s;
  const auto Message =
      TVQJMSBytesMessage::CreateFromFrame(FrameWith({{"content-length", "6"}, {"expires", "9"}}, Body));
  EXPECT_EQ(Message->GetContent(), Body);
  EXPECT_EQ(Message->GetJMSExpiration(), 9);

  TVQStompFrame Frame;
  Message->WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), Body);
  // The client adds content-length itself when it sends.
  EXPECT_EQ(Frame.GetHeaders(), (TStompHeaders{{"expires", "9"}}));
}

#include "VQJMSMessage.h"

#include <gtest/gtest.h>

#include "VQJMSBytesMessage.h"
#include "VQJMSTextMessage.h"
#include "VQStompFrame.h"

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

std::string PriorityError(const std::string& Value) {
  try {
    MessageWith("priority", Value);
  } catch (const Exception& Error) {
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
  EXPECT_EQ(MessageWith("priority", "260").GetJMSPriority(), 4);
  EXPECT_EQ(MessageWith("priority", "high").GetJMSPriority(), 4);
  EXPECT_EQ(MessageWith("priority", "$9").GetJMSPriority(), 9);
  EXPECT_EQ(PriorityError("10"), "JMS_MAX_PRIORITY");
  EXPECT_EQ(PriorityError("-1"), "JMS_MAX_PRIORITY");
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

TEST(VQJMSMessage, WritesNoOtherPropertyOrAttribute) {
  TVQJMSMessage Message(FrameWith({{"message-id", "ID:1"},
                                   {"timestamp", "1000"},
                                   {"destination", "/queue/a"},
                                   {"Transaction", "{T}"},
                                   {"custom", "x"}},
                                  "body"));
  Message.SetJMSLabel("label");
  TVQStompFrame Frame;
  Message.WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetHeaders(), (TStompHeaders{{"transaction", "{T}"}}));
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
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "\xC3"))->GetText(), u"");
  EXPECT_EQ(TVQJMSTextMessage::CreateFromFrame(FrameWith({}, "ok\xC3"))->GetText(), u"");
}

TEST(VQJMSTextMessage, CreateFromFrameReadsHeaders) {
  const auto Message = TVQJMSTextMessage::CreateFromFrame(FrameWith({{"priority", "8"}, {"x", "y"}}, "hi"));
  EXPECT_EQ(Message->GetJMSPriority(), 8);
  EXPECT_EQ(Message->GetProperties()->GetString("x"), "y");
  EXPECT_EQ(Message->GetText(), u"hi");
  EXPECT_THROW(TVQJMSTextMessage::CreateFromFrame(FrameWith({{"priority", "12"}})), Exception);
}

TEST(VQJMSBytesMessage, BodyIsUnchangedBothWays) {
  const std::string Body = "\0\xFF\n\xC3 x"s;
  const auto Message = TVQJMSBytesMessage::CreateFromFrame(FrameWith({{"content-length", "6"}, {"expires", "9"}}, Body));
  EXPECT_EQ(Message->GetContent(), Body);
  EXPECT_EQ(Message->GetJMSExpiration(), 9);

  TVQStompFrame Frame;
  Message->WriteToFrame(Frame);
  EXPECT_EQ(Frame.GetBody(), Body);
  // The client adds content-length itself when it sends.
  EXPECT_EQ(Frame.GetHeaders(), (TStompHeaders{{"expires", "9"}}));
}

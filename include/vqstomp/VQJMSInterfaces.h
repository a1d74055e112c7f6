#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <vqstomp/VQExceptions.h>
#include <vqstomp/VQStompInterfaces.h>
#include <vqstomp/VQSupportInterfaces.h>

namespace vq {

// Days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

// Typed name-to-value store; every value is held as text. Names match without regard
// to ASCII case; storing an empty value removes the entry.
class IPrimitiveMap {
public:
  virtual ~IPrimitiveMap() = default;

  virtual int32_t Count() const = 0;
  virtual std::string GetValue(std::string_view Name) const = 0;
  virtual void SetValue(std::string_view Name, std::string_view Value) = 0;
  virtual void Clear() = 0;
  virtual bool ItemExists(std::string_view Name) const = 0;
  virtual void Remove(std::string_view Name) = 0;
  virtual bool GetBoolean(std::string_view Name) const = 0;
  virtual void SetBoolean(std::string_view Name, bool Value) = 0;
  virtual uint8_t GetByte(std::string_view Name) const = 0;
  virtual void SetByte(std::string_view Name, uint8_t Value) = 0;
  virtual char GetChar(std::string_view Name) const = 0;
  virtual void SetChar(std::string_view Name, char Value) = 0;
  virtual int32_t GetInt(std::string_view Name) const = 0;
  virtual void SetInt(std::string_view Name, int32_t Value) = 0;
  virtual std::string GetString(std::string_view Name) const = 0;
  virtual void SetString(std::string_view Name, std::string_view Value) = 0;
  // 0 when there is no entry or the text does not convert.
  virtual int64_t GetLong(std::string_view Name) const = 0;
  virtual void SetLong(std::string_view Name, int64_t Value) = 0;
  // Stored as the shortest text that reads back as exactly the same value.
  virtual double GetDouble(std::string_view Name) const = 0;
  virtual void SetDouble(std::string_view Name, double Value) = 0;
  // Every name, in the order the names were first stored.
  virtual std::vector<std::string> GetNames() const = 0;
};

class TPrimitiveMap : public IPrimitiveMap {
public:
  TPrimitiveMap() = default;
  // Takes the headers as they are: a frame holds each name once and no empty value.
  explicit TPrimitiveMap(const TStompHeaders& Headers);

  int32_t Count() const override { return static_cast<int32_t>(FEntries.size()); }
  std::string GetValue(std::string_view Name) const override;
  void SetValue(std::string_view Name, std::string_view Value) override;
  void Clear() override { FEntries.clear(); }
  bool ItemExists(std::string_view Name) const override;
  void Remove(std::string_view Name) override;
  bool GetBoolean(std::string_view Name) const override;
  void SetBoolean(std::string_view Name, bool Value) override;
  uint8_t GetByte(std::string_view Name) const override;
  void SetByte(std::string_view Name, uint8_t Value) override;
  char GetChar(std::string_view Name) const override;
  void SetChar(std::string_view Name, char Value) override;
  int32_t GetInt(std::string_view Name) const override;
  void SetInt(std::string_view Name, int32_t Value) override;
  std::string GetString(std::string_view Name) const override { return GetValue(Name); }
  void SetString(std::string_view Name, std::string_view Value) override { SetValue(Name, Value); }
  int64_t GetLong(std::string_view Name) const override;
  void SetLong(std::string_view Name, int64_t Value) override;
  double GetDouble(std::string_view Name) const override;
  void SetDouble(std::string_view Name, double Value) override;
  std::vector<std::string> GetNames() const override;
  // For walking every entry without copying one, such as when a message is sent.
  const TStompHeaders& GetEntries() const { return FEntries; }
  // Empty when there is no entry, which no stored value can be. Valid while the entry
  // stays unchanged.
  std::string_view ValueOf(std::string_view Name) const;

private:
  // Name and value are kept apart, so a name holding "=" is found again like any other.
  TStompHeaders FEntries;
};

class IDestination {
public:
  virtual ~IDestination() = default;
  virtual uint8_t GetDestinationType() const = 0;
  virtual void SetDestinationType(uint8_t Value) = 0;
};

class IQueue : public virtual IDestination {
public:
  virtual std::string GetQueueName() const = 0;
};

class ITopic : public virtual IDestination {
public:
  virtual std::string GetTopicName() const = 0;
};

class IMessage {
public:
  virtual ~IMessage() = default;

  virtual std::string GetJMSMessageID() const = 0;
  virtual std::string GetJMSReserved() const = 0;
  virtual void SetJMSReplyTo(const std::string& Value) = 0;
  virtual std::string GetJMSReplyTo() const = 0;
  // Raises vq::Exception "JMS_MAX_PRIORITY" for 10 or more, keeping the old value.
  virtual void SetJMSPriority(uint8_t Value) = 0;
  virtual uint8_t GetJMSPriority() const = 0;
  virtual void SetJMSPersistent(bool Value) = 0;
  virtual bool GetJMSPersistent() const = 0;
  virtual void SetJMSExpiration(int32_t Value) = 0;
  virtual int32_t GetJMSExpiration() const = 0;
  virtual void SetJMSCorrelationID(const std::string& Value) = 0;
  virtual std::string GetJMSCorrelationID() const = 0;
  virtual std::string GetJMSLabel() const = 0;
  virtual void SetJMSLabel(const std::string& Value) = 0;
  // The message's own map: changes through it are changes to the message.
  virtual std::shared_ptr<IPrimitiveMap> GetProperties() const = 0;
  virtual void SetJMSTimestamp(TDateTime Value) = 0;
  virtual TDateTime GetJMSTimestamp() const = 0;
  /// The time stamp in milliseconds since 1970-01-01 UTC, exact to the millisecond as
  /// the broker sent it (GetJMSTimestamp keeps whole seconds only). Setting either sets both.
  virtual void SetJMSTimestampMillis(int64_t Value) = 0;
  virtual int64_t GetJMSTimestampMillis() const = 0;
  /// The broker delivers the message again, as its "redelivered" header says: it may
  /// have been seen before.
  virtual void SetJMSRedelivered(bool Value) = 0;
  virtual bool GetJMSRedelivered() const = 0;
  // Writes the message's headers and body into a fresh outgoing frame. Raises
  // EMessageFormatException for a property that cannot travel as a header.
  virtual void WriteToFrame(IStompFrame& Frame) const = 0;
  // Acknowledges a received message in a session with client acknowledgement (within
  // the session's transaction when it is transacted); does nothing in the other modes.
  // Raises EIllegalStateException for a message that was not received.
  virtual void Acknowledge() = 0;
};

class ITextMessage : public virtual IMessage {
public:
  virtual void SetText(const std::u16string& Value) = 0;
  virtual std::u16string GetText() const = 0;
  /// The text as UTF-8; ill-formed sequences become U+FFFD.
  virtual void SetText(const std::string& Utf8) = 0;
  virtual std::string GetTextUtf8() const = 0;
};

class IBytesMessage : public virtual IMessage {
public:
  virtual void SetContent(std::string Value) = 0;
  virtual const std::string& GetContent() const = 0;
};

// Called one message at a time, in arrival order, on the thread that read the message:
// mostly the connection's read thread (the main thread at CheckSynchronize when the
// adapter's ConsoleMode is false), else a thread inside Receive. What was held for the
// consumer before its listener was set is handed over inside SetMessageListener.
class IMessageListener {
public:
  virtual ~IMessageListener() = default;
  virtual void OnMessage(const std::shared_ptr<IMessage>& Message) = 0;
};

class IMessageConsumer {
public:
  virtual ~IMessageConsumer() = default;
  virtual std::shared_ptr<IMessageListener> GetMessageListener() const = 0;
  virtual void SetMessageListener(std::shared_ptr<IMessageListener> Listener) = 0;
  // Waits without limit for the next message of this consumer's subscription.
  virtual std::shared_ptr<IMessage> Receive() = 0;
  // Waits at most Timeout ms (0: no limit) for the next message of this consumer's
  // subscription; none when none arrived in time or the connection was closed meanwhile.
  // Raises EIllegalStateException on a closed consumer or one with a listener, and the
  // connection's loss once it is lost. Called from a listener, it gets only what was read
  // already: the thread that would read more is the one running the listener.
  virtual std::shared_ptr<IMessage> Receive(int32_t Timeout) = 0;
  /// The same with a std::chrono time-out (zero: no limit).
  std::shared_ptr<IMessage> Receive(std::chrono::milliseconds Timeout) { return Receive(TimeoutMilliseconds(Timeout)); }
  // Unsubscribes this consumer alone; messages held for it are dropped. A second Close
  // does nothing.
  virtual void Close() = 0;
};

class TVQConsumerID;

class IConsumerIdentity {
public:
  virtual ~IConsumerIdentity() = default;
  virtual const TVQConsumerID& GetConsumerID() const = 0;
};

class IStartable {
public:
  virtual ~IStartable() = default;
  virtual void Start() = 0;
};

class IStoppable {
public:
  virtual ~IStoppable() = default;
  virtual void Stop() = 0;
};

// Told of faults that no call of the application could raise: the loss of the
// connection (once) and ERROR frames that answer no request. Called on the thread that
// met the fault: the read thread, or a thread in Receive, Send or Ack.
class IExceptionListener {
public:
  virtual ~IExceptionListener() = default;
  virtual void OnException(const Exception& Error) = 0;
};

class ISession;

class IConnection : public virtual IStartable, public virtual IStoppable {
public:
  virtual std::string GetClientID() const = 0;
  virtual void SetClientID(const std::string& Value) = 0;
  virtual void Close() = 0;
  virtual std::shared_ptr<ISession> CreateSession(bool Transacted, uint8_t AcknowledgeMode) = 0;
  virtual void SetExceptionListener(std::shared_ptr<IExceptionListener> Listener) = 0;
  virtual std::shared_ptr<IExceptionListener> GetExceptionListener() const = 0;
};

class IMessageProducer;

class ISession {
public:
  virtual ~ISession() = default;

  virtual void Close() = 0;
  virtual void Commit() = 0;
  virtual std::shared_ptr<IBytesMessage> CreateBytesMessage() = 0;
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& Destination) = 0;
  virtual std::shared_ptr<IMessage> CreateMessage() = 0;
  virtual std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& Destination) = 0;
  virtual std::shared_ptr<IQueue> CreateQueue(const std::string& Name) = 0;
  virtual std::shared_ptr<ITextMessage> CreateTextMessage() = 0;
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::u16string& Text) = 0;
  /// The same from UTF-8 text; ill-formed sequences become U+FFFD.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& Utf8) = 0;
  virtual std::shared_ptr<ITopic> CreateTopic(const std::string& Name) = 0;
  virtual void DispatchMessage(const std::shared_ptr<IMessage>& Message) = 0;
  virtual bool GetTransacted() const = 0;
  virtual void Rollback() = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
};

class IMessageProducer {
public:
  virtual ~IMessageProducer() = default;

  // Stored and handed back unchanged; sending does not use them.
  virtual void SetDeliveryMode(uint8_t Value) = 0;
  virtual void SetPriority(uint8_t Value) = 0;
  virtual void SetTimeToLive(int32_t Value) = 0;
  virtual uint8_t GetDeliveryMode() const = 0;
  virtual uint8_t GetPriority() const = 0;
  virtual int32_t GetTimeToLive() const = 0;
  virtual void Send(const std::shared_ptr<IDestination>& Destination, const std::shared_ptr<IMessage>& Message) = 0;
  virtual void Send(const std::shared_ptr<IMessage>& Message) = 0;
};

}  // namespace vq

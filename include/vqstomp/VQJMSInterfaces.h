#pragma once

/// @file
/// The messaging interfaces: messages, destinations, listeners, consumers, producers,
/// sessions and the connection, and the property map of a message.

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

/// Days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

/// Typed name-to-value store; every value is held as text. Names match without regard
/// to ASCII case; storing an empty value removes the entry. Not guarded: use it from one
/// thread at a time.
class IPrimitiveMap {
public:
  virtual ~IPrimitiveMap() = default;

  /// The number of entries.
  virtual int32_t Count() const = 0;
  /// The text of Name's entry; empty when there is none.
  virtual std::string GetValue(std::string_view Name) const = 0;
  /// Stores Value under Name, replacing an entry of that name in place; empty: removes it.
  virtual void SetValue(std::string_view Name, std::string_view Value) = 0;
  /// Removes every entry.
  virtual void Clear() = 0;
  /// Name has an entry.
  virtual bool ItemExists(std::string_view Name) const = 0;
  /// Removes Name's entry, if any.
  virtual void Remove(std::string_view Name) = 0;
  /// True only for the text "true".
  virtual bool GetBoolean(std::string_view Name) const = 0;
  /// Stores "true" or "false".
  virtual void SetBoolean(std::string_view Name, bool Value) = 0;
  /// GetInt cut to its low 8 bits.
  virtual uint8_t GetByte(std::string_view Name) const = 0;
  /// Stores the decimal text of Value.
  virtual void SetByte(std::string_view Name, uint8_t Value) = 0;
  /// The first byte of the text; NUL when there is no entry.
  virtual char GetChar(std::string_view Name) const = 0;
  /// Stores the one byte Value as the text.
  virtual void SetChar(std::string_view Name, char Value) = 0;
  /// The text as a 32-bit integer (optional blanks and sign, decimal, or hexadecimal after
  /// "$", "x" or "0x"); 0 when there is no entry or the text does not convert.
  virtual int32_t GetInt(std::string_view Name) const = 0;
  /// Stores the decimal text of Value.
  virtual void SetInt(std::string_view Name, int32_t Value) = 0;
  /// The same as GetValue.
  virtual std::string GetString(std::string_view Name) const = 0;
  /// The same as SetValue.
  virtual void SetString(std::string_view Name, std::string_view Value) = 0;
  /// The text as a 64-bit integer, read as GetInt reads; 0 when there is no entry or the
  /// text does not convert.
  virtual int64_t GetLong(std::string_view Name) const = 0;
  /// Stores the decimal text of Value.
  virtual void SetLong(std::string_view Name, int64_t Value) = 0;
  /// The whole text as a floating-point number; 0 when there is no entry or it is not one.
  virtual double GetDouble(std::string_view Name) const = 0;
  /// Stored as the shortest text that reads back as exactly the same value.
  virtual void SetDouble(std::string_view Name, double Value) = 0;
  /// Every name, in the order the names were first stored.
  virtual std::vector<std::string> GetNames() const = 0;
};

/// The property map of the library's messages, kept as a header list.
class TPrimitiveMap : public IPrimitiveMap {
public:
  /// An empty map.
  TPrimitiveMap() = default;
  /// Takes the headers as they are: a frame holds each name once and no empty value.
  explicit TPrimitiveMap(const TStompHeaders& Headers);
  /// The same, taking the list instead of copying it.
  explicit TPrimitiveMap(TStompHeaders&& Headers);

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
  /// For walking every entry without copying one, such as when a message is sent.
  const TStompHeaders& GetEntries() const { return FEntries; }
  /// The text of Name's entry without a copy. Empty when there is no entry, which no
  /// stored value can be. Valid while the entry stays unchanged.
  std::string_view ValueOf(std::string_view Name) const;

private:
  // Name and value are kept apart, so a name holding "=" is found again like any other.
  TStompHeaders FEntries;
};

/// Where messages go to and come from: a queue or a topic made by a session.
class IDestination {
public:
  virtual ~IDestination() = default;
  /// A type code: 2 for a queue, 0 for a topic.
  virtual uint8_t GetDestinationType() const = 0;
  /// Stores a type code; queues and topics go on reporting their fixed one.
  virtual void SetDestinationType(uint8_t Value) = 0;
};

/// A queue: each message is taken by one consumer.
class IQueue : public virtual IDestination {
public:
  /// The broker's destination name, as given to CreateQueue, such as "/queue/a".
  virtual std::string GetQueueName() const = 0;
};

/// A topic: each message goes to every consumer subscribed at the time.
class ITopic : public virtual IDestination {
public:
  /// The broker's destination name, as given to CreateTopic, such as "/topic/a".
  virtual std::string GetTopicName() const = 0;
};

/// A message: attributes that travel as the SEND frame's headers, a property map whose
/// entries travel as further headers, and (in the subclasses) a body. Not guarded: use
/// one message from one thread at a time.
class IMessage {
public:
  virtual ~IMessage() = default;

  /// The broker's "message-id" of a received message; empty for one made by the application.
  virtual std::string GetJMSMessageID() const = 0;
  /// Reserved; always empty.
  virtual std::string GetJMSReserved() const = 0;
  /// Sent as "reply-to" when not empty.
  virtual void SetJMSReplyTo(const std::string& Value) = 0;
  /// The "reply-to" header of a received message, or what was set.
  virtual std::string GetJMSReplyTo() const = 0;
  /// Sent as "priority" unless it is 4, the default. Raises vq::Exception
  /// "JMS_MAX_PRIORITY" for 10 or more, keeping the old value.
  virtual void SetJMSPriority(uint8_t Value) = 0;
  /// 0 to 9; a received "priority" outside that range is taken as the nearest end.
  virtual uint8_t GetJMSPriority() const = 0;
  /// Sent as "persistent" "true" when true; nothing is sent when false.
  virtual void SetJMSPersistent(bool Value) = 0;
  /// The "persistent" header of a received message is "true", or what was set.
  virtual bool GetJMSPersistent() const = 0;
  /// Sent as "expires" when not 0; the number is the broker's (ActiveMQ takes a time in
  /// milliseconds since 1970).
  virtual void SetJMSExpiration(int32_t Value) = 0;
  /// The received "expires" header, or 0 without one or when it does not fit 32 bits.
  virtual int32_t GetJMSExpiration() const = 0;
  /// Sent as "correlation-id" when not empty.
  virtual void SetJMSCorrelationID(const std::string& Value) = 0;
  /// The "correlation-id" header of a received message, or what was set.
  virtual std::string GetJMSCorrelationID() const = 0;
  /// A label kept with the message on this side; it is never sent.
  virtual std::string GetJMSLabel() const = 0;
  /// Sets the label, which is not sent.
  virtual void SetJMSLabel(const std::string& Value) = 0;
  /// The message's own map: changes through it are changes to the message. A received
  /// message holds every header of its frame there.
  virtual std::shared_ptr<IPrimitiveMap> GetProperties() const = 0;
  /// Sets the time stamp; it is not sent (the broker stamps messages itself).
  virtual void SetJMSTimestamp(TDateTime Value) = 0;
  /// The received "timestamp", in whole seconds, or what was set.
  virtual TDateTime GetJMSTimestamp() const = 0;
  /// The time stamp in milliseconds since 1970-01-01 UTC, exact to the millisecond as
  /// the broker sent it (GetJMSTimestamp keeps whole seconds only). Setting either sets both.
  virtual void SetJMSTimestampMillis(int64_t Value) = 0;
  /// The time stamp in milliseconds since 1970-01-01 UTC; 0 without one.
  virtual int64_t GetJMSTimestampMillis() const = 0;
  /// The broker delivers the message again, as its "redelivered" header says: it may
  /// have been seen before.
  virtual void SetJMSRedelivered(bool Value) = 0;
  /// The received "redelivered" header is "true", or what was set; it is not sent.
  virtual bool GetJMSRedelivered() const = 0;
  /// Writes the message's headers and body into a fresh outgoing frame. Raises
  /// EMessageFormatException for a property that cannot travel as a header.
  virtual void WriteToFrame(IStompFrame& Frame) const = 0;
  /// Acknowledges a received message in a session with client acknowledgement (within
  /// the session's transaction when it is transacted); does nothing in the other modes.
  /// Raises EIllegalStateException for a message that was not received or whose session
  /// was closed or released, and the connection's loss once it is lost.
  virtual void Acknowledge() = 0;
  /// Hands a received message back to the broker, which delivers it again or gives it up
  /// as its own rules say (STOMP 1.1 and later, in a session with client or individual
  /// acknowledgement). Raises as Acknowledge does, EIllegalStateException in the other
  /// modes, and EVQStompError on a STOMP 1.0 connection, which has no NACK.
  virtual void Nack() = 0;
};

/// A message whose body is text: sent as UTF-8 without "content-length".
class ITextMessage : public virtual IMessage {
public:
  /// Sets the text.
  virtual void SetText(const std::u16string& Value) = 0;
  /// The text.
  virtual std::u16string GetText() const = 0;
  /// The text as UTF-8; ill-formed sequences become U+FFFD.
  virtual void SetText(const std::string& Utf8) = 0;
  /// The text as UTF-8.
  virtual std::string GetTextUtf8() const = 0;
};

/// A message whose body is bytes, any value allowed: sent with "content-length".
class IBytesMessage : public virtual IMessage {
public:
  /// Sets the body.
  virtual void SetContent(std::string Value) = 0;
  /// The body.
  virtual const std::string& GetContent() const = 0;
};

/// Called one message at a time, in arrival order, on the thread that read the message:
/// mostly the connection's read thread (the main thread at CheckSynchronize when the
/// adapter's ConsoleMode is false), else a thread inside Receive. What was held for the
/// consumer before its listener was set is handed over inside SetMessageListener.
class IMessageListener {
public:
  virtual ~IMessageListener() = default;
  /// Takes one message. An exception it throws is logged and delivery goes on; in client
  /// acknowledgement the message then stays unacknowledged.
  virtual void OnMessage(const std::shared_ptr<IMessage>& Message) = 0;
};

/// Takes the messages of one subscription, by Receive or through a listener.
class IMessageConsumer {
public:
  virtual ~IMessageConsumer() = default;
  /// The listener, or none.
  virtual std::shared_ptr<IMessageListener> GetMessageListener() const = 0;
  /// Installs Listener (none: back to Receive). Raises EIllegalStateException on a
  /// closed consumer.
  virtual void SetMessageListener(std::shared_ptr<IMessageListener> Listener) = 0;
  /// Waits without limit for the next message of this consumer's subscription.
  virtual std::shared_ptr<IMessage> Receive() = 0;
  /// Waits at most Timeout ms (0: no limit) for the next message of this consumer's
  /// subscription; none when none arrived in time or the connection was closed meanwhile.
  /// Raises EIllegalStateException on a closed consumer or one with a listener, and the
  /// connection's loss once it is lost. Called from a listener, it gets only what was read
  /// already: the thread that would read more is the one running the listener.
  virtual std::shared_ptr<IMessage> Receive(int32_t Timeout) = 0;
  /// The same with a std::chrono time-out (zero: no limit).
  std::shared_ptr<IMessage> Receive(std::chrono::milliseconds Timeout) { return Receive(TimeoutMilliseconds(Timeout)); }
  /// Unsubscribes this consumer alone; messages held for it are dropped. A second Close
  /// does nothing.
  virtual void Close() = 0;
};

class TVQConsumerID;

/// Something identified by a consumer identifier.
class IConsumerIdentity {
public:
  virtual ~IConsumerIdentity() = default;
  /// The identifier, fixed for the object's life.
  virtual const TVQConsumerID& GetConsumerID() const = 0;
};

/// Something that can be started.
class IStartable {
public:
  virtual ~IStartable() = default;
  /// Starts it.
  virtual void Start() = 0;
};

/// Something that can be stopped.
class IStoppable {
public:
  virtual ~IStoppable() = default;
  /// Stops it.
  virtual void Stop() = 0;
};

/// Told of faults that no call of the application could raise: the loss of the
/// connection (once) and ERROR frames that answer no request. Called on the thread that
/// met the fault: the read thread, or a thread in Receive, Send or Ack.
class IExceptionListener {
public:
  virtual ~IExceptionListener() = default;
  /// Takes one fault; an exception it throws is logged.
  virtual void OnException(const Exception& Error) = 0;
};

/// Hears of a connection with failover losing its broker and coming back; called on the
/// connection's reconnecting thread, so it must not close or release the connection.
class ITransportListener {
public:
  virtual ~ITransportListener() = default;
  /// The connection was lost (Cause says why); reconnection begins.
  virtual void OnInterrupted(const Exception& Cause) = 0;
  /// Connected again to Broker ("host:port"), every consumer subscribed again.
  virtual void OnResumed(const std::string& Broker) = 0;
};

class ISession;

/// The link to one broker: makes the sessions, and starts, stops and closes them.
class IConnection : public virtual IStartable, public virtual IStoppable {
public:
  /// An identifier of the application's choosing; kept here, not sent to the broker.
  virtual std::string GetClientID() const = 0;
  /// Sets the identifier; any thread.
  virtual void SetClientID(const std::string& Value) = 0;
  /// Stops the sessions and ends the link to the broker.
  virtual void Close() = 0;
  /// A new session; AcknowledgeMode is AckModeClient, AckModeTransacted or AckModeAuto.
  virtual std::shared_ptr<ISession> CreateSession(bool Transacted, uint8_t AcknowledgeMode) = 0;
  /// Installs the listener told of faults that no call raises; none: they are logged
  /// as errors. Any thread.
  virtual void SetExceptionListener(std::shared_ptr<IExceptionListener> Listener) = 0;
  /// The installed listener, or none.
  virtual std::shared_ptr<IExceptionListener> GetExceptionListener() const = 0;
};

class IMessageProducer;

/// Makes destinations, messages, consumers and producers; the unit of acknowledgement
/// and of transactions. Every Create call raises EIllegalStateException while the
/// session is not started or is closed.
class ISession {
public:
  virtual ~ISession() = default;

  /// Ends the session: an open transaction is aborted and every consumer unsubscribed.
  virtual void Close() = 0;
  /// Commits what was sent and acknowledged since the last Commit or Rollback, and begins
  /// the next transaction. Raises EIllegalStateException in a session that is not
  /// transacted, not started or closed.
  virtual void Commit() = 0;
  /// A bytes message with an empty body.
  virtual std::shared_ptr<IBytesMessage> CreateBytesMessage() = 0;
  /// Subscribes to Destination, with "ack" "client" in AckModeClient and "auto"
  /// otherwise. Raises EInvalidDestinationException for a destination that is neither
  /// a queue nor a topic, and the client's errors when SUBSCRIBE cannot be written.
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& Destination) = 0;
  /// A message without a body; Send does not send it.
  virtual std::shared_ptr<IMessage> CreateMessage() = 0;
  /// A producer whose Send(Message) sends to Destination (none: each Send names one).
  /// Nothing is written to the broker.
  virtual std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& Destination) = 0;
  /// The queue of the broker's full destination name Name, such as "/queue/a".
  virtual std::shared_ptr<IQueue> CreateQueue(const std::string& Name) = 0;
  /// A text message with an empty text.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage() = 0;
  /// A text message holding Text.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::u16string& Text) = 0;
  /// The same from UTF-8 text; ill-formed sequences become U+FFFD.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& Utf8) = 0;
  /// The topic of the broker's full destination name Name, such as "/topic/a".
  virtual std::shared_ptr<ITopic> CreateTopic(const std::string& Name) = 0;
  /// Hands Message, on this thread, to the listener of the consumer its "subscription"
  /// names; without one a warning is logged.
  virtual void DispatchMessage(const std::shared_ptr<IMessage>& Message) = 0;
  /// The session runs transactions.
  virtual bool GetTransacted() const = 0;
  /// Aborts what was sent and acknowledged since the last Commit or Rollback, and begins
  /// the next transaction. Raises as Commit does.
  virtual void Rollback() = 0;
  /// Starts the session (the connection's Start does so too): Create calls work, its
  /// listeners make the connection read in the background, and a transacted session
  /// begins a transaction unless one is open.
  virtual void Start() = 0;
  /// Stops the session: its listeners no longer keep the connection's read thread
  /// running. An open transaction stays open.
  virtual void Stop() = 0;
};

/// Sends messages. Send writes the SEND frame on the caller's thread; in a transacted
/// session the message joins the open transaction (its "transaction" property is set).
/// Text messages go without "content-length", bytes messages with it; messages of any
/// other kind are not sent.
class IMessageProducer {
public:
  virtual ~IMessageProducer() = default;

  /// Stored and handed back unchanged; sending does not use it.
  virtual void SetDeliveryMode(uint8_t Value) = 0;
  /// Stored and handed back unchanged; sending does not use it.
  virtual void SetPriority(uint8_t Value) = 0;
  /// Stored and handed back unchanged, in the application's unit; sending does not use it.
  virtual void SetTimeToLive(int32_t Value) = 0;
  /// What SetDeliveryMode stored (0 at first).
  virtual uint8_t GetDeliveryMode() const = 0;
  /// What SetPriority stored (0 at first).
  virtual uint8_t GetPriority() const = 0;
  /// What SetTimeToLive stored (0 at first).
  virtual int32_t GetTimeToLive() const = 0;
  /// Sends Message to Destination. Raises EInvalidDestinationException for a destination
  /// that is neither a queue nor a topic, EMessageFormatException for a property that
  /// cannot be a header, EVQStompError for a destination or text that could not travel
  /// intact (a line break or NUL), EIllegalStateException once the session or connection
  /// was released, and the client's errors (the connection's loss, EIdTimeout) on writing.
  virtual void Send(const std::shared_ptr<IDestination>& Destination, const std::shared_ptr<IMessage>& Message) = 0;
  /// Sends Message to the producer's own destination; raises vq::Exception
  /// "No Destination" without one, else as the other Send.
  virtual void Send(const std::shared_ptr<IMessage>& Message) = 0;
  /// Makes every Send wait for the broker's receipt, for the connection's receipt
  /// time-out: it then raises the broker's ERROR (EVQStompServerErrorMessage) or
  /// EVQStompReceiptTimeout. Off at first unless the connection's options say SyncSend.
  virtual void SetSyncSend(bool Value) = 0;
  /// Every Send waits for its receipt.
  virtual bool GetSyncSend() const = 0;
};

}  // namespace vq

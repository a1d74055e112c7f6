#pragma once

/// @file
/// The STOMP protocol client: commands out, frames in, receipts awaited.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include <vqstomp/VQStompConnection.h>
#include <vqstomp/VQStompFrame.h>
#include <vqstomp/VQStompInterfaces.h>

namespace vq {

class TVQStompCustomClient;
class TVQStompFrameReader;
class TVQStompHeartBeat;

/// Told of one received frame, on the thread that delivered it: the connection's read
/// thread, or a thread in Connect or in a read on the caller's thread.
using TStompFrameEvent = std::function<void(TVQStompCustomClient& Sender, IStompFrame& Frame)>;
/// Told of a fault that no call could raise, on the thread that met it.
using TStompExceptionEvent = std::function<void(TVQStompCustomClient& Sender, const Exception& Error)>;

/// What names a received message in ACK and NACK: its "message-id", "subscription" and
/// "ack" headers. STOMP 1.0 sends the first, 1.1 the first two, 1.2 the third as "id".
struct TStompAckRef {
  std::string_view MessageID;     ///< The MESSAGE frame's "message-id".
  std::string_view Subscription;  ///< Its "subscription".
  std::string_view AckID;         ///< Its "ack" (STOMP 1.2).
};

/// How the broker counts the messages of a subscription as taken.
enum class TStompAckMode : uint8_t {
  Auto,             ///< "auto": once sent.
  Client,           ///< "client": once acknowledged, with every earlier one of the subscription.
  ClientIndividual  ///< "client-individual": once acknowledged, that one alone.
};

/// Heart-beat intervals agreed with the broker, in ms; 0: none that way.
struct TStompHeartBeat {
  int32_t Send = 0;     ///< This side writes at least this often.
  int32_t Receive = 0;  ///< The broker is heard from at least this often.
};

/// Speaks STOMP over a communication adapter: builds the outgoing frames and dispatches
/// the incoming ones. STOMP 1.0 unless versions are offered (SetAcceptVersion); then the
/// broker's choice sets the frame rules. Commands may be sent from any thread; each is
/// written whole on the caller's thread. Frames are dispatched on the thread that read them.
///
/// Every command raises EVQStompConnectionLostError once the connection is lost,
/// EVQStompClientNotConnectedError before it is connected, EVQStompError without an
/// adapter, and a transport error (EVQCommError, such as EIdTimeout past the write
/// time-out) when writing fails, which also marks the connection lost.
class TVQStompCustomClient : public TVQStompConnection {
public:
  /// Not connected, with no adapter and no handlers.
  TVQStompCustomClient();
  ~TVQStompCustomClient() override;

  /// Called for every MESSAGE frame, before StompFrameAvailable. Set the handlers before
  /// Connect: they are not guarded against a frame being delivered meanwhile.
  void SetOnMessageFrame(TStompFrameEvent Handler) { FOnMessageFrame = std::move(Handler); }
  /// The handler of MESSAGE frames, or an empty one.
  const TStompFrameEvent& GetOnMessageFrame() const { return FOnMessageFrame; }
  /// Called for the CONNECTED frame, once the session identifier is stored.
  void SetOnConnectedFrame(TStompFrameEvent Handler) { FOnConnectedFrame = std::move(Handler); }
  /// The handler of CONNECTED frames, or an empty one.
  const TStompFrameEvent& GetOnConnectedFrame() const { return FOnConnectedFrame; }
  /// Called for every ERROR frame, before it is reported or raised.
  void SetOnErrorFrame(TStompFrameEvent Handler) { FOnErrorFrame = std::move(Handler); }
  /// The handler of ERROR frames, or an empty one.
  const TStompFrameEvent& GetOnErrorFrame() const { return FOnErrorFrame; }
  /// Called for every RECEIPT frame.
  void SetOnReceiptFrame(TStompFrameEvent Handler) { FOnReceiptFrame = std::move(Handler); }
  /// The handler of RECEIPT frames, or an empty one.
  const TStompFrameEvent& GetOnReceiptFrame() const { return FOnReceiptFrame; }
  /// Told of what no call can raise: the connection's loss (once per connection) and an
  /// ERROR frame while connected. Without a handler a loss is logged as an error and an
  /// ERROR frame raises EVQStompServerErrorMessage to whoever delivered it.
  void SetOnException(TStompExceptionEvent Handler) { FOnException = std::move(Handler); }

  /// Connected, and not lost since.
  bool IsConnected() const { return FConnected && !FLost; }
  /// The connection failed while connected; every later command raises at once.
  bool IsConnectionLost() const { return FLost; }
  /// DISCONNECT is on its way or written: a failing read or write is no loss then.
  bool IsDisconnecting() const { return FDisconnecting; }
  /// Marks the connection lost and reports Error, unless it is being disconnected, not
  /// yet connected, or already lost.
  void ConnectionLost(const Exception& Error);
  /// The "session" header of the broker's CONNECTED frame; empty while not connected.
  std::string GetSessionID() const;
  /// The version the broker chose, as its CONNECTED frame said; 1.0 before connecting and
  /// when no version was offered.
  TStompVersion GetVersion() const { return FVersion; }
  /// The heart-beat intervals agreed for this connection.
  TStompHeartBeat GetHeartBeat() const { return {FHeartBeatSend, FHeartBeatReceive}; }
  /// Counts the connections Connect made: 0 before the first, then one more each time,
  /// so that what came on an earlier connection can be told apart.
  uint64_t GetConnectionNumber() const { return FConnectionNumber; }
  /// Says that a lost connection will be made again (failover): calls in AwaitFrames
  /// then wait through the loss and the reconnection, within their time-outs, instead of
  /// returning at the loss. Turning it off wakes them.
  void SetResumable(bool Value);
  /// A lost connection will be made again.
  bool IsResumable() const { return FResumable; }

  /// Opens the adapter's transport, writes CONNECT and delivers the broker's answer
  /// before returning, all within the adapter's connect time-out (EIdTimeout past it).
  /// After a loss it connects anew, to the adapter's host and port as they are then.
  /// An ERROR answer raises EVQStompServerErrorMessage; a failing transport, EVQCommError;
  /// a version not offered, or heart-beats asked for without a version, EVQStompError.
  void Connect();
  /// Writes CONNECT with "login" and "passcode", and with versions offered first
  /// "accept-version" and "host", then "heart-beat"; Connect calls it once the transport is up.
  void StompConnect();
  /// Writes SUBSCRIBE for Destination with "ack" "client" or "auto" and "id"
  /// SubscriptionID; empty SubscriptionID or Receipt headers are left out.
  void Subscribe(std::string_view Destination, bool ClientAcknowledge, std::string_view SubscriptionID,
                 std::string_view Receipt);
  /// The same with any of the "ack" modes.
  void Subscribe(std::string_view Destination, TStompAckMode AckMode, std::string_view SubscriptionID,
                 std::string_view Receipt);
  /// Writes UNSUBSCRIBE for the subscription "id" SubscriptionID.
  void UnsubscribeID(std::string_view SubscriptionID, std::string_view Receipt);
  /// Writes BEGIN; raises EVQStompInvalidTranscationIdError for an empty TransactionID
  /// (or one of control characters only), as COMMIT and ABORT do.
  void BeginTrans(std::string_view TransactionID, std::string_view Receipt);
  /// Writes COMMIT for TransactionID.
  void CommitTrans(std::string_view TransactionID, std::string_view Receipt);
  /// Writes ABORT for TransactionID.
  void AbortTrans(std::string_view TransactionID, std::string_view Receipt);
  /// Writes ACK for the "message-id" MessageID, within TransactionID unless it is empty.
  void Ack(std::string_view MessageID, std::string_view TransactionID);
  /// Writes ACK for Message as the version in use names it (see TStompAckRef). Raises
  /// EVQStompError in STOMP 1.2 for a message without "ack".
  void Ack(const TStompAckRef& Message, std::string_view TransactionID, std::string_view Receipt = {});
  /// Writes NACK the same way: the broker takes the message back (STOMP 1.1 and later;
  /// EVQStompError in STOMP 1.0, which has no NACK).
  void Nack(const TStompAckRef& Message, std::string_view TransactionID, std::string_view Receipt = {});
  /// Writes SEND to Destination with Body, adding "content-length" unless
  /// OmitContentLength; ExtraHeaders are stored over those, by SetHeader's rules. Refused
  /// as Transmit refuses.
  void Send(std::string_view Destination, std::string_view Body, const TStompHeaders& ExtraHeaders,
            bool OmitContentLength, std::string_view Receipt);
  /// Writes DISCONNECT and marks the client disconnected; the transport stays open.
  void StompDisconnect();
  /// Sends DISCONNECT unless the connection was lost, then closes the adapter; a broker
  /// that is gone meanwhile is no error. The DISCONNECT gets one second at most; from
  /// STOMP 1.1 on it asks for a receipt within that second, and once closed raises
  /// EVQStompReceiptTimeout, or the broker's error, when none confirmed it.
  /// Raises EVQStompClientAlreadyDisconnectedError when the client never connected or
  /// was disconnected already.
  void Disconnect() override;

  /// A fresh "receipt" value, awaited from now on: RECEIPT and ERROR frames that name it
  /// are kept for AwaitReceipt, which must follow (or ForgetReceipt).
  std::string ExpectReceipt();
  /// Waits at most Timeout ms (0 or less: no limit) for the receipt ReceiptID, reading
  /// frames on this thread while no other thread reads; then forgets it. Raises
  /// EVQStompServerErrorMessage for an ERROR that names it, EVQStompReceiptTimeout past
  /// the time-out, and EVQStompReceiptLost when the connection was lost first.
  void AwaitReceipt(const std::string& ReceiptID, int32_t Timeout);
  /// No longer awaits ReceiptID.
  void ForgetReceipt(const std::string& ReceiptID);
  /// Calls Write with a fresh receipt for it to send, then awaits that receipt for the
  /// receipt time-out of the settings.
  template <typename TWrite>
  void Confirmed(TWrite&& Write) {
    const std::string ReceiptID = ExpectReceipt();
    try {
      Write(std::string_view(ReceiptID));
    } catch (...) {
      ForgetReceipt(ReceiptID);
      throw;
    }
    AwaitReceipt(ReceiptID, GetReceiptTimeout());
  }

  /// Waits until Done holds, the connection ends or Timeout ms pass (0 or less: no
  /// limit), reading and delivering frames on this thread while no other thread reads
  /// them. Done runs under a lock of this client: it may take locks of its own but must
  /// not call back into the client. True when Done held.
  template <typename TDone>
  bool AwaitFrames(const TDone& Done, int32_t Timeout) {
    // A reference alone fits std::function without an allocation, as a Receive waits here.
    return AwaitFramesUntil([&Done] { return Done(); }, Timeout);
  }
  /// Makes the threads in AwaitFrames check their Done again; call after changing what
  /// it looks at.
  void WakeAwaiting();
  /// Reads and delivers one frame on this thread, waiting at most Timeout ms (0 or less:
  /// no limit) for it to begin; false when none did. A transport failure marks the
  /// connection lost before it reaches the caller (EVQStompConnectionLostError instead
  /// when the connection was lost already); a frame that cannot be decoded or
  /// whose handler fails is logged, and counts as read.
  bool ReceiveFrame(int32_t Timeout);
  /// The same with a std::chrono time-out (zero or less: no limit).
  bool ReceiveFrame(std::chrono::milliseconds Timeout) { return ReceiveFrame(TimeoutMilliseconds(Timeout)); }

  /// Refuses (EVQStompError, nothing written) a frame that could not travel intact: LF
  /// or NUL in the command or a header, ":" in a header name, or a NUL in a body
  /// without "content-length".
  void Transmit(const IStompFrame& Frame);
  /// The same after storing ExtraHeaders into Frame.
  void Transmit(IStompFrame& Frame, const TStompHeaders& ExtraHeaders);

  /// The adapter's data handler: decodes one frame's text and dispatches it. Raises what
  /// TVQStompFrame::Parse raises, and EVQStompServerErrorMessage as SetOnException says.
  void StompDataAvailable(std::string_view Data);
  /// The largest frame accepted from the broker in bytes, header block and body together
  /// (default 100 MiB); a larger one closes the connection.
  size_t GetMaxFrameSize() const;
  /// Sets the largest frame accepted, in bytes; set it while nothing reads.
  void SetMaxFrameSize(size_t Value);
  /// Raises EVQStompConnectionLostError once lost, EVQStompClientNotConnectedError when
  /// not connected; CONNECT passes.
  void CheckConnected(std::string_view Command) const;

protected:
  std::string_view GetClassName() const override { return "TVQStompCustomClient"; }
  /// Called for every MESSAGE frame, after OnMessageFrame, on the thread that read it.
  /// The reading thread decodes its next frame into this one once nothing holds it: keep
  /// the std::shared_ptr itself (not a std::weak_ptr) to keep the frame.
  virtual void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame);
  /// Ends the heart-beats of the connection; an owner of the adapter calls it before the
  /// adapter goes.
  void StopHeartBeat();

private:
  // Receipts awaited, by "receipt" value.
  struct TReceipt {
    bool Arrived = false;
    bool Refused = false;
    bool Lost = false;
    std::string Message;
    std::string Body;
  };

  template <typename THeaders>
  void TransmitFrame(std::string_view Command, const THeaders& Headers, std::string_view Body);
  void TransmitCommand(std::string_view Command, std::initializer_list<TStompHeaderView> Headers);
  void TransmitAcknowledgement(std::string_view Command, const TStompAckRef& Message,
                               std::string_view TransactionID, std::string_view Receipt);
  TStompFrameRules Rules() const;
  void AcceptVersion(IStompFrame& Frame);
  void AgreeHeartBeat(IStompFrame& Frame);
  void WriteDisconnect(IStompCommAdapter& Adapter);
  void StartHeartBeat(IStompCommAdapter& Adapter);
  // True for a frame that answered an awaited receipt; an ERROR naming none answers all.
  bool SettleReceipt(IStompFrame& Frame, bool Refused);
  // Under FAwaitLock: Answer for every receipt still awaited.
  void SettleAll(const TReceipt& Answer);
  bool Linked() const { return IsConnected() && !FConnecting; }
  bool AwaitFramesUntil(const std::function<bool()>& Done, int32_t Timeout);
  bool ReadAsAwaiter(std::unique_lock<std::mutex>& Guard, int32_t Timeout);
  bool ReadsElsewhere() const;
  void TransmitTransaction(std::string_view Command, std::string_view TransactionID, std::string_view Receipt);
  void DispatchTaking(std::string&& Text);
  void Dispatch(const std::shared_ptr<IStompFrame>& Frame);
  void HandleConnected(IStompFrame& Frame);
  void HandleError(IStompFrame& Frame);
  void Notify(const TStompFrameEvent& Handler, IStompFrame& Frame);
  void Report(const Exception& Error);
  void Write(IStompCommAdapter& Adapter, std::string_view Wire);
  // Parts written as one write, in order.
  void Write(IStompCommAdapter& Adapter, std::span<const std::string_view> Parts);
  void MarkDisconnected();

  TStompFrameEvent FOnMessageFrame;
  TStompFrameEvent FOnConnectedFrame;
  TStompFrameEvent FOnErrorFrame;
  TStompFrameEvent FOnReceiptFrame;
  TStompExceptionEvent FOnException;
  // Written by whichever thread delivers frames, read by the sending thread.
  std::atomic<bool> FConnected{false};
  std::atomic<bool> FLost{false};
  std::atomic<bool> FDisconnecting{false};
  // Connect runs: nobody else may read the transport yet.
  std::atomic<bool> FConnecting{false};
  std::atomic<bool> FResumable{false};
  std::atomic<uint64_t> FConnectionNumber{0};
  mutable std::mutex FSessionLock;
  std::string FSessionID;
  std::string FLostReason;
  std::atomic<TStompVersion> FVersion{TStompVersion::V1_0};
  std::atomic<int32_t> FHeartBeatSend{0};
  std::atomic<int32_t> FHeartBeatReceive{0};
  // Threads in AwaitFrames, and the receipts they wait for, under FAwaitLock. The reader
  // among them is not counted while it reads: what it delivers needs no wake-up for itself.
  std::mutex FAwaitLock;
  std::condition_variable FAwaitChanged;
  std::atomic<int32_t> FAwaiting{0};
  bool FAwaiterReads = false;
  std::unordered_map<std::string, TReceipt> FReceipts;
  std::atomic<uint64_t> FReceiptsMade{0};
  // Finds the frames in what the adapter receives; read only by the reading thread.
  const std::unique_ptr<TVQStompFrameReader> FFrameReader;
  // Runs while heart-beats are agreed; made and ended by Connect and Disconnect.
  std::unique_ptr<TVQStompHeartBeat> FHeartBeat;
};

}  // namespace vq

#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <vqstomp/VQStompConnection.h>
#include <vqstomp/VQStompInterfaces.h>

namespace vq {

class TVQStompCustomClient;
class TVQStompFrameReader;

using TStompFrameEvent = std::function<void(TVQStompCustomClient& Sender, IStompFrame& Frame)>;
using TStompExceptionEvent = std::function<void(TVQStompCustomClient& Sender, const Exception& Error)>;

// Speaks STOMP 1.0 over a communication adapter: builds the outgoing frames and
// dispatches the incoming ones.
class TVQStompCustomClient : public TVQStompConnection {
public:
  TVQStompCustomClient();
  ~TVQStompCustomClient() override;

  void SetOnMessageFrame(TStompFrameEvent Handler) { FOnMessageFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnMessageFrame() const { return FOnMessageFrame; }
  void SetOnConnectedFrame(TStompFrameEvent Handler) { FOnConnectedFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnConnectedFrame() const { return FOnConnectedFrame; }
  void SetOnErrorFrame(TStompFrameEvent Handler) { FOnErrorFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnErrorFrame() const { return FOnErrorFrame; }
  void SetOnReceiptFrame(TStompFrameEvent Handler) { FOnReceiptFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnReceiptFrame() const { return FOnReceiptFrame; }
  // Told of what no call can raise: the connection's loss (once per connection) and an
  // ERROR frame while connected. Without a handler a loss is logged as an error and an
  // ERROR frame raises EVQStompServerErrorMessage to whoever delivered it.
  void SetOnException(TStompExceptionEvent Handler) { FOnException = std::move(Handler); }

  // Connected, and not lost since.
  bool IsConnected() const { return FConnected && !FLost; }
  bool IsConnectionLost() const { return FLost; }
  // DISCONNECT is on its way or written: a failing read or write is no loss then.
  bool IsDisconnecting() const { return FDisconnecting; }
  // Marks the connection lost and reports Error, unless it is being disconnected, not
  // yet connected, or already lost.
  void ConnectionLost(const Exception& Error);
  std::string GetSessionID() const;

  void Connect();
  void StompConnect();
  void Subscribe(std::string_view Destination, bool ClientAcknowledge, std::string_view SubscriptionID,
                 std::string_view Receipt);
  void UnsubscribeID(std::string_view SubscriptionID, std::string_view Receipt);
  void BeginTrans(std::string_view TransactionID, std::string_view Receipt);
  void CommitTrans(std::string_view TransactionID, std::string_view Receipt);
  void AbortTrans(std::string_view TransactionID, std::string_view Receipt);
  void Ack(std::string_view MessageID, std::string_view TransactionID);
  void Send(std::string_view Destination, std::string Body, const TStompHeaders& ExtraHeaders,
            bool OmitContentLength, std::string_view Receipt);
  void StompDisconnect();
  // Sends DISCONNECT unless the connection was lost, then closes the adapter; a broker
  // that is gone meanwhile is no error.
  void Disconnect() override;

  // Refuses (EVQStompError, nothing written) a frame that could not travel intact: LF
  // or NUL in the command or a header, ":" in a header name, or a NUL in a body
  // without "content-length".
  void Transmit(const IStompFrame& Frame);
  void Transmit(IStompFrame& Frame, const TStompHeaders& ExtraHeaders);

  // The adapter's data handler: decodes one frame's text and dispatches it.
  void StompDataAvailable(std::string_view Data);
  // The largest frame accepted from the broker, header block and body together; a larger
  // one closes the connection.
  size_t GetMaxFrameSize() const;
  void SetMaxFrameSize(size_t Value);
  // Raises EVQStompConnectionLostError once lost, EVQStompClientNotConnectedError when
  // not connected; CONNECT passes.
  void CheckConnected(std::string_view Command) const;

protected:
  std::string_view GetClassName() const override { return "TVQStompCustomClient"; }
  // Called for every MESSAGE frame, after OnMessageFrame.
  virtual void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame);

private:
  void TransmitCommand(std::string_view Command, std::initializer_list<TStompHeaderView> Headers);
  void TransmitTransaction(std::string_view Command, std::string_view TransactionID, std::string_view Receipt);
  void Dispatch(const std::shared_ptr<IStompFrame>& Frame);
  void HandleConnected(IStompFrame& Frame);
  void HandleError(IStompFrame& Frame);
  void Notify(const TStompFrameEvent& Handler, IStompFrame& Frame);
  void Report(const Exception& Error);
  void Write(IStompCommAdapter& Adapter, std::string_view Wire);
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
  mutable std::mutex FSessionLock;
  std::string FSessionID;
  std::string FLostReason;
  // Finds the frames in what the adapter receives; read only by the reading thread.
  const std::unique_ptr<TVQStompFrameReader> FFrameReader;
};

}  // namespace vq

#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "VQStompConnection.h"
#include "VQStompInterfaces.h"

namespace vq {

class TVQStompCustomClient;

using TStompFrameEvent = std::function<void(TVQStompCustomClient& Sender, IStompFrame& Frame)>;

class EVQStompClientNotConnectedError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

class EVQStompInvalidTranscationIdError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

class EVQStompClientAlreadyDisconnectedError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

// The broker answered with an ERROR frame; the text is its "message" header.
class EVQStompServerErrorMessage : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

// Speaks STOMP 1.0 over a communication adapter: builds the outgoing frames and
// dispatches the incoming ones.
class TVQStompCustomClient : public TVQStompConnection {
public:
  void SetOnMessageFrame(TStompFrameEvent Handler) { FOnMessageFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnMessageFrame() const { return FOnMessageFrame; }
  void SetOnConnectedFrame(TStompFrameEvent Handler) { FOnConnectedFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnConnectedFrame() const { return FOnConnectedFrame; }
  void SetOnErrorFrame(TStompFrameEvent Handler) { FOnErrorFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnErrorFrame() const { return FOnErrorFrame; }
  void SetOnReceiptFrame(TStompFrameEvent Handler) { FOnReceiptFrame = std::move(Handler); }
  const TStompFrameEvent& GetOnReceiptFrame() const { return FOnReceiptFrame; }

  bool IsConnected() const { return FConnected; }
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
  void Disconnect() override;

  // Refuses (EVQStompError, nothing written) a frame that could not travel intact: LF
  // or NUL in the command or a header, ":" in a header name, or a NUL in a body
  // without "content-length".
  void Transmit(const IStompFrame& Frame);
  void Transmit(IStompFrame& Frame, const TStompHeaders& ExtraHeaders);

  // The adapter's data handler: decodes one frame's text and dispatches it.
  void StompDataAvailable(std::string_view Data);

protected:
  std::string_view GetClassName() const override { return "TVQStompCustomClient"; }
  // Called for every MESSAGE frame, after OnMessageFrame.
  virtual void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame);

private:
  void CheckConnected(std::string_view Command) const;
  void TransmitCommand(std::string_view Command, std::initializer_list<TStompHeaderView> Headers);
  void TransmitTransaction(std::string_view Command, std::string_view TransactionID, std::string_view Receipt);
  void HandleConnected(IStompFrame& Frame);
  void HandleError(IStompFrame& Frame);
  void Notify(const TStompFrameEvent& Handler, IStompFrame& Frame);

  TStompFrameEvent FOnMessageFrame;
  TStompFrameEvent FOnConnectedFrame;
  TStompFrameEvent FOnErrorFrame;
  TStompFrameEvent FOnReceiptFrame;
  // Written by whichever thread delivers frames, read by the sending thread.
  std::atomic<bool> FConnected{false};
  mutable std::mutex FSessionLock;
  std::string FSessionID;
};

}  // namespace vq

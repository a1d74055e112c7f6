#include <vqstomp/VQStompCustomClient.h>

#include <vqstomp/VQStompFrame.h>

#include "stomp/VQStompFrameReader.h"
#include "support/VQTextUtils.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

namespace {

// What Disconnect allows the DISCONNECT frame, in ms.
constexpr int32_t DisconnectWriteTimeout = 1000;

// Empties a buffer kept for reuse; one that a large frame grew is given back instead.
void ResetScratch(std::string& Buffer) {
  constexpr size_t KeptCapacity = 64 * 1024;
  if (Buffer.capacity() > KeptCapacity)
    std::string().swap(Buffer);
  else
    Buffer.clear();
}

// Encodes into a buffer that each thread keeps: a frame is written for every message sent
// or acknowledged. The result is valid until the thread's next call.
template <typename THeaders>
std::string_view EncodeFrame(std::string_view Command, const THeaders& Headers, std::string_view Body) {
  thread_local std::string Wire;
  ResetScratch(Wire);
  AppendFrame(Wire, Command, Headers, Body);
  return Wire;
}

// Headers without a value are not sent, so they are not checked either.
template <typename THeaders>
void CheckWireSafe(std::string_view Command, const THeaders& Headers) {
  if (HoldsLineBreakOrNul(Command))
    throw EVQStompError("Command " + QuotedVisibly(Command) + " holds a line break or NUL byte");
  for (const auto& Header : Headers) {
    if (Header.Value.empty()) continue;
    if (const char* Fault = HeaderFault(Header.Name, Header.Value))
      throw EVQStompError("Header " + QuotedVisibly(Header.Name) + " cannot be sent: " + Fault);
  }
}

void CheckWireSafe(const IStompFrame& Frame) {
  CheckWireSafe(Frame.GetCommand(), Frame.GetHeaders());
  // Without a length the broker would end the body at its first NUL.
  if (Frame.GetBody().find(NUL) != std::string::npos && Frame.GetHeader("content-length").empty())
    throw EVQStompError("The body holds a NUL byte and must be sent with a content-length");
}

}  // namespace

TVQStompCustomClient::TVQStompCustomClient() : FFrameReader(std::make_unique<TVQStompFrameReader>()) {}

TVQStompCustomClient::~TVQStompCustomClient() = default;

size_t TVQStompCustomClient::GetMaxFrameSize() const { return FFrameReader->GetMaxFrameSize(); }

void TVQStompCustomClient::SetMaxFrameSize(size_t Value) { FFrameReader->SetMaxFrameSize(Value); }

std::string TVQStompCustomClient::GetSessionID() const {
  std::lock_guard Guard(FSessionLock);
  return FSessionID;
}

void TVQStompCustomClient::Connect() {
  IStompCommAdapter& Adapter = CommAdapter();
  Adapter.SetOnConnected([this](IStompCommAdapter&) { StompConnect(); });
  Adapter.SetOnDataAvailable(
      [this](IStompCommAdapter&, std::string& Data) { Dispatch(TVQStompFrame::ParseTaking(std::move(Data))); });
  Adapter.SetOnConnectionLost([this](IStompCommAdapter&, const Exception& Error) { ConnectionLost(Error); });
  FFrameReader->Restart();
  Adapter.SetFrameBoundary(FFrameReader.get());
  FLost = false;
  FDisconnecting = false;
  Adapter.Connect();
}

void TVQStompCustomClient::ConnectionLost(const Exception& Error) {
  if (FDisconnecting || !FConnected || FLost.exchange(true)) return;
  {
    std::lock_guard Guard(FSessionLock);
    FLostReason = Error.what();
  }
  Report(Error);
}

void TVQStompCustomClient::Report(const Exception& Error) {
  if (FOnException)
    FOnException(*this, Error);
  else
    GetLogger()->Error(Utf8ToUtf16(std::string(GetClassName()) + ": " + Error.what()));
}

void TVQStompCustomClient::StompConnect() {
  TransmitCommand("CONNECT", {{"login", GetUsername()}, {"passcode", GetPassword()}});
}

void TVQStompCustomClient::Subscribe(std::string_view Destination, bool ClientAcknowledge,
                                     std::string_view SubscriptionID, std::string_view Receipt) {
  TransmitCommand("SUBSCRIBE", {{"destination", Destination},
                                {"ack", ClientAcknowledge ? "client" : "auto"},
                                {"id", SubscriptionID},
                                {"receipt", Receipt}});
}

void TVQStompCustomClient::UnsubscribeID(std::string_view SubscriptionID, std::string_view Receipt) {
  TransmitCommand("UNSUBSCRIBE", {{"id", SubscriptionID}, {"receipt", Receipt}});
}

void TVQStompCustomClient::BeginTrans(std::string_view TransactionID, std::string_view Receipt) {
  TransmitTransaction("BEGIN", TransactionID, Receipt);
}

void TVQStompCustomClient::CommitTrans(std::string_view TransactionID, std::string_view Receipt) {
  TransmitTransaction("COMMIT", TransactionID, Receipt);
}

void TVQStompCustomClient::AbortTrans(std::string_view TransactionID, std::string_view Receipt) {
  TransmitTransaction("ABORT", TransactionID, Receipt);
}

void TVQStompCustomClient::TransmitTransaction(std::string_view Command, std::string_view TransactionID,
                                               std::string_view Receipt) {
  if (TrimControl(TransactionID).empty()) throw EVQStompInvalidTranscationIdError("Invalid transaction id");
  TransmitCommand(Command, {{"transaction", TransactionID}, {"receipt", Receipt}});
}

void TVQStompCustomClient::Ack(std::string_view MessageID, std::string_view TransactionID) {
  TransmitCommand("ACK", {{"message-id", MessageID}, {"transaction", TransactionID}});
}

void TVQStompCustomClient::Send(std::string_view Destination, std::string Body, const TStompHeaders& ExtraHeaders,
                                bool OmitContentLength, std::string_view Receipt) {
  TVQStompFrame Frame;
  Frame.SetCommand("SEND");
  Frame.SetHeader("destination", Destination);
  Frame.SetHeader("receipt", Receipt);
  if (!OmitContentLength) Frame.SetHeader("content-length", std::to_string(Body.size()));
  Frame.SetBody(std::move(Body));
  Transmit(Frame, ExtraHeaders);
}

void TVQStompCustomClient::StompDisconnect() {
  FDisconnecting = true;
  TransmitCommand("DISCONNECT", {});
  MarkDisconnected();
}

void TVQStompCustomClient::MarkDisconnected() {
  FConnected = false;
  std::lock_guard Guard(FSessionLock);
  FSessionID.clear();
}

void TVQStompCustomClient::Disconnect() {
  IStompCommAdapter& Adapter = CommAdapter();
  if (!FConnected) throw EVQStompClientAlreadyDisconnectedError("Already disconnected");
  FDisconnecting = true;
  if (FLost) Trace("Closing a lost connection");
  try {
    // Briefly: a broker that takes no bytes must not hold the close up.
    if (!FLost) Adapter.WriteWithin(EncodeFrame("DISCONNECT", std::initializer_list<TStompHeaderView>{}, {}),
                                    DisconnectWriteTimeout);
  } catch (const EVQCommError& Error) {
    Trace(std::string("DISCONNECT not delivered: ") + Error.what());
  }
  MarkDisconnected();
  Adapter.Disconnect();
}

// Commands go straight into their wire form, without a frame object. A header without a
// value is left out, as a frame would leave it out.
void TVQStompCustomClient::TransmitCommand(std::string_view Command, std::initializer_list<TStompHeaderView> Headers) {
  IStompCommAdapter& Adapter = CommAdapter();
  CheckConnected(Command);
  CheckWireSafe(Command, Headers);
  Write(Adapter, EncodeFrame(Command, Headers, {}));
}

void TVQStompCustomClient::Write(IStompCommAdapter& Adapter, std::string_view Wire) {
  try {
    Adapter.Write(Wire);
  } catch (const EVQCommError& Error) {
    ConnectionLost(Error);
    throw;
  }
}

void TVQStompCustomClient::Transmit(IStompFrame& Frame, const TStompHeaders& ExtraHeaders) {
  for (const auto& Header : ExtraHeaders) Frame.SetHeader(Header.Name, Header.Value);
  Transmit(Frame);
}

void TVQStompCustomClient::CheckConnected(std::string_view Command) const {
  if ((FConnected && !FLost) || Command == "CONNECT") return;
  if (FLost) {
    std::lock_guard Guard(FSessionLock);
    throw EVQStompConnectionLostError("The connection to the broker was lost (" + FLostReason +
                                      "); close it and make a new one. Command: " + std::string(Command));
  }
  throw EVQStompClientNotConnectedError("Not connected! Command: " + std::string(Command));
}

void TVQStompCustomClient::Transmit(const IStompFrame& Frame) {
  IStompCommAdapter& Adapter = CommAdapter();
  CheckConnected(Frame.GetCommand());
  CheckWireSafe(Frame);
  // The same bytes as Output, without a string of their own.
  Write(Adapter, EncodeFrame(Frame.GetCommand(), Frame.GetHeaders(), Frame.GetBody()));
}

void TVQStompCustomClient::StompDataAvailable(std::string_view Data) { Dispatch(TVQStompFrame::Parse(Data)); }

void TVQStompCustomClient::Dispatch(const std::shared_ptr<IStompFrame>& Frame) {
  const std::string& Command = Frame->GetCommand();
  if (Command == "MESSAGE") {
    Notify(FOnMessageFrame, *Frame);
    StompFrameAvailable(Frame);
  } else if (Command == "RECEIPT") {
    Notify(FOnReceiptFrame, *Frame);
  } else if (Command == "CONNECTED") {
    HandleConnected(*Frame);
  } else if (Command == "ERROR") {
    HandleError(*Frame);
  } else {
    GetLogger()->Error(u"Unknown command " + Utf8ToUtf16(Command) + u" in stomp frame");
  }
}

void TVQStompCustomClient::HandleConnected(IStompFrame& Frame) {
  FConnected = true;
  {
    std::lock_guard Guard(FSessionLock);
    FSessionID = Frame.GetHeader("session");
  }
  Notify(FOnConnectedFrame, Frame);
}

// Before CONNECTED the ERROR answers the CONNECT, and Connect raises it; later it is
// raised to whoever delivered the frame unless OnException takes it.
void TVQStompCustomClient::HandleError(IStompFrame& Frame) {
  Notify(FOnErrorFrame, Frame);
  EVQStompServerErrorMessage Error(Frame.GetHeader("message"), Frame.GetBody());
  if (!FConnected || !FOnException) throw Error;
  FOnException(*this, Error);
}

void TVQStompCustomClient::Notify(const TStompFrameEvent& Handler, IStompFrame& Frame) {
  if (Handler) Handler(*this, Frame);
}

void TVQStompCustomClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>&) {}

}  // namespace vq

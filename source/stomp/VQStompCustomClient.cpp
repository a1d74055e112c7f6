#include <vqstomp/VQStompCustomClient.h>

#include <vqstomp/VQStompFrame.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

#include "stomp/VQStompFrameReader.h"
#include "stomp/VQStompHeartBeat.h"
#include "support/VQDeadline.h"
#include "support/VQTextUtils.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

namespace {

// What Disconnect allows the DISCONNECT frame (and its receipt), in ms.
constexpr int32_t DisconnectTimeout = 1000;

// The client whose frame this thread is delivering: a handler that waits for frames of
// that client reads them itself, since the thread that would read them is this one.
thread_local const TVQStompCustomClient* Delivering = nullptr;

class TDeliveringScope {
public:
  explicit TDeliveringScope(const TVQStompCustomClient& Client) : FOuter(std::exchange(Delivering, &Client)) {}
  ~TDeliveringScope() { Delivering = FOuter; }
  TDeliveringScope(const TDeliveringScope&) = delete;
  TDeliveringScope& operator=(const TDeliveringScope&) = delete;

private:
  const TVQStompCustomClient* const FOuter;
};

// The most that a buffer or a frame kept for reuse may hold on to.
constexpr size_t KeptCapacity = 64 * 1024;

// Empties a buffer kept for reuse; one that a large frame grew is given back instead.
void ResetScratch(std::string& Buffer) {
  if (Buffer.capacity() > KeptCapacity)
    std::string().swap(Buffer);
  else
    Buffer.clear();
}

// Bodies from this size on are written where they are, after their frame's head.
constexpr size_t SentUncopiedFrom = 64 * 1024;

// A buffer that each thread keeps, emptied: a frame is encoded for every message sent or
// acknowledged. What is encoded in it is valid until the thread's next call.
std::string& WireBuffer() {
  thread_local std::string Wire;
  ResetScratch(Wire);
  return Wire;
}

template <typename THeaders>
std::string_view EncodeFrame(std::string_view Command, const THeaders& Headers, std::string_view Body,
                             const TStompFrameRules& Rules) {
  std::string& Wire = WireBuffer();
  AppendFrame(Wire, Command, Headers, Body, Rules);
  return Wire;
}

template <typename THeaders>
std::string_view EncodeFrameHead(std::string_view Command, const THeaders& Headers, const TStompFrameRules& Rules) {
  std::string& Wire = WireBuffer();
  AppendFrameHead(Wire, Command, Headers, Rules);
  return Wire;
}

void CheckCommand(std::string_view Command) {
  if (HoldsLineBreakOrNul(Command))
    throw EVQStompError("Command " + QuotedVisibly(Command) + " holds a line break or NUL byte");
}

// Headers without a value are not sent, so they are not checked either.
template <typename THeaders>
void CheckWireSafe(const THeaders& Headers, const TStompFrameRules& Rules) {
  for (const auto& Header : Headers) {
    if (Header.Value.empty()) continue;
    if (const char* Fault = HeaderFault(Header.Name, Header.Value, Rules))
      throw EVQStompError("Header " + QuotedVisibly(Header.Name) + " cannot be sent: " + Fault);
  }
}

template <typename THeaders>
bool HasContentLength(const THeaders& Headers) {
  return std::any_of(Headers.begin(), Headers.end(), [](const auto& Header) {
    return !Header.Value.empty() && SameText(Header.Name, "content-length");
  });
}

template <typename THeaders>
void CheckWireSafe(const THeaders& Headers, std::string_view Body, const TStompFrameRules& Rules) {
  CheckWireSafe(Headers, Rules);
  // Without a length the broker would end the body at its first NUL.
  if (Body.find(NUL) != std::string::npos && !HasContentLength(Headers))
    throw EVQStompError("The body holds a NUL byte and must be sent with a content-length");
}

}  // namespace

TVQStompCustomClient::TVQStompCustomClient() : FFrameReader(std::make_unique<TVQStompFrameReader>()) {}

TVQStompCustomClient::~TVQStompCustomClient() { StopHeartBeat(); }

void TVQStompCustomClient::StopHeartBeat() { FHeartBeat.reset(); }

// A beat that cannot be written has lost the connection already; silence loses it here
// and breaks the socket, so that a read or write waiting on it returns at once.
void TVQStompCustomClient::StartHeartBeat(IStompCommAdapter& Adapter) {
  const TStompHeartBeat Agreed = GetHeartBeat();
  if (Agreed.Send == 0 && Agreed.Receive == 0) return;
  FHeartBeat = std::make_unique<TVQStompHeartBeat>(
      Adapter, std::chrono::milliseconds(Agreed.Send), std::chrono::milliseconds(Agreed.Receive),
      [this, &Adapter] {
        try {
          Write(Adapter, "\n");
          return true;
        } catch (const Exception&) {
          return false;
        }
      },
      [this, &Adapter](const Exception& Error) {
        ConnectionLost(Error);
        Adapter.Abandon();
      });
}

size_t TVQStompCustomClient::GetMaxFrameSize() const { return FFrameReader->GetMaxFrameSize(); }

void TVQStompCustomClient::SetMaxFrameSize(size_t Value) { FFrameReader->SetMaxFrameSize(Value); }

std::string TVQStompCustomClient::GetSessionID() const {
  std::lock_guard Guard(FSessionLock);
  return FSessionID;
}

void TVQStompCustomClient::Connect() {
  IStompCommAdapter& Adapter = CommAdapter();
  if ((GetHeartBeatSend() > 0 || GetHeartBeatReceive() > 0) && GetAcceptVersion().empty())
    throw EVQStompError("Heart-beats need STOMP 1.1 or later: offer versions with SetAcceptVersion");
  Adapter.SetOnConnected([this](IStompCommAdapter&) { StompConnect(); });
  Adapter.SetOnDataAvailable([this](IStompCommAdapter&, std::string& Data) {
    const TDeliveringScope Scope(*this);
    DispatchTaking(std::move(Data));
  });
  Adapter.SetOnConnectionLost([this](IStompCommAdapter&, const Exception& Error) { ConnectionLost(Error); });
  FFrameReader->Restart();
  FFrameReader->SetCarriageReturns(OffersVersion(TStompVersion::V1_2));
  Adapter.SetFrameBoundary(FFrameReader.get());
  FConnecting = true;
  const struct TEnd {
    TVQStompCustomClient& Client;
    ~TEnd() {
      Client.FConnecting = false;
      Client.WakeAwaiting();
    }
  } End{*this};
  MarkDisconnected();
  FVersion = TStompVersion::V1_0;
  FHeartBeatSend = FHeartBeatReceive = 0;
  FDisconnecting = false;
  StopHeartBeat();
  Adapter.Connect();
  if (!FConnected) return;
  // Only now: until a reconnection succeeds, calls learn why the last connection ended.
  FLost = false;
  ++FConnectionNumber;
  StartHeartBeat(Adapter);
}

void TVQStompCustomClient::SetResumable(bool Value) {
  FResumable = Value;
  WakeAwaiting();
}

// Until CONNECTED names a version, frames travel as in 1.0, but a 1.2 broker may end
// its lines with CR LF.
TStompFrameRules TVQStompCustomClient::Rules() const {
  TStompFrameRules Result = TStompFrameRules::Of(FVersion);
  if (!FConnected) Result.CarriageReturns = OffersVersion(TStompVersion::V1_2);
  return Result;
}

void TVQStompCustomClient::ConnectionLost(const Exception& Error) {
  if (FDisconnecting || !FConnected || FLost.exchange(true)) return;
  {
    std::lock_guard Guard(FSessionLock);
    FLostReason = Error.what();
  }
  {
    std::lock_guard Guard(FAwaitLock);
    SettleAll({true, false, true, Error.what(), ""});
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
  if (GetAcceptVersion().empty())
    return TransmitCommand("CONNECT", {{"login", GetUsername()}, {"passcode", GetPassword()}});
  const std::string HeartBeat = std::to_string(GetHeartBeatSend()) + "," + std::to_string(GetHeartBeatReceive());
  TransmitCommand("CONNECT", {{"accept-version", GetAcceptVersion()},
                              {"host", GetVirtualHost().empty() ? GetHost() : GetVirtualHost()},
                              {"login", GetUsername()},
                              {"passcode", GetPassword()},
                              {"heart-beat", HeartBeat == "0,0" ? "" : HeartBeat}});
}

void TVQStompCustomClient::Subscribe(std::string_view Destination, bool ClientAcknowledge,
                                     std::string_view SubscriptionID, std::string_view Receipt) {
  Subscribe(Destination, ClientAcknowledge ? TStompAckMode::Client : TStompAckMode::Auto, SubscriptionID, Receipt);
}

void TVQStompCustomClient::Subscribe(std::string_view Destination, TStompAckMode AckMode,
                                     std::string_view SubscriptionID, std::string_view Receipt) {
  const std::string_view Ack = AckMode == TStompAckMode::Auto     ? "auto"
                               : AckMode == TStompAckMode::Client ? "client"
                                                                  : "client-individual";
  TransmitCommand("SUBSCRIBE",
                  {{"destination", Destination}, {"ack", Ack}, {"id", SubscriptionID}, {"receipt", Receipt}});
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
  Ack(TStompAckRef{MessageID, {}, {}}, TransactionID);
}

void TVQStompCustomClient::Ack(const TStompAckRef& Message, std::string_view TransactionID,
                               std::string_view Receipt) {
  TransmitAcknowledgement("ACK", Message, TransactionID, Receipt);
}

void TVQStompCustomClient::Nack(const TStompAckRef& Message, std::string_view TransactionID,
                                std::string_view Receipt) {
  if (FVersion == TStompVersion::V1_0)
    throw EVQStompError("NACK needs STOMP 1.1 or later; this connection speaks STOMP 1.0");
  TransmitAcknowledgement("NACK", Message, TransactionID, Receipt);
}

void TVQStompCustomClient::TransmitAcknowledgement(std::string_view Command, const TStompAckRef& Message,
                                                   std::string_view TransactionID, std::string_view Receipt) {
  switch (FVersion) {
    case TStompVersion::V1_0:
      return TransmitCommand(Command,
                             {{"message-id", Message.MessageID}, {"transaction", TransactionID}, {"receipt", Receipt}});
    case TStompVersion::V1_1:
      return TransmitCommand(Command, {{"message-id", Message.MessageID},
                                       {"subscription", Message.Subscription},
                                       {"transaction", TransactionID},
                                       {"receipt", Receipt}});
    case TStompVersion::V1_2:
      if (Message.AckID.empty())
        throw EVQStompError(std::string(Command) + " in STOMP 1.2 needs the message's \"ack\" header, and it has none");
      return TransmitCommand(Command, {{"id", Message.AckID}, {"transaction", TransactionID}, {"receipt", Receipt}});
  }
}

// Encoded from views of what the call holds, by a frame's rules for its headers: every
// message sent comes here, and a frame would copy each header first.
void TVQStompCustomClient::Send(std::string_view Destination, std::string_view Body, const TStompHeaders& ExtraHeaders,
                                bool OmitContentLength, std::string_view Receipt) {
  thread_local std::vector<TStompHeaderView> Headers;
  Headers.clear();
  const std::string Length = OmitContentLength ? std::string() : std::to_string(Body.size());
  // Three names apart: none replaces another.
  for (const TStompHeaderView Own : {TStompHeaderView{"destination", Destination}, {"receipt", Receipt},
                                     {"content-length", Length}})
    if (!Own.Value.empty()) Headers.push_back(Own);
  for (const auto& Header : ExtraHeaders) StoreHeader(Headers, Header.Name, Header.Value);
  TransmitFrame("SEND", Headers, Body);
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
  StopHeartBeat();
  if (FLost) Trace("Closing a lost connection");
  std::exception_ptr Unconfirmed;
  try {
    if (!FLost) WriteDisconnect(Adapter);
  } catch (const EVQCommError& Error) {
    Trace(std::string("DISCONNECT not delivered: ") + Error.what());
  } catch (const EVQStompError&) {
    Unconfirmed = std::current_exception();
  }
  MarkDisconnected();
  Adapter.Disconnect();
  if (Unconfirmed) std::rethrow_exception(Unconfirmed);
}

// Briefly: a broker that takes no bytes, or sends no receipt, must not hold the close up.
void TVQStompCustomClient::WriteDisconnect(IStompCommAdapter& Adapter) {
  if (FVersion == TStompVersion::V1_0)
    return Adapter.WriteWithin(EncodeFrame("DISCONNECT", std::initializer_list<TStompHeaderView>{}, {}, {}),
                               DisconnectTimeout);
  const TDeadline Deadline(DisconnectTimeout);
  const std::string ReceiptID = ExpectReceipt();
  try {
    const TStompHeaderView Receipt{"receipt", ReceiptID};
    Adapter.WriteWithin(EncodeFrame("DISCONNECT", std::initializer_list<TStompHeaderView>{Receipt}, {}, Rules()),
                        Deadline.Wait());
  } catch (...) {
    ForgetReceipt(ReceiptID);
    throw;
  }
  AwaitReceipt(ReceiptID, std::max(Deadline.Wait(), 1));
}

// Commands go straight into their wire form, without a frame object. A header without a
// value is left out, as a frame would leave it out.
void TVQStompCustomClient::TransmitCommand(std::string_view Command, std::initializer_list<TStompHeaderView> Headers) {
  TransmitFrame(Command, Headers, {});
}

void TVQStompCustomClient::Write(IStompCommAdapter& Adapter, std::string_view Wire) {
  Write(Adapter, std::span(&Wire, 1));
}

void TVQStompCustomClient::Write(IStompCommAdapter& Adapter, std::span<const std::string_view> Parts) {
  try {
    Parts.size() == 1 ? Adapter.Write(Parts[0]) : Adapter.WriteParts(Parts);
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

// The library's own commands are constants; only a frame's can be anything.
void TVQStompCustomClient::Transmit(const IStompFrame& Frame) {
  CheckCommand(Frame.GetCommand());
  TransmitFrame(Frame.GetCommand(), Frame.GetHeaders(), Frame.GetBody());
}

// The same bytes as a frame's Output, without a string of their own; a large body is not
// even copied behind its head.
template <typename THeaders>
void TVQStompCustomClient::TransmitFrame(std::string_view Command, const THeaders& Headers, std::string_view Body) {
  IStompCommAdapter& Adapter = CommAdapter();
  CheckConnected(Command);
  // CONNECT is never escaped, nor its answer.
  const TStompFrameRules FrameRules = Command == "CONNECT" ? TStompFrameRules{} : Rules();
  CheckWireSafe(Headers, Body, FrameRules);
  if (Body.size() < SentUncopiedFrom) return Write(Adapter, EncodeFrame(Command, Headers, Body, FrameRules));
  const std::string_view Parts[] = {EncodeFrameHead(Command, Headers, FrameRules), Body, FrameEnd};
  Write(Adapter, Parts);
}

void TVQStompCustomClient::StompDataAvailable(std::string_view Data) {
  const TDeliveringScope Scope(*this);
  Dispatch(TVQStompFrame::Parse(Data, Rules()));
}

// Each thread decodes into a frame it keeps, unless a handler kept the last one or it
// holds a large body: no frame and no body storage is allocated for every message.
void TVQStompCustomClient::DispatchTaking(std::string&& Text) {
  thread_local std::shared_ptr<TVQStompFrame> Kept;
  std::shared_ptr<TVQStompFrame> Frame;
  if (Kept.use_count() == 1) {
    // Whatever a thread that held the frame did to it is seen before it is written.
    std::atomic_thread_fence(std::memory_order_acquire);
    Frame = std::move(Kept);
  } else {
    Frame = std::make_shared<TVQStompFrame>();
  }
  TVQStompFrame::ParseTaking(std::move(Text), *Frame, Rules());
  Dispatch(Frame);
  if (Frame.use_count() == 1 && Frame->GetBody().size() <= KeptCapacity) Kept = std::move(Frame);
}

void TVQStompCustomClient::Dispatch(const std::shared_ptr<IStompFrame>& Frame) {
  const std::string& Command = Frame->GetCommand();
  if (Command == "MESSAGE") {
    Notify(FOnMessageFrame, *Frame);
    StompFrameAvailable(Frame);
  } else if (Command == "RECEIPT") {
    Notify(FOnReceiptFrame, *Frame);
    SettleReceipt(*Frame, false);
  } else if (Command == "CONNECTED") {
    HandleConnected(*Frame);
  } else if (Command == "ERROR") {
    HandleError(*Frame);
  } else {
    GetLogger()->Error(u"Unknown command " + Utf8ToUtf16(Command) + u" in stomp frame");
  }
}

void TVQStompCustomClient::HandleConnected(IStompFrame& Frame) {
  AcceptVersion(Frame);
  AgreeHeartBeat(Frame);
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
  if (SettleReceipt(Frame, true)) return;
  EVQStompServerErrorMessage Error(Frame.GetHeader("message"), Frame.GetBody());
  if (!FConnected || !FOnException) throw Error;
  FOnException(*this, Error);
}

// A broker may answer 1.1 or later with 1.0 (no "version"), but only with what was offered.
void TVQStompCustomClient::AcceptVersion(IStompFrame& Frame) {
  if (GetAcceptVersion().empty()) return;
  const std::string Named = Frame.GetHeader("version");
  const auto Version = Named.empty() ? TStompVersion::V1_0 : VersionNamed(Named);
  if (!Version || !OffersVersion(*Version))
    throw EVQStompError("The broker chose STOMP version " + QuotedVisibly(Named.empty() ? "1.0" : Named) +
                        ", which was not offered (" + GetAcceptVersion() + ")");
  FVersion = *Version;
}

// Each way, the slower of what one side can do and what the other wants; none when
// either side says 0.
void TVQStompCustomClient::AgreeHeartBeat(IStompFrame& Frame) {
  const std::string Header = Frame.GetHeader("heart-beat");
  const auto Offered = SplitList(Header, ',');
  const auto Interval = [&](size_t Index) {
    return Offered.size() == 2 ? std::max(StrToIntDef(TrimControl(Offered[Index]), 0), 0) : 0;
  };
  const auto Agreed = [](int32_t Ours, int32_t Theirs) { return Ours == 0 || Theirs == 0 ? 0 : std::max(Ours, Theirs); };
  FHeartBeatSend = Agreed(GetHeartBeatSend(), Interval(1));
  FHeartBeatReceive = Agreed(GetHeartBeatReceive(), Interval(0));
}

std::string TVQStompCustomClient::ExpectReceipt() {
  std::string ReceiptID = "receipt-" + std::to_string(++FReceiptsMade);
  std::lock_guard Guard(FAwaitLock);
  FReceipts.try_emplace(ReceiptID);
  return ReceiptID;
}

void TVQStompCustomClient::ForgetReceipt(const std::string& ReceiptID) {
  std::lock_guard Guard(FAwaitLock);
  FReceipts.erase(ReceiptID);
}

// An ERROR that names no receipt most often answers one of those awaited (RabbitMQ
// names none) and ends the connection: every call waiting learns of it.
bool TVQStompCustomClient::SettleReceipt(IStompFrame& Frame, bool Refused) {
  const std::string ReceiptID = Frame.GetHeader("receipt-id");
  const TReceipt Answer{true, Refused, false, Refused ? Frame.GetHeader("message") : "",
                        Refused ? Frame.GetBody() : ""};
  std::lock_guard Guard(FAwaitLock);
  FAwaitChanged.notify_all();
  if (ReceiptID.empty() && Refused) {
    SettleAll(Answer);
    return false;
  }
  const auto Found = FReceipts.find(ReceiptID);
  if (Found == FReceipts.end()) return false;
  Found->second = Answer;
  return true;
}

void TVQStompCustomClient::SettleAll(const TReceipt& Answer) {
  for (auto& [ID, Receipt] : FReceipts)
    if (!Receipt.Arrived) Receipt = Answer;
  FAwaitChanged.notify_all();
}

void TVQStompCustomClient::AwaitReceipt(const std::string& ReceiptID, int32_t Timeout) {
  TReceipt Answer;
  try {
    AwaitFrames(
        [&] {
          const auto Found = FReceipts.find(ReceiptID);
          if (Found == FReceipts.end() || !Found->second.Arrived) return false;
          Answer = std::move(Found->second);
          return true;
        },
        Timeout);
  } catch (...) {
    ForgetReceipt(ReceiptID);
    throw;
  }
  ForgetReceipt(ReceiptID);
  if (Answer.Refused) throw EVQStompServerErrorMessage(Answer.Message, Answer.Body);
  if (Answer.Lost)
    throw EVQStompReceiptLost("The connection to the broker was lost (" + Answer.Message + ") before receipt " +
                              ReceiptID + " came; the frame may or may not have arrived");
  if (Answer.Arrived) return;
  CheckConnected("RECEIPT");
  throw EVQStompReceiptTimeout("The broker sent no receipt " + ReceiptID + " within " + std::to_string(Timeout) +
                               " ms; the frame may or may not have arrived");
}

bool TVQStompCustomClient::AwaitFramesUntil(const std::function<bool()>& Done, int32_t Timeout) {
  const TDeadline Deadline(Timeout);
  std::unique_lock Guard(FAwaitLock);
  ++FAwaiting;
  const struct TLeave {
    std::atomic<int32_t>& Count;
    ~TLeave() { --Count; }
  } Leave{FAwaiting};
  for (;;) {
    if (Done()) return true;
    if (Deadline.Expired() || !(Linked() || FResumable)) return false;
    if (!Linked() || FAwaiterReads || ReadsElsewhere()) {
      if (Deadline.IsUnlimited())
        FAwaitChanged.wait(Guard);
      else
        FAwaitChanged.wait_until(Guard, Deadline.At());
    } else if (!ReadAsAwaiter(Guard, Deadline.Wait())) {
      return false;
    }
  }
}

bool TVQStompCustomClient::ReadsElsewhere() const {
  const IStompCommAdapter* Adapter = GetCommAdapter();
  return Delivering != this && Adapter != nullptr && Adapter->IsReceiving();
}

// One awaiter reads for all; the others wait for what it delivers. False when the
// connection was closed under it.
bool TVQStompCustomClient::ReadAsAwaiter(std::unique_lock<std::mutex>& Guard, int32_t Timeout) {
  FAwaiterReads = true;
  --FAwaiting;
  Guard.unlock();
  const struct TEndReading {
    TVQStompCustomClient& Client;
    std::unique_lock<std::mutex>& Guard;
    ~TEndReading() {
      Guard.lock();
      Client.FAwaiterReads = false;
      // Another waiting call may read now.
      if (++Client.FAwaiting > 1) Client.FAwaitChanged.notify_all();
    }
  } End{*this, Guard};
  try {
    ReceiveFrame(Timeout);
    return true;
  } catch (const EVQCommError&) {
    // Close shuts the socket down under a waiting reader; that is no failure of the wait.
    if (FDisconnecting) return false;
    if (!FResumable) throw;
  } catch (const EVQStompConnectionLostError&) {
    if (!FResumable) throw;
  }
  // The wait goes on through the reconnection.
  return true;
}

void TVQStompCustomClient::WakeAwaiting() {
  if (FAwaiting == 0) return;
  std::lock_guard Guard(FAwaitLock);
  FAwaitChanged.notify_all();
}

bool TVQStompCustomClient::ReceiveFrame(int32_t Timeout) {
  IStompCommAdapter& Adapter = CommAdapter();
  try {
    return Adapter.ReceiveFrame(Timeout);
  } catch (const EVQCommError& Error) {
    // Lost already, as silent heart-beats lose it and then break the socket: say why.
    const bool LostBefore = FLost;
    ConnectionLost(Error);
    if (LostBefore) CheckConnected("RECEIVE");
    throw;
  } catch (const Exception& Error) {
    GetLogger()->Error(Utf8ToUtf16(std::string(GetClassName()) + ": " + Error.what()));
    return true;
  }
}

void TVQStompCustomClient::Notify(const TStompFrameEvent& Handler, IStompFrame& Frame) {
  if (Handler) Handler(*this, Frame);
}

void TVQStompCustomClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>&) {}

}  // namespace vq

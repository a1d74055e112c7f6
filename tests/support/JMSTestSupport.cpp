#include "JMSTestSupport.h"

#include <vqstomp/VQConsumerID.h>
#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQStompFrame.h>

#include "support/VQUnicode.h"
#ifdef VQSTOMP_WITH_TLS
#include "TLSFront.h"
#endif

namespace vq::test {

namespace {

std::shared_ptr<TTLSFront> FrontFor(TPeerTransport Transport, const TScriptedPeer& Peer) {
  if (Transport == TPeerTransport::Plain) return nullptr;
#ifdef VQSTOMP_WITH_TLS
  return std::make_shared<TTLSFront>(Peer.Port());
#else
  throw std::runtime_error("This build has no TLS");
#endif
}

std::shared_ptr<TVQJMSConnection> ConnectionTo(const TScriptedPeer& Peer, const TTLSFront* Front) {
#ifdef VQSTOMP_WITH_TLS
  if (Front != nullptr) {
    TVQConnectionOptions Options;
    Options.Host = "127.0.0.1";
    Options.Port = Front->Port();
    Options.TLS.Enabled = true;
    Options.TLS.CAFile = TLSFile("ca.pem");
    return TVQJMSConnection::CreateConnection(Options);
  }
#endif
  return TVQJMSConnection::CreateConnection("", "", "127.0.0.1", Peer.Port());
}

}  // namespace

std::vector<std::shared_ptr<IStompFrame>> SplitFrames(const std::string& Stream) {
  static const std::string Terminator("\0\n", 2);
  std::vector<std::shared_ptr<IStompFrame>> Frames;
  for (size_t Start = 0, End; (End = Stream.find(Terminator, Start)) != std::string::npos; Start = End + 2)
    Frames.push_back(TVQStompFrame::Parse(std::string_view(Stream).substr(Start, End + 2 - Start)));
  return Frames;
}

std::vector<std::string> Commands(const std::vector<std::shared_ptr<IStompFrame>>& Frames) {
  std::vector<std::string> Result;
  for (const auto& Frame : Frames) Result.push_back(Frame->GetCommand());
  return Result;
}

void TLogRecorder::Attach(ILogging& Logger) {
  Logger.SetConsoleOutput(false);
  Logger.SetOnLog([this](const std::u16string& Msg, TLogLevel Level) {
    std::lock_guard Guard(FLock);
    FLines.push_back(std::to_string(Level) + " " + Utf16ToUtf8(Msg));
  });
}

std::vector<std::string> TLogRecorder::Lines() const {
  std::lock_guard Guard(FLock);
  return FLines;
}

bool TLogRecorder::Contains(const std::string& Part) const {
  for (const auto& Line : Lines())
    if (Line.find(Part) != std::string::npos) return true;
  return false;
}

std::string BodyOf(const std::shared_ptr<IMessage>& Message) {
  if (auto TextMessage = std::dynamic_pointer_cast<ITextMessage>(Message)) return Utf16ToUtf8(TextMessage->GetText());
  if (auto Bytes = std::dynamic_pointer_cast<IBytesMessage>(Message)) return Bytes->GetContent();
  return {};
}

void TRecordingExceptionListener::OnException(const Exception& Error) {
  std::lock_guard Guard(FLock);
  FErrors.emplace_back(Error.what());
}

std::vector<std::string> TRecordingExceptionListener::Errors() const {
  std::lock_guard Guard(FLock);
  return FErrors;
}

void TRecordingListener::OnMessage(const std::shared_ptr<IMessage>& Message) {
  const std::string Text = BodyOf(Message);
  if (!FFailOn.empty() && Text == FFailOn) throw Exception("listener refused " + Text);
  std::lock_guard Guard(FLock);
  FTexts.push_back(Text);
}

std::vector<std::string> TRecordingListener::Texts() const {
  std::lock_guard Guard(FLock);
  return FTexts;
}

size_t TRecordingListener::Count() const {
  std::lock_guard Guard(FLock);
  return FTexts.size();
}

TPeerConnection::TPeerConnection(TPeerTransport Transport)
    : Front(FrontFor(Transport, Peer)), Connection(ConnectionTo(Peer, Front.get())) {
  Log.Attach(*Connection->GetClient().GetLogger());
  Peer.SetAutoConnected(true);
  Connection->Start();
}

TPeerConnection::~TPeerConnection() { Connection.reset(); }

std::vector<std::shared_ptr<IStompFrame>> TPeerConnection::FramesAfterConnect() const {
  auto Frames = SplitFrames(Peer.Received());
  Frames.erase(Frames.begin());
  return Frames;
}

std::string MessageFrame(const std::string& Subscription, const std::string& Body) {
  return "MESSAGE\nmessage-id:id-" + Body + "\nsubscription:" + Subscription + "\n\n" + Body + std::string("\0\n", 2);
}

std::string ConsumerIDOf(const std::shared_ptr<IMessageConsumer>& Consumer) {
  return std::dynamic_pointer_cast<IConsumerIdentity>(Consumer)->GetConsumerID().ConsumerID;
}

TReceiptAnswerer::TReceiptAnswerer(TScriptedPeer& Peer, int First)
    : FPeer(Peer), FThread([this, First] { Run(First); }) {}

TReceiptAnswerer::~TReceiptAnswerer() {
  FStop = true;
  FThread.join();
}

void TReceiptAnswerer::Run(int First) {
  for (int N = First; !FStop;) {
    const std::string Asked = "\nreceipt:receipt-" + std::to_string(N) + "\n";
    if (!FPeer.WaitForReceived(Asked, std::chrono::milliseconds(50))) continue;
    FPeer.Send("RECEIPT\nreceipt-id:receipt-" + std::to_string(N++) + "\n\n" + std::string("\0\n", 2));
  }
}

}  // namespace vq::test

// Request and reply over queues. A responder, listening on the request queue, answers
// each request on the queue that its reply-to names and copies its correlation id; the
// requester sends one request at a time and matches the reply to it by that id.
// Both run in this process, each on a connection of its own.
//   request_reply [host:port]

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include <vqstomp/vqstomp.h>

#include "ExampleSupport.h"

using namespace vq;
using namespace vq::examples;

namespace {

constexpr int RequestCount = 3;
constexpr std::chrono::seconds ReplyLimit{10};

std::string Answer(std::string Request) {
  std::transform(Request.begin(), Request.end(), Request.begin(),
                 [](unsigned char Letter) { return static_cast<char>(std::toupper(Letter)); });
  return Request;
}

// Runs on the responder connection's read thread, one request at a time.
class TResponder : public IMessageListener {
public:
  explicit TResponder(std::shared_ptr<ISession> Session)
      : FSession(std::move(Session)), FProducer(FSession->CreateProducer(nullptr)) {}

  void OnMessage(const std::shared_ptr<IMessage>& Request) override {
    auto Reply = FSession->CreateTextMessage(Answer(BodyOf(Request)));
    Reply->SetJMSCorrelationID(Request->GetJMSCorrelationID());
    FProducer->Send(FSession->CreateQueue(Request->GetJMSReplyTo()), Reply);
  }

private:
  const std::shared_ptr<ISession> FSession;
  const std::shared_ptr<IMessageProducer> FProducer;
};

// Faults on the read thread reach no call of the program: they are told here, and the
// requester then waits in vain for its reply and stops with its own error.
class TFaultReporter : public IExceptionListener {
public:
  void OnException(const Exception& Error) override { std::cerr << "responder: " << Error.what() << '\n'; }
};

void RequestReply(const TVQConnectionOptions& Broker) {
  const std::string Suffix = UniqueSuffix();
  const std::string RequestQueue = "/queue/requests." + Suffix;
  const std::string ReplyQueue = "/queue/replies." + Suffix;

  const auto ResponderConnection = Connect(Broker);
  ResponderConnection->SetExceptionListener(std::make_shared<TFaultReporter>());
  const auto ResponderSession = ResponderConnection->CreateSession(false, AckModeAuto);
  ResponderSession->CreateConsumer(ResponderSession->CreateQueue(RequestQueue))
      ->SetMessageListener(std::make_shared<TResponder>(ResponderSession));

  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Replies = Session->CreateConsumer(Session->CreateQueue(ReplyQueue));
  const auto Producer = Session->CreateProducer(Session->CreateQueue(RequestQueue));
  for (int Number = 1; Number <= RequestCount; ++Number) {
    const std::string CorrelationID = "request-" + std::to_string(Number);
    auto Request = Session->CreateTextMessage("hello " + std::to_string(Number));
    Request->SetJMSCorrelationID(CorrelationID);
    Request->SetJMSReplyTo(ReplyQueue);
    Producer->Send(Request);

    const auto Reply = ReceiveWithin(*Replies, ReplyLimit, "reply to " + CorrelationID);
    Check(Reply->GetJMSCorrelationID() == CorrelationID,
          "the reply to " + CorrelationID + " carries the correlation id \"" + Reply->GetJMSCorrelationID() + "\"");
    std::cout << "reply to " << CorrelationID << ": " << BodyOf(Reply) << '\n';
  }

  Connection->Close();
  // Closing the session also lets go of the listener, which holds the session.
  ResponderSession->Close();
  ResponderConnection->Close();
}

}  // namespace

int main(int argc, char** argv) { return RunExample(argc, argv, RequestReply); }

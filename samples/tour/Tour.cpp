// A tour of the API against a STOMP broker on localhost:61613.

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <vqstomp/vqstomp.h>

using namespace vq;

// RabbitMQ delivers every message as a bytes message, ActiveMQ keeps text messages.
std::string Describe(const std::shared_ptr<IMessage>& Message) {
  if (auto Text = std::dynamic_pointer_cast<ITextMessage>(Message)) return Text->GetTextUtf8();
  if (auto Bytes = std::dynamic_pointer_cast<IBytesMessage>(Message)) return Bytes->GetContent();
  return "(no body)";
}

// Listeners run on the connection's background read thread.
class TFirstMessage : public IMessageListener {
public:
  void OnMessage(const std::shared_ptr<IMessage>& Message) override {
    if (!FTaken.exchange(true)) FText.set_value(Describe(Message));
  }
  std::future<std::string> Text() { return FText.get_future(); }

private:
  std::atomic<bool> FTaken{false};
  std::promise<std::string> FText;
};

void Tour() {
  // Everything made from a connection needs it alive; Start opens the network link.
  auto Connection = TVQJMSConnection::CreateConnection("", "", "localhost", 61613);
  Connection->Start();

  // Polling with Receive; in client acknowledgement each message is acknowledged.
  auto Session = Connection->CreateSession(false, AckModeClient);
  auto Queue = Session->CreateQueue("/queue/tour");
  auto Consumer = Session->CreateConsumer(Queue);
  Session->CreateProducer(Queue)->Send(Session->CreateTextMessage("Hello"));
  auto Message = Consumer->Receive(std::chrono::seconds(5));  // none when nothing came in time
  if (!Message) throw std::runtime_error("no message within 5 s");
  Message->Acknowledge();
  std::cout << "received: " << Describe(Message) << '\n';
  Session->Close();  // unsubscribes its consumers

  // A listener, called on the connection's read thread; Receive on other consumers of
  // the connection still works.
  auto Listening = Connection->CreateSession(false, AckModeAuto);
  auto Listener = std::make_shared<TFirstMessage>();
  auto Arrived = Listener->Text();
  Listening->CreateConsumer(Queue)->SetMessageListener(Listener);

  // A transacted session: its messages reach the queue only when committed.
  auto Transacted = Connection->CreateSession(true, AckModeTransacted);
  auto Producer = Transacted->CreateProducer(Queue);
  Producer->Send(Transacted->CreateTextMessage("rolled back"));
  Transacted->Rollback();
  Producer->Send(Transacted->CreateTextMessage("committed"));
  Transacted->Commit();
  if (Arrived.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
    throw std::runtime_error("the listener got nothing within 5 s");
  std::cout << "listener: " << Arrived.get() << '\n';

  Listening->Close();
  Transacted->Close();
  Connection->Close();
}

int main() {
  try {
    Tour();
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}

// Publish and subscribe on a topic: each of two subscribers, on connections of their
// own, gets every price the publisher sends, with the typed properties it carries.
//   pub_sub [host:port]

#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vqstomp/vqstomp.h>

#include "ExampleSupport.h"

using namespace vq;
using namespace vq::examples;

namespace {

struct TPrice {
  std::string Symbol;
  double Price;
  int32_t Volume;
  int64_t Sequence;
  bool Closing;
};

const std::vector<TPrice> Prices = {
    {"ACME", 12.5, 300, 9000000001, false},
    {"GLOBEX", 7.25, 120, 9000000002, false},
    {"INITECH", 101.75, 45, 9000000003, true},
};

// Probes and prices share the topic; subscribers tell them apart by this property.
constexpr char KindProperty[] = "kind";
constexpr char ProbeKind[] = "probe";
constexpr int MaxProbes = 50;
constexpr std::chrono::milliseconds ProbeWait{200};
constexpr std::chrono::seconds PriceLimit{10};

struct TSubscriber {
  std::string Name;
  std::shared_ptr<TVQJMSConnection> Connection;
  std::shared_ptr<IMessageConsumer> Consumer;
  bool Subscribed = false;
};

TSubscriber Subscribe(const TVQConnectionOptions& Broker, const std::string& Name, const std::string& Topic) {
  auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  auto Consumer = Session->CreateConsumer(Session->CreateTopic(Topic));
  return {Name, std::move(Connection), std::move(Consumer)};
}

void Publish(ISession& Session, IMessageProducer& Publisher, const TPrice& Price) {
  auto Message = Session.CreateTextMessage(Price.Symbol);
  const auto Properties = Message->GetProperties();
  Properties->SetString(KindProperty, "price");
  Properties->SetString("symbol", Price.Symbol);
  Properties->SetDouble("price", Price.Price);
  Properties->SetInt("volume", Price.Volume);
  Properties->SetLong("sequence", Price.Sequence);
  Properties->SetBoolean("closing", Price.Closing);
  Publisher.Send(Message);
}

// A topic keeps nothing for a subscriber whose SUBSCRIBE the broker has not handled yet,
// and nothing answers a SUBSCRIBE: probes go out until every subscriber has seen one.
void AwaitSubscriptions(ISession& Session, IMessageProducer& Publisher, std::vector<TSubscriber>& Subscribers) {
  for (int Probe = 1; Probe <= MaxProbes; ++Probe) {
    auto Message = Session.CreateTextMessage(std::string(ProbeKind));
    Message->GetProperties()->SetString(KindProperty, ProbeKind);
    Publisher.Send(Message);
    bool AllSubscribed = true;
    for (auto& Subscriber : Subscribers) {
      if (!Subscriber.Subscribed) Subscriber.Subscribed = Subscriber.Consumer->Receive(ProbeWait) != nullptr;
      AllSubscribed = AllSubscribed && Subscriber.Subscribed;
    }
    if (AllSubscribed) return;
  }
  throw std::runtime_error("a subscriber saw none of " + std::to_string(MaxProbes) + " probes");
}

// Probes still on their way are passed over.
std::shared_ptr<IMessage> NextPrice(TSubscriber& Subscriber) {
  for (;;) {
    auto Message = ReceiveWithin(*Subscriber.Consumer, PriceLimit, "price for " + Subscriber.Name);
    if (Message->GetProperties()->GetString(KindProperty) != ProbeKind) return Message;
  }
}

void PrintPrice(const std::string& Subscriber, const IMessage& Message) {
  const auto Properties = Message.GetProperties();
  std::cout << Subscriber << ": " << Properties->GetString("symbol") << " price=" << Properties->GetDouble("price")
            << " volume=" << Properties->GetInt("volume") << " sequence=" << Properties->GetLong("sequence")
            << " closing=" << std::boolalpha << Properties->GetBoolean("closing") << '\n';
}

void PubSub(const TVQConnectionOptions& Broker) {
  const std::string Topic = "/topic/prices." + UniqueSuffix();
  std::vector<TSubscriber> Subscribers;
  for (const char* Name : {"subscriber 1", "subscriber 2"}) Subscribers.push_back(Subscribe(Broker, Name, Topic));

  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Publisher = Session->CreateProducer(Session->CreateTopic(Topic));
  AwaitSubscriptions(*Session, *Publisher, Subscribers);

  for (const auto& Price : Prices) Publish(*Session, *Publisher, Price);
  for (auto& Subscriber : Subscribers)
    for (const auto& Price : Prices) {
      const auto Message = NextPrice(Subscriber);
      Check(BodyOf(Message) == Price.Symbol,
            Subscriber.Name + " got " + BodyOf(Message) + " instead of " + Price.Symbol);
      PrintPrice(Subscriber.Name, *Message);
    }

  Connection->Close();
  for (const auto& Subscriber : Subscribers) Subscriber.Connection->Close();
}

}  // namespace

int main(int argc, char** argv) { return RunExample(argc, argv, PubSub); }

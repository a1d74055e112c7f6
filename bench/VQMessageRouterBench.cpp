#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQMessageConsumer.h>

#include "TypicalFrames.h"
#include "messaging/VQMessageRouter.h"

using namespace vq;

namespace {

class TCountingListener : public IMessageListener {
public:
  void OnMessage(const std::shared_ptr<IMessage>&) override { ++Count; }
  int64_t Count = 0;
};

// A router with Consumers listener consumers. The typical message goes to the first and
// the last consumer by turns, so that with more than one each lookup is a search.
struct TRouting {
  explicit TRouting(int64_t Consumers) : Router(Client) {
    for (int64_t I = 0; I < Consumers; ++I) {
      auto Consumer = std::make_shared<TVQMessageConsumer>(Session, std::make_unique<TVQConsumerID>(), nullptr);
      Router.SetListener(Router.Add(*Consumer, "/queue/a", false), *Consumer, Listener);
      if (I == 0 || I == Consumers - 1) Messages.push_back(MessageFor(Consumer->GetConsumerID().ConsumerID));
    }
  }

  static std::shared_ptr<TVQJMSMessage> MessageFor(const std::string& Subscription) {
    auto Frame = vq::bench::TypicalMessage(false);
    Frame->SetHeader("subscription", Subscription);
    return TVQJMSTextMessage::FromFrame(*Frame);
  }

  TVQJMSClient Client;
  TVQMessageRouter Router;
  std::shared_ptr<TVQJMSSession> Session = std::make_shared<TVQJMSSession>(std::weak_ptr<TVQJMSConnection>(), false,
                                                                           AckModeAuto);
  std::shared_ptr<TCountingListener> Listener = std::make_shared<TCountingListener>();
  std::vector<std::shared_ptr<TVQJMSMessage>> Messages;
};

// What routing adds to every received message: finding the consumer of its subscription
// among Consumers, queueing it and handing it to the listener.
void BM_RouteToListener(benchmark::State& State) {
  TRouting Routing(State.range(0));
  size_t Next = 0;
  for (auto _ : State) Routing.Router.Route(Routing.Messages[Next++ % Routing.Messages.size()]);
  if (Routing.Listener->Count != State.iterations()) State.SkipWithError("messages lost");
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_RouteToListener)->ArgName("consumers")->Arg(1)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();

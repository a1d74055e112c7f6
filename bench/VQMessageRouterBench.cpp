#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "TypicalFrames.h"
#include "VQJMSConnection.h"
#include "VQJMSTextMessage.h"
#include "VQMessageConsumer.h"
#include "VQMessageRouter.h"

using namespace vq;

namespace {

class TCountingListener : public IMessageListener {
public:
  void OnMessage(const std::shared_ptr<IMessage>&) override { ++Count; }
  int64_t Count = 0;
};

// A router with Consumers listener consumers; the typical message is for the last one.
struct TRouting {
  explicit TRouting(int64_t Consumers) : Router(Client) {
    for (int64_t I = 0; I < Consumers; ++I) {
      auto Consumer = std::make_shared<TVQMessageConsumer>(Session, std::make_unique<TVQConsumerID>(), nullptr);
      Consumer->StoreListener(Listener);
      Router.Add(Consumer, "/queue/a");
      Target = Consumer->GetConsumerID().ConsumerID;
    }
    auto Frame = vq::bench::TypicalMessage(false);
    Frame->SetHeader("subscription", Target);
    Message = TVQJMSTextMessage::FromFrame(*Frame);
  }

  TVQJMSClient Client;
  TVQMessageRouter Router;
  std::shared_ptr<TVQJMSSession> Session = std::make_shared<TVQJMSSession>(std::weak_ptr<TVQJMSConnection>(), false,
                                                                           AckModeAuto);
  std::shared_ptr<TCountingListener> Listener = std::make_shared<TCountingListener>();
  std::string Target;
  std::shared_ptr<TVQJMSMessage> Message;
};

// What routing adds to every received message: finding the consumer of its subscription
// among Consumers, queueing it and handing it to the listener.
void BM_RouteToListener(benchmark::State& State) {
  TRouting Routing(State.range(0));
  for (auto _ : State) Routing.Router.Route(Routing.Message);
  if (Routing.Listener->Count != State.iterations()) State.SkipWithError("messages lost");
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_RouteToListener)->ArgName("consumers")->Arg(1)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();

// Sends numbered messages to a fresh queue and takes them back with a listener, as a
// service would; the tests start it with standard output closed.
//   ListenerProgram HOST PORT COUNT    exit 0 once every message arrived in order

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include <vqstomp/VQJMSConnection.h>

#include "support/VQGuid.h"
#include "support/VQUnicode.h"

using namespace vq;

namespace {

class TCountingListener : public IMessageListener {
public:
  void OnMessage(const std::shared_ptr<IMessage>& Message) override {
    auto Text = std::dynamic_pointer_cast<ITextMessage>(Message);
    auto Bytes = std::dynamic_pointer_cast<IBytesMessage>(Message);
    const std::string Body = Text ? Utf16ToUtf8(Text->GetText()) : Bytes ? Bytes->GetContent() : "";
    std::lock_guard Guard(FLock);
    FInOrder = FInOrder && Body == std::to_string(FCount + 1);
    ++FCount;
    FChanged.notify_all();
  }

  // Whether Count messages arrived, in order, within the limit.
  bool AwaitInOrder(int Count) {
    std::unique_lock Guard(FLock);
    FChanged.wait_for(Guard, std::chrono::seconds(60), [&] { return FCount >= Count; });
    std::cerr << "received " << FCount << " of " << Count << (FInOrder ? " in order" : " out of order") << '\n';
    return FCount == Count && FInOrder;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  int FCount = 0;
  bool FInOrder = true;
};

bool Run(const std::string& Host, int32_t Port, int Count) {
  auto Connection = TVQJMSConnection::CreateConnection("", "", Host, Port);
  Connection->Start();
  auto Session = Connection->CreateSession(false, AckModeAuto);
  auto Queue = Session->CreateQueue("/queue/vqstomp-listener-program-" + NewGuidText());
  auto Listener = std::make_shared<TCountingListener>();
  Session->CreateConsumer(Queue)->SetMessageListener(Listener);
  auto Producer = Session->CreateProducer(Queue);
  for (int I = 1; I <= Count; ++I) Producer->Send(Session->CreateTextMessage(Utf8ToUtf16(std::to_string(I))));
  const bool Complete = Listener->AwaitInOrder(Count);
  Session->Close();
  Connection->Close();
  return Complete;
}

}  // namespace

int main(int Count, char** Arguments) {
  if (Count != 4) {
    std::cerr << "usage: ListenerProgram HOST PORT COUNT\n";
    return 2;
  }
  try {
    return Run(Arguments[1], std::stoi(Arguments[2]), std::stoi(Arguments[3])) ? 0 : 1;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}

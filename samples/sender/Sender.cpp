// Sends 2000 numbered text messages to /queue/a.

#include <chrono>
#include <thread>

#include "SampleSupport.h"

namespace vq::samples {
namespace {

void SendMessages(ILogging& Logger, ISession& Session) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (int32_t Number = 1; Number <= MessageCount; ++Number) {
    Logger.Info("Sending test message " + std::to_string(Number) + " to " + QueueName + " ...");
    const auto Producer = Session.CreateProducer(Session.CreateQueue(QueueName));
    Producer->Send(Session.CreateTextMessage("This is test message " + std::to_string(Number)));
  }
}

void RunSender() {
  const auto Logger = CreateLogger();
  const auto Connection = ConnectToServer(*Logger);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  RunThenCleanUp([&] { SendMessages(*Logger, *Session); },
                 [&] {
                   WaitForEnter(*Logger);
                   Connection->Close();
                 });
}

}  // namespace
}  // namespace vq::samples

int main() { return vq::samples::RunProgram(vq::samples::RunSender); }

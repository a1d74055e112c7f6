// Receives and acknowledges 2000 messages from /queue/a, logging each one.

#include <chrono>
#include <thread>

#include "SampleSupport.h"

namespace vq::samples {
namespace {

// RabbitMQ marks every message with a content length, which makes it a bytes message
// whose content is the sender's text as UTF-8.
std::string MessageText(const std::shared_ptr<IMessage>& Message) {
  if (const auto TextMessage = std::dynamic_pointer_cast<ITextMessage>(Message)) return TextMessage->GetTextUtf8();
  if (const auto BytesMessage = std::dynamic_pointer_cast<IBytesMessage>(Message))
    return BytesMessage->GetContent();
  return {};
}

void ReceiveMessages(ILogging& Logger, TVQJMSConnection& Connection, ISession& Session) {
  Logger.Info("Wait for " + std::to_string(MessageCount) + " incoming messages");
  const auto Consumer = Session.CreateConsumer(Session.CreateQueue(QueueName));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int32_t Count = 0;
  while (Count < MessageCount) {
    const auto Message = Consumer->Receive(1000);
    if (!Message) continue;
    ++Count;
    Connection.GetClient().Ack(Message->GetJMSMessageID(), "");
    Logger.Info(std::to_string(Count) + " " + MessageText(Message));
  }
}

void RunReceiver() {
  const auto Logger = CreateLogger();
  const auto Connection = ConnectToServer(*Logger);
  const auto Session = Connection->CreateSession(false, AckModeClient);
  RunThenCleanUp(
      [&] {
        try {
          ReceiveMessages(*Logger, *Connection, *Session);
        } catch (const Exception& Error) {
          Logger->Info(std::string("Exception: ") + Error.what());
        }
      },
      [&] {
        WaitForEnter(*Logger);
        Session->Close();
        Connection->Close();
      });
}

}  // namespace
}  // namespace vq::samples

int main() { return vq::samples::RunProgram(vq::samples::RunReceiver); }

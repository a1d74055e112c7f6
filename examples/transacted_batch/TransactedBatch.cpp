// Transactions. What a transacted session sends reaches the queue only when committed;
// what it acknowledges counts as taken only when committed, so a rolled back receipt
// gets the same messages again.
//   transacted_batch [host:port]

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include <vqstomp/vqstomp.h>

#include "ExampleSupport.h"

using namespace vq;
using namespace vq::examples;

namespace {

constexpr int BatchSize = 3;
constexpr std::chrono::seconds MessageLimit{10};
// Long enough for a message still held by the broker to arrive.
constexpr std::chrono::seconds EmptyQueueWait{2};

std::string BatchMessage(const std::string& Batch, int Number) { return Batch + " message " + std::to_string(Number); }

void SendBatch(ISession& Session, IMessageProducer& Producer, const std::string& Batch) {
  for (int Number = 1; Number <= BatchSize; ++Number)
    Producer.Send(Session.CreateTextMessage(BatchMessage(Batch, Number)));
}

// The whole batch, in order, each message acknowledged (within the session's transaction).
void ReceiveBatch(IMessageConsumer& Consumer, const std::string& Batch, const std::string& Label) {
  for (int Number = 1; Number <= BatchSize; ++Number) {
    const std::string Expected = BatchMessage(Batch, Number);
    const auto Message = ReceiveWithin(Consumer, MessageLimit, Expected);
    Check(BodyOf(Message) == Expected, "got \"" + BodyOf(Message) + "\" instead of \"" + Expected + "\"");
    Message->Acknowledge();
    std::cout << Label << ": " << Expected << '\n';
  }
}

void SendCommittedBatch(const TVQConnectionOptions& Broker, const std::string& Queue) {
  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(true, AckModeTransacted);
  const auto Producer = Session->CreateProducer(Session->CreateQueue(Queue));
  SendBatch(*Session, *Producer, "batch 1");
  Session->Rollback();
  std::cout << "sent and rolled back batch 1\n";
  SendBatch(*Session, *Producer, "batch 2");
  Session->Commit();
  std::cout << "sent and committed batch 2\n";
  Connection->Close();
}

// Client acknowledgement in a transacted session: each acknowledgement joins the
// transaction, and a rollback withdraws it. The broker still counts the messages as
// handed to this connection then: RabbitMQ gives them to nobody else until the
// connection ends (not even on unsubscribing), so they come again on the next one.
void ReceiveInTransaction(const TVQConnectionOptions& Broker, const std::string& Queue, bool Commit) {
  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(true, AckModeClient);
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue(Queue));
  ReceiveBatch(*Consumer, "batch 2", Commit ? "received again" : "received");
  Commit ? Session->Commit() : Session->Rollback();
  std::cout << (Commit ? "committed" : "rolled back") << " the receipt\n";
  Connection->Close();
}

void CheckQueueEmpty(const TVQConnectionOptions& Broker, const std::string& Queue) {
  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Left = Session->CreateConsumer(Session->CreateQueue(Queue))->Receive(EmptyQueueWait);
  Check(Left == nullptr, "\"" + (Left ? BodyOf(Left) : "") + "\" came once more");
  std::cout << "the queue is empty\n";
  Connection->Close();
}

void TransactedBatch(const TVQConnectionOptions& Broker) {
  const std::string Queue = "/queue/batch." + UniqueSuffix();
  SendCommittedBatch(Broker, Queue);
  ReceiveInTransaction(Broker, Queue, false);
  ReceiveInTransaction(Broker, Queue, true);
  CheckQueueEmpty(Broker, Queue);
}

}  // namespace

int main(int argc, char** argv) { return RunExample(argc, argv, TransactedBatch); }

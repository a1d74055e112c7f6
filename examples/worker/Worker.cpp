// A worker with client acknowledgement: a job that its worker received but did not
// acknowledge goes back to the queue when that worker's connection ends, and reaches the
// next worker; once acknowledged, it is gone.
//   worker [host:port]

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include <vqstomp/vqstomp.h>

#include "ExampleSupport.h"

using namespace vq;
using namespace vq::examples;

namespace {

constexpr char JobID[] = "job-42";
constexpr std::chrono::seconds JobLimit{10};
// Long enough for a job still held by the broker to arrive.
constexpr std::chrono::seconds EmptyQueueWait{2};

struct TWorker {
  std::shared_ptr<TVQJMSConnection> Connection;
  std::shared_ptr<IMessageConsumer> Jobs;
};

TWorker StartWorker(const TVQConnectionOptions& Broker, const std::string& Queue) {
  auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeClient);
  auto Jobs = Session->CreateConsumer(Session->CreateQueue(Queue));
  return {std::move(Connection), std::move(Jobs)};
}

void PostJob(const TVQConnectionOptions& Broker, const std::string& Queue) {
  const auto Connection = Connect(Broker);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  auto Job = Session->CreateTextMessage("resize image 42");
  Job->GetProperties()->SetString("job-id", JobID);
  Session->CreateProducer(Session->CreateQueue(Queue))->Send(Job);
  Connection->Close();
}

std::shared_ptr<IMessage> TakeJob(TWorker& Worker, const std::string& WorkerName) {
  auto Job = ReceiveWithin(*Worker.Jobs, JobLimit, "job for " + WorkerName);
  const std::string ID = Job->GetProperties()->GetString("job-id");
  Check(ID == JobID, WorkerName + " got " + ID + " instead of " + JobID);
  return Job;
}

void Worker(const TVQConnectionOptions& Broker) {
  const std::string Queue = "/queue/jobs." + UniqueSuffix();
  PostJob(Broker, Queue);

  TWorker First = StartWorker(Broker, Queue);
  const auto Job = TakeJob(First, "worker 1");
  std::cout << "worker 1 took " << JobID << ": " << BodyOf(Job) << '\n';
  First.Connection->Close();
  std::cout << "worker 1 stopped without acknowledging " << JobID << '\n';

  TWorker Second = StartWorker(Broker, Queue);
  const auto Again = TakeJob(Second, "worker 2");
  // Reliable on both brokers (ActiveMQ 5.17, RabbitMQ 3.10): each sends "redelivered"
  // "true" for a message that went back to the queue unacknowledged, RabbitMQ as it was
  // requeued, ActiveMQ as its delivery count went up when its consumer went away.
  Check(Again->GetJMSRedelivered(), "the job came again without the redelivered mark");
  std::cout << "worker 2 took " << JobID << " again, redelivered\n";
  Again->Acknowledge();
  std::cout << "worker 2 acknowledged " << JobID << '\n';
  Second.Connection->Close();

  TWorker Third = StartWorker(Broker, Queue);
  Check(Third.Jobs->Receive(EmptyQueueWait) == nullptr, "the acknowledged job came once more");
  std::cout << "worker 3 found the queue empty\n";
  Third.Connection->Close();
}

}  // namespace

int main(int argc, char** argv) { return RunExample(argc, argv, Worker); }

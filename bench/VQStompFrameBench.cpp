#include <benchmark/benchmark.h>

#include "VQStompFrame.h"

using namespace vq;

namespace {

std::shared_ptr<IStompFrame> TypicalMessage() {
  auto Frame = std::make_shared<TVQStompFrame>();
  Frame->SetCommand("MESSAGE");
  Frame->SetHeader("message-id", "ID:host-40123-1765254580000-3:1:1:1:42");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetHeader("subscription", "{0F8FAD5B-D9CB-469F-A165-70867728950E}");
  Frame->SetHeader("timestamp", "1765254580123");
  Frame->SetHeader("expires", "0");
  Frame->SetHeader("priority", "4");
  Frame->SetBody(std::string(100, 'x'));
  return Frame;
}

std::shared_ptr<IStompFrame> TypicalSend() {
  auto Frame = std::make_shared<TVQStompFrame>();
  Frame->SetCommand("SEND");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetBody("This is test message 1234");
  return Frame;
}

void BM_OutputMessage(benchmark::State& State) {
  const auto Frame = TypicalMessage();
  for (auto _ : State) benchmark::DoNotOptimize(Frame->Output());
}
BENCHMARK(BM_OutputMessage);

void BM_OutputSend(benchmark::State& State) {
  const auto Frame = TypicalSend();
  for (auto _ : State) benchmark::DoNotOptimize(Frame->Output());
}
BENCHMARK(BM_OutputSend);

// As the transport hands it over: a text message without its terminator.
void BM_ParseMessage(benchmark::State& State) {
  std::string Text = TypicalMessage()->Output();
  Text.resize(Text.size() - 2);
  for (auto _ : State) benchmark::DoNotOptimize(TVQStompFrame::Parse(Text));
}
BENCHMARK(BM_ParseMessage);

void BM_ParseMessageWithContentLength(benchmark::State& State) {
  auto Frame = TypicalMessage();
  Frame->SetHeader("content-length", "100");
  const std::string Text = Frame->Output();
  for (auto _ : State) benchmark::DoNotOptimize(TVQStompFrame::Parse(Text));
}
BENCHMARK(BM_ParseMessageWithContentLength);

void BM_ParseSend(benchmark::State& State) {
  const std::string Text = TypicalSend()->Output();
  for (auto _ : State) benchmark::DoNotOptimize(TVQStompFrame::Parse(Text));
}
BENCHMARK(BM_ParseSend);

}  // namespace

BENCHMARK_MAIN();

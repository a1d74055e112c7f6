#include <benchmark/benchmark.h>

#include <vqstomp/VQStompFrame.h>

#include "TypicalFrames.h"

using namespace vq;

namespace {

std::shared_ptr<IStompFrame> TypicalSend() {
  auto Frame = std::make_shared<TVQStompFrame>();
  Frame->SetCommand("SEND");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetBody("This is test message 1234");
  return Frame;
}

void BM_OutputMessage(benchmark::State& State) {
  const auto Frame = bench::TypicalMessage(false);
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
  std::string Text = bench::TypicalMessage(false)->Output();
  Text.resize(Text.size() - 2);
  for (auto _ : State) benchmark::DoNotOptimize(TVQStompFrame::Parse(Text));
}
BENCHMARK(BM_ParseMessage);

void BM_ParseMessageWithContentLength(benchmark::State& State) {
  const std::string Text = bench::TypicalMessage(true)->Output();
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

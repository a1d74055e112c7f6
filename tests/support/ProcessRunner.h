#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vq::test {

// What a finished program left behind.
struct TRun {
  int ExitCode = -1;
  bool TimedOut = false;
  std::string Out;
  std::string Err;
};

struct TRunOptions {
  // Waiting on standard input, as a user hitting Enter.
  std::string Input = "\n";
  // Starts the program with standard output closed, as a service may be.
  bool CloseStdout = false;
  // Killed when it runs longer.
  std::chrono::seconds Limit{180};
};

// Runs Command (the program's path first) and collects its outputs.
TRun RunProgram(const std::vector<std::string>& Command, const TRunOptions& Options = {});

}  // namespace vq::test

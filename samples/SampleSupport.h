#pragma once

// What the sender and receiver programs have in common: the broker and queue they use,
// their first log lines, the wait for Enter and the report of an escaping exception.

#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include <vqstomp/vqstomp.h>

namespace vq::samples {

inline constexpr char BrokerHost[] = "localhost";
inline constexpr int32_t BrokerPort = 61613;
inline constexpr char QueueName[] = "/queue/a";
inline constexpr int32_t MessageCount = 2000;

// A console logger whose first line names the toolchain that built the program.
inline std::shared_ptr<ILogging> CreateLogger() {
  std::shared_ptr<ILogging> Logger = std::make_shared<TSimpleLogger>();
  Logger->Info(std::string("Compiler: ") + VQSTOMP_COMPILER);
  return Logger;
}

inline std::shared_ptr<TVQJMSConnection> ConnectToServer(ILogging& Logger) {
  Logger.Info(u"Connect to server");
  auto Connection = TVQJMSConnection::CreateConnection("", "", BrokerHost, BrokerPort);
  Connection->Start();
  return Connection;
}

// Runs CleanUp after Body, also when Body throws; Body's exception then goes on.
template <typename TBody, typename TCleanUp>
void RunThenCleanUp(TBody Body, TCleanUp CleanUp) {
  try {
    Body();
  } catch (...) {
    CleanUp();
    throw;
  }
  CleanUp();
}

// Waits for a whole line: a console delivers nothing before Enter anyway.
inline void WaitForEnter(ILogging& Logger) {
  Logger.Info(u"Hit any key");
  std::string Line;
  std::getline(std::cin, Line);
}

// An exception that escapes the program ends it with its message and exit code 1.
inline int RunProgram(void (*Program)()) {
  try {
    Program();
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}

}  // namespace vq::samples

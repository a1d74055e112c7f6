#pragma once

// What the example applications share: the broker argument, destination names of their
// own for each run, the body of a message whichever broker delivered it, waiting for a
// message with a limit, and the report of a failure.

#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include <vqstomp/vqstomp.h>

namespace vq::examples {

inline constexpr char DefaultBroker[] = "localhost:61613";

// "host:port" as given on the command line.
inline TVQConnectionOptions ParseBroker(const std::string& Address) {
  const size_t Colon = Address.rfind(':');
  if (Colon == std::string::npos || Colon == 0 || Colon + 1 == Address.size())
    throw std::invalid_argument("the broker must be given as host:port, not \"" + Address + "\"");
  TVQConnectionOptions Options;
  Options.Host = Address.substr(0, Colon);
  try {
    Options.Port = std::stoi(Address.substr(Colon + 1));
  } catch (const std::logic_error&) {
    throw std::invalid_argument("the port in \"" + Address + "\" is not a number");
  }
  return Options;
}

inline std::shared_ptr<TVQJMSConnection> Connect(const TVQConnectionOptions& Options) {
  auto Connection = TVQJMSConnection::CreateConnection(Options);
  try {
    Connection->Start();
  } catch (const EVQCommError& Error) {
    // A socket error does not say which broker it met.
    throw std::runtime_error("no connection to " + Options.Host + ":" + std::to_string(Options.Port) + ": " +
                             Error.what());
  }
  return Connection;
}

// Time and chance together: reruns, and runs sharing a broker, never meet each other's
// messages. Letters and digits only, so that it fits any broker's names.
inline std::string UniqueSuffix() {
  const auto Now = std::chrono::system_clock::now().time_since_epoch();
  std::ostringstream Suffix;
  Suffix << std::chrono::duration_cast<std::chrono::milliseconds>(Now).count() << 'x' << std::hex
         << std::random_device{}();
  return Suffix.str();
}

// RabbitMQ delivers every message as a bytes message (it adds content-length), ActiveMQ
// keeps text messages: the text is the body either way.
inline std::string BodyOf(const std::shared_ptr<IMessage>& Message) {
  if (const auto Text = std::dynamic_pointer_cast<ITextMessage>(Message)) return Text->GetTextUtf8();
  if (const auto Bytes = std::dynamic_pointer_cast<IBytesMessage>(Message)) return Bytes->GetContent();
  throw std::runtime_error("a message without a body arrived");
}

inline void Check(bool Condition, const std::string& Failure) {
  if (!Condition) throw std::runtime_error(Failure);
}

// The next message, or an error naming what did not arrive in time.
inline std::shared_ptr<IMessage> ReceiveWithin(IMessageConsumer& Consumer, std::chrono::milliseconds Limit,
                                               const std::string& Awaited) {
  auto Message = Consumer.Receive(Limit);
  Check(Message != nullptr, "no " + Awaited + " within " + std::to_string(Limit.count()) + " ms");
  return Message;
}

// Runs Example against the broker named by the only optional argument; a failure ends
// the program with "Error: ..." on standard error and exit code 1.
inline int RunExample(int argc, char** argv, void (*Example)(const TVQConnectionOptions& Broker)) {
  try {
    Check(argc <= 2, std::string("usage: ") + argv[0] + " [host:port]");
    Example(ParseBroker(argc == 2 ? argv[1] : DefaultBroker));
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}

}  // namespace vq::examples

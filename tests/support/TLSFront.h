#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "TestSupport.h"

struct ssl_ctx_st;
struct ssl_st;

namespace vq::test {

// What a TLS front presents and asks for.
struct TTLSIdentity {
  std::string Certificate = TLSFile("broker.pem");
  std::string Key = TLSFile("broker.key");
  // The CA whose client certificates it demands; empty: it asks for none.
  std::string ClientCA;
};

// A TLS server on 127.0.0.1 in front of a plain one (a scripted peer), as a TLS
// terminating proxy is: what one client sends is decrypted and passed on, the answers
// are encrypted, and a close or a reset of either side reaches the other. So the
// scripted peer's tests run through TLS unchanged.
class TTLSFront {
public:
  explicit TTLSFront(int32_t BackendPort, const TTLSIdentity& Identity = {});
  ~TTLSFront();
  TTLSFront(const TTLSFront&) = delete;
  TTLSFront& operator=(const TTLSFront&) = delete;

  int32_t Port() const { return FPort; }

private:
  void Run();
  bool Accept();
  void Relay();
  // What one side sent, passed on to the other; its end or reset too.
  void FromClient();
  void FromBackend();
  void ResetClient();

  const int32_t FBackendPort;
  std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)> FContext;
  std::unique_ptr<ssl_st, void (*)(ssl_st*)> FSsl;
  int FListener = -1;
  int32_t FPort = 0;
  std::atomic<int> FClient{-1};
  std::atomic<int> FBackend{-1};
  std::atomic<bool> FQuit{false};
  bool FClientDone = false;
  bool FBackendDone = false;
  std::thread FThread;
};

}  // namespace vq::test

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <vqstomp/VQExceptions.h>
#include <vqstomp/VQSupportInterfaces.h>
#include <vqstomp/VQTLSOptions.h>

namespace vq {

// Where the next frame of an incoming byte stream ends, as the protocol defines it: the
// transport moves bytes and asks this for the frame boundaries.
struct TFrameExtent {
  // Bytes before the frame that belong to no frame; the reader drops them.
  size_t Padding = 0;
  // The frame's bytes after the padding; 0 while the frame is not complete.
  size_t Length = 0;
  // While it is not: all its bytes after the padding, once they are known (a counted
  // body); else 0. A large frame then gets room of its size at once.
  size_t Expected = 0;
};

class IFrameBoundary {
public:
  virtual ~IFrameBoundary() = default;
  // Looks at the unread bytes, whose padding the caller drops after every call. What it
  // learnt of an incomplete frame is kept for the next call, so that each byte is looked
  // at about once. Raises a vq::Exception when the stream cannot be trusted any more.
  virtual TFrameExtent Measure(std::string_view Unread) = 0;
  // Forgets an incomplete frame: the stream starts anew.
  virtual void Restart() = 0;
};

class IStompCommAdapter;

// Called on the connecting thread as soon as the transport is up, before anything is read.
using TConnectedEvent = std::function<void(IStompCommAdapter& Sender)>;
// Called with the text of exactly one received frame; the handler may take the text
// (move from it), so that a large body is not copied again.
using TDataAvailableEvent = std::function<void(IStompCommAdapter& Sender, std::string& Data)>;
// Called on the read thread when reading failed for good, unless the adapter was being
// disconnected; the read thread ends afterwards.
using TConnectionLostEvent = std::function<void(IStompCommAdapter& Sender, const Exception& Error)>;

// The transport as the protocol client sees it. Adapters are owned by the component that
// created them; holders of this interface do not own them.
class IStompCommAdapter {
public:
  virtual ~IStompCommAdapter() = default;

  virtual void SetOnConnected(TConnectedEvent Handler) = 0;
  virtual TConnectedEvent GetOnConnected() const = 0;
  virtual void SetOnDataAvailable(TDataAvailableEvent Handler) = 0;
  virtual TDataAvailableEvent GetOnDataAvailable() const = 0;
  virtual void SetOnConnectionLost(TConnectionLostEvent Handler) = 0;
  virtual TConnectionLostEvent GetOnConnectionLost() const = 0;
  virtual void SetLogger(std::shared_ptr<ILogging> Logger) = 0;
  virtual std::shared_ptr<ILogging> GetLogger() const = 0;
  virtual void SetPort(int32_t Port) = 0;
  virtual int32_t GetPort() const = 0;
  virtual void SetHost(const std::string& Host) = 0;
  virtual std::string GetHost() const = 0;
  virtual bool GetConsoleMode() const = 0;
  virtual void SetConsoleMode(bool Value) = 0;
  // Where frames end in the incoming bytes; not owned, set before Connect.
  virtual void SetFrameBoundary(IFrameBoundary* Boundary) = 0;
  virtual IFrameBoundary* GetFrameBoundary() const = 0;
  // Milliseconds that Connect may take, the broker's answer to CONNECT included.
  virtual void SetConnectTimeout(int32_t Value) = 0;
  virtual int32_t GetConnectTimeout() const = 0;
  // Milliseconds that a write may wait for the kernel to take any of its bytes.
  virtual void SetWriteTimeout(int32_t Value) = 0;
  virtual int32_t GetWriteTimeout() const = 0;
  // Opens the transport, calls OnConnected, then reads the broker's first frame and
  // delivers it before returning.
  virtual void Connect() = 0;
  // Stops background reading and closes the transport; no delivery follows.
  virtual void Disconnect() = 0;
  virtual bool Connected() = 0;
  // Waits at most Timeout ms (0 or less: no limit) for a whole frame and delivers it on
  // this thread; a frame still incomplete then stays buffered for the next read. Returns
  // whether a frame was delivered.
  virtual bool ReceiveFrame(int32_t Timeout) = 0;
  virtual void StartReceiving() = 0;
  virtual void StopReceiving() = 0;
  // Background reading is running, so no other thread may read frames.
  virtual bool IsReceiving() const = 0;
  // Sends all of Data before returning, within the write time-out; safe to call from
  // several threads at once. A time-out raises and breaks the connection.
  virtual void Write(std::string_view Data) = 0;
  // The same within Timeout ms.
  virtual void WriteWithin(std::string_view Data, int32_t Timeout) = 0;
  // Sends the parts one after the other as one write, no other coming between them: a
  // large body need not be copied behind its headers.
  virtual void WriteParts(std::span<const std::string_view> Parts) = 0;
  // Records from now on when bytes last arrived and when a write last ended, for
  // heart-beats; both start at now. Off again at Connect.
  virtual void TrackActivity() = 0;
  virtual std::chrono::steady_clock::time_point LastReceived() const = 0;
  virtual std::chrono::steady_clock::time_point LastWritten() const = 0;
  // Breaks the connection at once: whatever reads or writes on it fails, as after a reset.
  virtual void Abandon() = 0;
  virtual std::string GetName() const = 0;
};

// An adapter that speaks TLS; told how before Connect.
class ITLSCommAdapter {
public:
  virtual ~ITLSCommAdapter() = default;
  virtual void SetTLSOptions(const TVQTLSOptions& Options) = 0;
};

}  // namespace vq

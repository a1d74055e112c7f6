#pragma once

/// @file
/// Every exception the library raises, from the general class down: one handler for
/// vq::Exception catches them all.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vq {

/// Root of everything the library throws.
class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// A text that had to be an integer and was not.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

/// An index outside a list, such as an adapter index the registry does not hold.
class EListError : public Exception {
public:
  using Exception::Exception;
};

/// Where a check sits. Built on the compiler intrinsics because clang 14 with libstdc++
/// 12 has no std::source_location.
struct TSourceLocation {
  /// The place of the call, when the arguments are left to their defaults.
  static constexpr TSourceLocation current(const char* File = __builtin_FILE(), unsigned Line = __builtin_LINE()) {
    return {File, Line};
  }
  const char* FileName;  ///< The source file, as the compiler names it; static storage.
  unsigned Line;         ///< The line in FileName, from 1.
};

/// A broken internal invariant; what() names the message, the file and the line.
class EAssertionFailed : public Exception {
public:
  /// what() is "Message (file, line N)", the place being where the check stands.
  explicit EAssertionFailed(const std::string& Message, TSourceLocation Where = TSourceLocation::current());
  /// The message alone, without the place.
  const std::string& GetMessage() const { return FMessage; }
  /// The source file of the failed check.
  const char* GetFileName() const { return FFileName; }
  /// The line of the failed check.
  unsigned GetLine() const { return FLine; }

private:
  std::string FMessage;
  const char* FFileName;
  unsigned FLine;
};

/// Raises EAssertionFailed with Message where it is called unless Condition holds. The
/// message becomes a string only when the check fails: checks run on every frame.
inline void Assert(bool Condition, std::string_view Message, TSourceLocation Where = TSourceLocation::current()) {
  if (!Condition) throw EAssertionFailed(std::string(Message), Where);
}

/// @name Transport
/// The connection is closed or unusable, so no later read can succeed.
///@{

/// Root of the transport's failures.
class EVQCommError : public Exception {
public:
  using Exception::Exception;
};

/// The operating system refused a socket operation: "Socket Error # <errno>\r\n<text>".
class EIdSocketError : public EVQCommError {
public:
  /// Takes the text from the system's error table.
  explicit EIdSocketError(int ErrorCode);
  /// With a text of the caller's, such as a name resolver's message.
  EIdSocketError(int ErrorCode, const std::string& Text);
  /// The system's error number (errno).
  int GetLastError() const { return FErrorCode; }

private:
  int FErrorCode;
};

/// The peer closed the connection, or it was never open.
class EIdConnClosedGracefully : public EVQCommError {
public:
  /// what() is "Connection Closed Gracefully.".
  EIdConnClosedGracefully() : EVQCommError("Connection Closed Gracefully.") {}
};

/// The peer closed the connection before the frame that had begun was complete.
class EIdConnClosedMidFrame : public EVQCommError {
public:
  /// Unread: the bytes of the incomplete frame that were received.
  explicit EIdConnClosedMidFrame(size_t Unread)
      : EVQCommError("The connection was closed in the middle of a frame (" + std::to_string(Unread) +
                     " bytes of it unread)") {}
};

/// The incoming stream was found broken (a bad length, a frame over the limit); the
/// connection is closed.
class EIdUntrustedStream : public EVQCommError {
public:
  using EVQCommError::EVQCommError;
};

/// Connecting, the broker's answer to CONNECT or a write took longer than allowed.
class EIdTimeout : public EVQCommError {
public:
  using EVQCommError::EVQCommError;
};

/// TLS could not be set up or failed: a certificate refused (untrusted, expired, for
/// another name), a broker that does not speak TLS on the port or speaks it on a plain
/// one, unreadable certificate or key files. The message says which.
class EVQTLSError : public EVQCommError {
public:
  using EVQCommError::EVQCommError;
};
///@}

/// @name STOMP protocol
///@{

/// Root of the protocol's failures.
class EVQStompError : public Exception {
public:
  using Exception::Exception;
};

/// For a refused connection. The library raises EVQStompServerErrorMessage when the broker
/// answers CONNECT with ERROR, and nothing of this class itself.
class EVQStompClientConnectError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// A frame's text ends before the frame does.
class EIncompleteStompFrame : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// The byte stream from the broker cannot be trusted past this point: a content-length
/// that is not a plain number, a frame over the size limit, a counted body without its NUL.
class EVQStompFrameError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// A command that needs a connection was called without one.
class EVQStompClientNotConnectedError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// A transaction command was given an empty transaction identifier.
class EVQStompInvalidTranscationIdError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// Disconnect of a client that is not connected.
class EVQStompClientAlreadyDisconnectedError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// The connection failed while connected; every later command raises this at once.
class EVQStompConnectionLostError : public EVQStompClientNotConnectedError {
public:
  using EVQStompClientNotConnectedError::EVQStompClientNotConnectedError;
};

/// The connection was lost before the receipt of a frame came: the frame may or may not
/// have arrived.
class EVQStompReceiptLost : public EVQStompConnectionLostError {
public:
  using EVQStompConnectionLostError::EVQStompConnectionLostError;
};

/// The broker sent no receipt for a frame within the time a call waits for one; the frame
/// may or may not have arrived.
class EVQStompReceiptTimeout : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

/// The broker answered with an ERROR frame; the text is its "message" header.
class EVQStompServerErrorMessage : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
  /// Message: the ERROR frame's "message" header; Body: its body.
  EVQStompServerErrorMessage(const std::string& Message, std::string Body)
      : EVQStompError(Message), FBody(std::move(Body)) {}
  /// The ERROR frame's body: often the broker's longer explanation.
  const std::string& GetBody() const { return FBody; }

private:
  std::string FBody;
};
///@}

/// @name Messaging
///@{

/// The operation does not fit the object's state: a stopped or closed session, a closed
/// consumer or connection, an object whose owner was released.
class EIllegalStateException : public Exception {
public:
  using Exception::Exception;
};

/// A destination that is neither a queue nor a topic made by a session.
class EInvalidDestinationException : public Exception {
public:
  using Exception::Exception;
};

/// The transaction was open when the connection to the broker was lost, so the broker
/// rolled it back; the session has begun a new one.
class ETransactionRolledBackException : public Exception {
public:
  using Exception::Exception;
};

/// A message that cannot be sent as it is, such as a property that cannot be a header.
class EMessageFormatException : public Exception {
public:
  using Exception::Exception;
};
///@}

}  // namespace vq

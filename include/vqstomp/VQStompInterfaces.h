#pragma once

/// @file
/// The interface of a STOMP frame.

#include <cstdint>
#include <string>
#include <string_view>

#include <vqstomp/VQStompTypes.h>

namespace vq {

/// One STOMP frame: command, ordered headers (names matched without regard to ASCII
/// case, at most one entry per name, never an empty value) and a binary body.
class IStompFrame {
public:
  virtual ~IStompFrame() = default;

  /// The body: any bytes, NUL included.
  virtual const std::string& GetBody() const = 0;
  /// The command, such as "SEND" or "MESSAGE".
  virtual const std::string& GetCommand() const = 0;
  /// Replaces the body.
  virtual void SetBody(std::string Body) = 0;
  /// Replaces the command.
  virtual void SetCommand(std::string Command) = 0;
  /// Stores a header by StoreHeader's rules: replaces one of the same name in place,
  /// appends a new one, or removes it when Value is empty.
  virtual void SetHeader(std::string_view Name, std::string_view Value) = 0;
  /// The value of the header named Name in any ASCII case; empty when there is none.
  virtual std::string GetHeader(std::string_view Name) const = 0;
  /// Removes the header named Name, if there is one.
  virtual void RemoveHeader(std::string_view Name) = 0;
  /// Removes every header.
  virtual void ClearHeaders() = 0;
  /// The wire form: the command, a line "name:value" per header, an empty line, the
  /// body, NUL and LF.
  virtual std::string Output() const = 0;
  /// The number of headers.
  virtual int32_t HeaderCount() const = 0;
  /// Every header, in the order they were first stored.
  virtual const TStompHeaders& GetHeaders() const = 0;
  /// The header at Index (0-based); raises EVQStompError outside 0 to HeaderCount() - 1.
  virtual TStompHeaderItem GetHeaderItem(int32_t Index) const = 0;
};

}  // namespace vq

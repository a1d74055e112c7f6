#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <vqstomp/VQStompTypes.h>

namespace vq {

// One STOMP frame: command, ordered headers (names matched without regard to ASCII
// case, at most one entry per name, never an empty value) and a binary body.
class IStompFrame {
public:
  virtual ~IStompFrame() = default;

  virtual const std::string& GetBody() const = 0;
  virtual const std::string& GetCommand() const = 0;
  virtual void SetBody(std::string Body) = 0;
  virtual void SetCommand(std::string Command) = 0;
  virtual void SetHeader(std::string_view Name, std::string_view Value) = 0;
  virtual std::string GetHeader(std::string_view Name) const = 0;
  virtual void RemoveHeader(std::string_view Name) = 0;
  virtual void ClearHeaders() = 0;
  virtual std::string Output() const = 0;
  virtual int32_t HeaderCount() const = 0;
  virtual const TStompHeaders& GetHeaders() const = 0;
  virtual TStompHeaderItem GetHeaderItem(int32_t Index) const = 0;
};

}  // namespace vq

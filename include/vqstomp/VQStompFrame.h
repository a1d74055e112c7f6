#pragma once

/// @file
/// The library's STOMP frame, its decoding and encoding, and the checks that keep a
/// header intact on the wire.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <vqstomp/VQStompInterfaces.h>

namespace vq {

/// Line feed: ends the command and every header line.
inline constexpr char LF = '\x0A';
/// Ends a frame.
inline constexpr char NUL = '\x00';
/// Carriage return: may come before a line's LF in STOMP 1.2.
inline constexpr char CR = '\x0D';

/// How the header lines of a frame travel. STOMP 1.0 sends their bytes as they are; 1.1
/// escapes "\\", LF and ":" in names and values; 1.2 also escapes CR and takes lines
/// ended by CR LF. CONNECT and CONNECTED frames are never escaped.
struct TStompFrameRules {
  /// Header names and values are escaped: "\\\\", "\\n", "\\c" (and "\\r" in 1.2).
  bool Escaping = false;
  /// Lines may end with CR LF, and CR is escaped as "\\r".
  bool CarriageReturns = false;

  /// The rules of Version.
  static TStompFrameRules Of(TStompVersion Version) {
    return {Version != TStompVersion::V1_0, Version == TStompVersion::V1_2};
  }
};

/// A frame held in memory: what Parse makes of the broker's bytes and what the client
/// fills to send. Not safe for use from several threads at once.
class TVQStompFrame : public IStompFrame {
public:
  /// A frame without command, headers or body.
  TVQStompFrame() = default;

  const std::string& GetBody() const override { return FBody; }
  const std::string& GetCommand() const override { return FCommand; }
  void SetBody(std::string Body) override { FBody = std::move(Body); }
  void SetCommand(std::string Command) override { FCommand = std::move(Command); }
  void SetHeader(std::string_view Name, std::string_view Value) override;
  std::string GetHeader(std::string_view Name) const override;
  void RemoveHeader(std::string_view Name) override;
  void ClearHeaders() override { FHeaders.clear(); }
  std::string Output() const override;
  int32_t HeaderCount() const override { return static_cast<int32_t>(FHeaders.size()); }
  const TStompHeaders& GetHeaders() const override { return FHeaders; }
  TStompHeaderItem GetHeaderItem(int32_t Index) const override;
  /// Hands the body over, leaving the frame without one.
  std::string TakeBody() { return std::move(FBody); }
  /// Hands the headers over, leaving the frame without any.
  TStompHeaders TakeHeaders() { return std::move(FHeaders); }

  /// Decodes the text of one frame, ended by NUL (a LF after it, or anything else, is
  /// ignored) or by the end of the text. Linear in the number of headers. Raises
  /// EIncompleteStompFrame for a text cut short (no command, a body shorter than its
  /// content-length), EVQStompFrameError for a content-length that cannot be trusted and
  /// EVQStompError for a header line without ":" or a counted body not followed by NUL.
  /// With Rules of STOMP 1.1 or 1.2, header escapes are decoded (an undefined one raises
  /// EVQStompError) and, in 1.2, a CR before a line's LF is dropped.
  static std::shared_ptr<IStompFrame> Parse(std::string_view Text, const TStompFrameRules& Rules = {});
  /// The same, taking Text: a large body (64 KiB or more) keeps Text's storage instead of
  /// being copied.
  static std::shared_ptr<TVQStompFrame> ParseTaking(std::string&& Text, const TStompFrameRules& Rules = {});
  /// The same into Into, which loses what it held: a reader that decodes frame after
  /// frame can keep one frame, and the storage of its body, for them all.
  static void ParseTaking(std::string&& Text, TVQStompFrame& Into, const TStompFrameRules& Rules = {});
  /// The content-length of a header block, or 0 without one: the header line named
  /// "content-length" in any letter case; repeated lines must agree and the value must be
  /// a plain non-negative decimal number, else EVQStompFrameError.
  static int64_t GetContentLength(std::string_view HeaderText);

private:
  // The body within Rest, which runs from the empty line to the end of the text.
  static std::string_view BodyOf(const std::optional<uint64_t>& Length, std::string_view Rest);
  // Owner, when given, holds Text and may give its storage to the body.
  static void ParseText(std::string_view Text, std::string* Owner, const TStompFrameRules& Rules,
                        TVQStompFrame& Frame);

  std::string FCommand;
  TStompHeaders FHeaders;
  std::string FBody;
};

/// Appends Text to Out with the escapes of STOMP 1.1 ("\\\\", "\\n", "\\c"), and "\\r" for CR
/// when CarriageReturns.
void AppendEscaped(std::string& Out, std::string_view Text, bool CarriageReturns);

/// What ends every frame on the wire, after its body.
inline constexpr std::string_view FrameEnd{"\0\n", 2};

/// Appends the wire form of a frame up to its body to Out: the command, a line for each
/// header that has a value, and an empty line; header text is escaped when Rules say so.
/// Headers: TStompHeaderItem or TStompHeaderView items. Room is made for Extra bytes more.
/// Checks nothing: see HeaderFault.
template <typename THeaders>
void AppendFrameHead(std::string& Out, std::string_view Command, const THeaders& Headers,
                     const TStompFrameRules& Rules = {}, size_t Extra = 0) {
  size_t Size = Out.size() + Command.size() + Extra + 2;
  for (const auto& Item : Headers) Size += Item.Name.size() + Item.Value.size() + 2;
  Out.reserve(Size);
  Out.append(Command).push_back(LF);
  for (const auto& Item : Headers) {
    if (Item.Value.empty()) continue;
    if (Rules.Escaping) {
      AppendEscaped(Out, Item.Name, Rules.CarriageReturns);
      Out.push_back(':');
      AppendEscaped(Out, Item.Value, Rules.CarriageReturns);
      Out.push_back(LF);
    } else {
      Out.append(Item.Name).append(1, ':').append(Item.Value).push_back(LF);
    }
  }
  Out.push_back(LF);
}

/// Appends the whole wire form of a frame to Out: its head, the body, then FrameEnd.
template <typename THeaders>
void AppendFrame(std::string& Out, std::string_view Command, const THeaders& Headers, std::string_view Body,
                 const TStompFrameRules& Rules = {}) {
  AppendFrameHead(Out, Command, Headers, Rules, Body.size() + FrameEnd.size());
  Out.append(Body).append(FrameEnd);
}

/// A line break (LF or CR) or NUL in Text, which would end or cut a line of the frame.
// Three scans by memchr: find_first_of would look up each byte of Text in the set.
// Inline, as every header sent is checked.
inline bool HoldsLineBreakOrNul(std::string_view Text) {
  constexpr auto None = std::string_view::npos;
  return Text.find(LF) != None || Text.find(CR) != None || Text.find(NUL) != None;
}

/// Why a header could not travel intact under Rules, or nullptr. Always: an empty name.
/// Unescaped (STOMP 1.0): a line break or NUL in the name or the value, or a colon in the
/// name. Escaped: a NUL, or a CR where it has no escape (1.1).
inline const char* HeaderFault(std::string_view Name, std::string_view Value, const TStompFrameRules& Rules = {}) {
  constexpr auto None = std::string_view::npos;
  if (Name.empty()) return "its name is empty";
  if (Rules.Escaping) {
    if (Name.find(NUL) != None || Value.find(NUL) != None) return "it holds a NUL byte";
    if (!Rules.CarriageReturns && (Name.find(CR) != None || Value.find(CR) != None))
      return "it holds a carriage return, which STOMP 1.1 cannot carry";
    return nullptr;
  }
  if (HoldsLineBreakOrNul(Name) || Name.find(':') != None) return "its name holds a colon, line break or NUL byte";
  if (HoldsLineBreakOrNul(Value)) return "its value holds a line break or NUL byte";
  return nullptr;
}

/// Takes the LF-terminated line starting at Position (0-based) and moves Position past
/// the LF. An empty text changes nothing. Raises EIncompleteStompFrame when Position is
/// past the end or no LF follows it.
void ReadLine(std::string_view Text, size_t& Position, std::string& Line);
/// What ReadLine raises when Position is past the end of Text or no LF follows it.
[[noreturn]] void RaiseNoLine(std::string_view Text, size_t Position);
/// ReadLine with Line pointing into Text. Inline, as every header line received comes here.
inline void ReadLine(std::string_view Text, size_t& Position, std::string_view& Line) {
  if (Text.empty()) return;
  const size_t End = Position < Text.size() ? Text.find(LF, Position) : std::string_view::npos;
  if (End == std::string_view::npos) RaiseNoLine(Text, Position);
  Line = Text.substr(Position, End - Position);
  Position = End + 1;
}

}  // namespace vq

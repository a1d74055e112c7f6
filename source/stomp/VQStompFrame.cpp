#include <vqstomp/VQStompFrame.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "stomp/VQStompFrameReader.h"
#include "support/VQTextUtils.h"

namespace vq {

namespace {

constexpr std::string_view HeaderBlockEnd{"\n\n"};
constexpr std::string_view HeaderBlockEndCR{"\n\r\n"};
constexpr char Escape = '\\';

bool HasHeaderBlockEnd(std::string_view Text, const TStompFrameRules& Rules) {
  constexpr auto None = std::string_view::npos;
  return Text.find(HeaderBlockEnd) != None || (Rules.CarriageReturns && Text.find(HeaderBlockEndCR) != None);
}

// A text cut inside its header block is completed with a terminator, which its lines
// then reach into; a body may simply end with the text. What the frame reader cut is
// whole: it ends with the NUL it was cut at.
bool NeedsCompleting(std::string_view Text, bool FromReader, const TStompFrameRules& Rules) {
  if (FromReader && Text.ends_with(NUL)) return false;
  // The header block's end comes first: looking for it reads less of a whole frame.
  return !HasHeaderBlockEnd(Text, Rules) && Text.find(FrameEnd) == std::string_view::npos;
}

char Unescaped(char Code, const TStompFrameRules& Rules) {
  switch (Code) {
    case 'n': return LF;
    case 'c': return ':';
    case Escape: return Escape;
    case 'r':
      if (Rules.CarriageReturns) return CR;
      break;
    default: break;
  }
  throw EVQStompError("Undefined escape sequence \"\\" + std::string(1, Code) + "\" in a header");
}

// Header text as it was before escaping; text without a backslash is returned as it is.
std::string_view Unescape(std::string_view Text, std::string& Scratch, const TStompFrameRules& Rules) {
  if (!Rules.Escaping || Text.find(Escape) == std::string_view::npos) return Text;
  Scratch.clear();
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != Escape) {
      Scratch.push_back(Text[I]);
      continue;
    }
    if (++I == Text.size()) throw EVQStompError("A header ends with a lone \"\\\"");
    Scratch.push_back(Unescaped(Text[I], Rules));
  }
  return Scratch;
}

}  // namespace

void AppendEscaped(std::string& Out, std::string_view Text, bool CarriageReturns) {
  for (const char C : Text) {
    switch (C) {
      case LF: Out.append("\\n"); break;
      case ':': Out.append("\\c"); break;
      case Escape: Out.append("\\\\"); break;
      case CR:
        if (CarriageReturns) {
          Out.append("\\r");
          break;
        }
        [[fallthrough]];
      default: Out.push_back(C);
    }
  }
}

void RaiseNoLine(std::string_view Text, size_t Position) {
  if (Position >= Text.size()) throw EIncompleteStompFrame("From out of bound.");
  throw EIncompleteStompFrame("End of Line not found.");
}

void ReadLine(std::string_view Text, size_t& Position, std::string& Line) {
  if (Text.empty()) return;
  std::string_view View;
  ReadLine(Text, Position, View);
  Line.assign(View);
}

void TVQStompFrame::SetHeader(std::string_view Name, std::string_view Value) { StoreHeader(FHeaders, Name, Value); }

std::string TVQStompFrame::GetHeader(std::string_view Name) const {
  const auto Existing = FindHeader(FHeaders, Name);
  return Existing == FHeaders.end() ? std::string() : Existing->Value;
}

void TVQStompFrame::RemoveHeader(std::string_view Name) {
  const auto Existing = FindHeader(FHeaders, Name);
  if (Existing != FHeaders.end()) FHeaders.erase(Existing);
}

TStompHeaderItem TVQStompFrame::GetHeaderItem(int32_t Index) const {
  if (Index < 0 || Index >= HeaderCount()) throw EVQStompError("index out of bound");
  return FHeaders[static_cast<size_t>(Index)];
}

std::string TVQStompFrame::Output() const {
  std::string Result;
  AppendFrame(Result, FCommand, FHeaders, FBody);
  return Result;
}

// The reader's rules: a counted body must be followed by NUL (or end the text), any other
// body ends at its first NUL (or with the text).
std::string_view TVQStompFrame::BodyOf(const std::optional<uint64_t>& Length, std::string_view Rest) {
  if (!Length) return Rest.substr(0, Rest.find(NUL));
  if (Rest.size() < *Length) throw EIncompleteStompFrame("frame too short");
  const auto Counted = static_cast<size_t>(*Length);
  if (Rest.size() > Counted && Rest[Counted] != NUL) throw EVQStompError("frame ending error");
  return Rest.substr(0, Counted);
}

namespace {

// Stores parsed headers by the header list's rules in time linear in their number, as a
// frame may carry thousands: past a few, names are found through an index.
class THeaderCollector {
public:
  explicit THeaderCollector(TStompHeaders& Headers) : FHeaders(Headers) {
    for (const auto& Header : FHeaders) FLengths |= LengthBit(Header.Name);
  }
  ~THeaderCollector() { Compact(); }
  THeaderCollector(const THeaderCollector&) = delete;
  THeaderCollector& operator=(const THeaderCollector&) = delete;

  void Store(std::string_view Name, std::string_view Value) {
    if (FIndex.empty() && FHeaders.size() < IndexFrom) return StoreAmongFew(Name, Value);
    if (FIndex.empty()) BuildIndex();
    const auto Found = FIndex.find(Folded(Name));
    if (Value.empty()) {
      if (Found == FIndex.end()) return;
      FRemoved.push_back(Found->second);
      FIndex.erase(Found);
    } else if (Found != FIndex.end()) {
      FHeaders[Found->second] = {std::string(Name), std::string(Value)};
    } else {
      FIndex.emplace(Folded(Name), FHeaders.size());
      FHeaders.push_back({std::string(Name), std::string(Value)});
    }
  }

private:
  static constexpr size_t IndexFrom = 16;

  static uint64_t LengthBit(std::string_view Name) { return uint64_t{1} << (Name.size() % 64); }

  // A name of a length not seen yet is no duplicate: most headers need no search.
  void StoreAmongFew(std::string_view Name, std::string_view Value) {
    if ((FLengths & LengthBit(Name)) != 0 || Value.empty()) return StoreHeader(FHeaders, Name, Value);
    FLengths |= LengthBit(Name);
    FHeaders.push_back({std::string(Name), std::string(Value)});
  }

  static std::string Folded(std::string_view Name) {
    std::string Key(Name);
    for (char& C : Key)
      if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 32);
    return Key;
  }

  void BuildIndex() {
    for (size_t I = 0; I < FHeaders.size(); ++I) FIndex.emplace(Folded(FHeaders[I].Name), I);
  }

  // Removed entries leave at the end, all at once.
  void Compact() {
    if (FRemoved.empty()) return;
    std::vector<bool> Gone(FHeaders.size());
    for (const size_t I : FRemoved) Gone[I] = true;
    size_t Kept = 0;
    for (size_t I = 0; I < FHeaders.size(); ++I) {
      if (Gone[I]) continue;
      if (Kept != I) FHeaders[Kept] = std::move(FHeaders[I]);
      ++Kept;
    }
    FHeaders.resize(Kept);
  }

  TStompHeaders& FHeaders;
  // Bit n: some name has a length of n modulo 64.
  uint64_t FLengths = 0;
  std::unordered_map<std::string, size_t> FIndex;
  std::vector<size_t> FRemoved;
};

}  // namespace

std::shared_ptr<IStompFrame> TVQStompFrame::Parse(std::string_view Text, const TStompFrameRules& Rules) {
  auto Frame = std::make_shared<TVQStompFrame>();
  ParseText(Text, nullptr, Rules, *Frame);
  return Frame;
}

std::shared_ptr<TVQStompFrame> TVQStompFrame::ParseTaking(std::string&& Text, const TStompFrameRules& Rules) {
  auto Frame = std::make_shared<TVQStompFrame>();
  ParseText(Text, &Text, Rules, *Frame);
  return Frame;
}

void TVQStompFrame::ParseTaking(std::string&& Text, TVQStompFrame& Into, const TStompFrameRules& Rules) {
  ParseText(Text, &Text, Rules, Into);
}

void TVQStompFrame::ParseText(std::string_view Text, std::string* Owner, const TStompFrameRules& Rules,
                              TVQStompFrame& Frame) {
  std::string Completed;
  if (NeedsCompleting(Text, Owner != nullptr, Rules)) {
    Completed.reserve(Text.size() + FrameEnd.size());
    Completed.append(Text).append(FrameEnd);
    Text = Completed;
  }
  size_t Position = 0;
  std::string_view Line;
  ReadLine(Text, Position, Line);
  Line = WithoutCarriageReturn(Line, Rules.CarriageReturns);
  if (Line.empty()) throw EIncompleteStompFrame("Empty Command");
  Frame.FCommand.assign(Line);
  Frame.FHeaders.clear();
  Frame.FHeaders.reserve(8);
  // The broker's answer to CONNECT is never escaped.
  const TStompFrameRules HeaderRules{Rules.Escaping && Line != "CONNECTED", Rules.CarriageReturns};
  std::optional<uint64_t> Length;
  {
    THeaderCollector Headers(Frame.FHeaders);
    std::string NameScratch;
    std::string ValueScratch;
    for (;;) {
      ReadLine(Text, Position, Line);
      Line = WithoutCarriageReturn(Line, Rules.CarriageReturns);
      if (Line.empty()) break;
      const size_t Colon = Line.find(':');
      if (Colon == std::string_view::npos) throw EVQStompError("header line error " + std::string(Line));
      // Every header of every message comes here: STOMP 1.0 takes the bytes as they are.
      std::string_view Name = Line.substr(0, Colon);
      std::string_view Value = Line.substr(Colon + 1);
      if (HeaderRules.Escaping) {
        Name = Unescape(Name, NameScratch, HeaderRules);
        Value = Unescape(Value, ValueScratch, HeaderRules);
      }
      Headers.Store(Name, Value);
      MergeContentLength(Length, Name, Value);
    }
  }
  const std::string_view Body = BodyOf(Length, Text.substr(Position));
  // A large body moves into place within its text rather than into a copy.
  constexpr size_t TakenFrom = 64 * 1024;
  if (Owner != nullptr && Text.data() == Owner->data() && Body.size() >= TakenFrom) {
    Owner->erase(0, static_cast<size_t>(Body.data() - Owner->data()));
    Owner->resize(Body.size());
    Frame.FBody = std::move(*Owner);
  } else {
    Frame.FBody.assign(Body);
  }
}

int64_t TVQStompFrame::GetContentLength(std::string_view HeaderText) {
  return static_cast<int64_t>(FindContentLength(HeaderText).value_or(0));
}

}  // namespace vq

#include "VQStompFrame.h"

#include "VQTextUtils.h"

namespace vq {

namespace {

constexpr std::string_view Terminator{"\0\n", 2};
constexpr std::string_view ContentLengthName{"content-length"};
constexpr std::string_view HeaderBlockEnd{"\n\n"};

}  // namespace

void ReadLine(std::string_view Text, size_t& Position, std::string_view& Line) {
  if (Text.empty()) return;
  if (Position >= Text.size()) throw EIncompleteStompFrame("From out of bound.");
  const size_t End = Text.find(LF, Position);
  if (End == std::string_view::npos) throw EIncompleteStompFrame("End of Line not found.");
  Line = Text.substr(Position, End - Position);
  Position = End + 1;
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

void TVQStompFrame::ParseBody(std::string_view Rest, bool Terminated) {
  const auto Length = FindHeader(FHeaders, ContentLengthName);
  if (Length == FHeaders.end()) {
    const size_t End = Terminated ? Rest.find(Terminator) : Rest.size();
    if (End == std::string_view::npos) throw EIncompleteStompFrame("frame no ending");
    FBody.assign(Rest.substr(0, End));
    return;
  }
  const int64_t Count = StrToInt64(Length->Value);
  if (Count < 0) throw EVQStompError("invalid content-length");
  const auto Size = static_cast<uint64_t>(Count);
  const size_t Whole = Rest.size() + (Terminated ? 0 : Terminator.size());
  if (Whole < 2 || Whole - 2 < Size) throw EIncompleteStompFrame("frame too short");
  // Without a terminator of its own, the text holds no NUL LF: only the added one can follow.
  const bool Ends = Terminated ? Rest.substr(Size, 2) == Terminator : Size == Rest.size();
  if (!Ends) throw EVQStompError("frame ending error");
  FBody.assign(Rest.substr(0, Size));
}

std::shared_ptr<IStompFrame> TVQStompFrame::Parse(std::string_view Text) {
  // Frames handed over without their terminator are read as if completed with one. Only
  // one cut inside its header block is completed for real: its lines would reach into
  // the terminator.
  bool Terminated = Text.find(Terminator) != std::string_view::npos;
  std::string Completed;
  if (!Terminated && Text.find(HeaderBlockEnd) == std::string_view::npos) {
    Completed.reserve(Text.size() + Terminator.size());
    Completed.append(Text).append(Terminator);
    Text = Completed;
    Terminated = true;
  }
  auto Frame = std::make_shared<TVQStompFrame>();
  size_t Position = 0;
  std::string_view Line;
  ReadLine(Text, Position, Line);
  if (Line.empty()) throw EIncompleteStompFrame("Empty Command");
  Frame->FCommand.assign(Line);
  Frame->FHeaders.reserve(8);
  for (;;) {
    ReadLine(Text, Position, Line);
    if (Line.empty()) break;
    const size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos) throw EVQStompError("header line error " + std::string(Line));
    Frame->SetHeader(Line.substr(0, Colon), Line.substr(Colon + 1));
  }
  Frame->ParseBody(Text.substr(Position), Terminated);
  return Frame;
}

int32_t TVQStompFrame::GetContentLength(std::string_view HeaderText) {
  size_t Position = 0;
  for (;;) {
    std::string_view Line;
    ReadLine(HeaderText, Position, Line);
    if (Line.empty()) return 0;
    const size_t Colon = Line.find(':');
    if (Colon != std::string_view::npos && Line.substr(0, Colon) == ContentLengthName)
      return StrToIntDef(Line.substr(Colon + 1), 0);
  }
}

}  // namespace vq

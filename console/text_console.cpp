#include "console/text_console.h"

#include <algorithm>
#include <chrono>

#include "base/escape.h"
#include "base/text_case.h"
#include "net/resolve.h"

namespace kelvox {

TTextConsole::TTextConsole(TEventLoop& loop, std::ostream& out)
    : TConsoleModel(loop), loop_(loop), own_(out) {}

std::string TTextConsole::Escape(std::string_view text) { return EscapeControls(text); }

void TTextConsole::Broadcast(std::string_view lines) {
  own_.Write(lines);
  for (TConsoleSink* sink : attached_) sink->Write(lines);
}

void TTextConsole::Answer(std::string_view lines) {
  if (TConsoleSink* typing = Typing()) return typing->Write(lines);
  Broadcast(lines);
}

void TTextConsole::Emit(std::string_view prefix, std::string_view text) {
  Broadcast(std::string(prefix) + Escape(text) + '\n');
}

void TTextConsole::Print(std::string_view line) { Answer(Escape(line) + '\n'); }

void TTextConsole::PrintGrid() {
  std::string lines;
  for (const Row& row : Grid()) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      if (column > 0) lines += '\t';
      lines += Escape(row[column]);
    }
    lines += '\n';
  }
  Answer(lines);
}

void TTextConsole::SetStatusText(int panel, const std::string& text) {
  if (StatusText(panel) == text) return;
  TConsoleModel::SetStatusText(panel, text);
  Emit(panel == 0 ? "status 0: " : "status 1: ", text);
}

void TTextConsole::SetUserCount(const std::string& text) {
  if (UserCount() == text) return;
  TConsoleModel::SetUserCount(text);
  Emit("users: ", text);
}

void TTextConsole::SetTrayHint(const std::string& text) {
  if (TrayHint() == text) return;
  TConsoleModel::SetTrayHint(text);
  Emit("tray: ", text);
}

void TTextConsole::SetUptimeText(const std::string& text) {
  TConsoleModel::SetUptimeText(text);
  Emit("uptime: ", text);
}

void TTextConsole::PlayBeep() {
  TConsoleModel::PlayBeep();
  Emit("beep", "");
}

void TTextConsole::ShowError(const std::string& text) {
  TConsoleModel::ShowError(text);
  Answer("error: " + Escape(text) + '\n');
}

void TTextConsole::SetUpdateText(const std::string& text, const std::string& link) {
  TConsoleModel::SetUpdateText(text, link);
  Emit("update: ", text);
  if (!link.empty()) Emit("update: ", link);
}

bool TTextConsole::AskOkCancel(const std::string& text, const std::string&) {
  TConsoleSink& asked = Typing() != nullptr ? *Typing() : own_;
  if (&asked == &own_ && input_ended_) return false;
  asked.Write("ask: " + Escape(text) + '\n');
  asked_ = &asked;
  answer_ = false;
  // What runs while the question waits is no command of the asking console:
  // it prints to every console.
  typing_.push_back(nullptr);
  // The program may be told to end meanwhile (a stop signal): the question
  // then counts as cancelled, and the end goes on.
  while (asked_ != nullptr && !loop_.Quitting()) loop_.RunOnce(std::chrono::milliseconds(60000));
  typing_.pop_back();
  asked_ = nullptr;
  return answer_;
}

bool TTextConsole::TakeAnswer(const std::string& line, const TConsoleSink& from) {
  if (asked_ != &from) return false;
  answer_ = EqualIgnoringCase(TrimControls(line), "ok");
  asked_ = nullptr;
  return true;
}

void TTextConsole::InputEnded(const TConsoleSink& from) {
  if (&from == &own_) input_ended_ = true;
  if (asked_ != &from) return;
  asked_ = nullptr;
  answer_ = false;
}

void TTextConsole::Attach(TConsoleSink& sink) { attached_.push_back(&sink); }

void TTextConsole::Detach(TConsoleSink& sink) {
  std::erase(attached_, &sink);
  std::replace(typing_.begin(), typing_.end(), &sink, static_cast<TConsoleSink*>(nullptr));
  InputEnded(sink);
}

TTextConsole::TTyping::TTyping(TTextConsole& console, TConsoleSink& sink) : console_(console) {
  console_.typing_.push_back(&sink);
}

TTextConsole::TTyping::~TTyping() { console_.typing_.pop_back(); }

}  // namespace kelvox

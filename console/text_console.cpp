#include "console/text_console.h"

#include <chrono>

#include "base/escape.h"
#include "base/text_case.h"
#include "net/resolve.h"

namespace kelvox {

TTextConsole::TTextConsole(TEventLoop& loop, std::ostream& out) : TConsoleModel(loop), loop_(loop), out_(out) {}

std::string TTextConsole::Escape(std::string_view text) { return EscapeControls(text); }

void TTextConsole::Emit(std::string_view prefix, std::string_view text) {
  out_ << prefix << Escape(text) << '\n' << std::flush;
}

void TTextConsole::Print(std::string_view line) { Emit("", line); }

void TTextConsole::PrintGrid() {
  for (const Row& row : Grid()) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      if (column > 0) line += '\t';
      line += Escape(row[column]);
    }
    out_ << line << '\n';
  }
  out_ << std::flush;
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
  Emit("error: ", text);
}

void TTextConsole::SetUpdateText(const std::string& text, const std::string& link) {
  TConsoleModel::SetUpdateText(text, link);
  Emit("update: ", text);
  if (!link.empty()) Emit("update: ", link);
}

bool TTextConsole::AskOkCancel(const std::string& text, const std::string&) {
  if (input_ended_) return false;
  Emit("ask: ", text);
  asking_ = true;
  answer_ = false;
  // The program may be told to end meanwhile (a stop signal): the question
  // then counts as cancelled, and the end goes on.
  while (asking_ && !loop_.Quitting()) loop_.RunOnce(std::chrono::milliseconds(60000));
  asking_ = false;
  return answer_;
}

bool TTextConsole::TakeAnswer(const std::string& line) {
  if (!asking_) return false;
  answer_ = EqualIgnoringCase(TrimControls(line), "ok");
  asking_ = false;
  return true;
}

void TTextConsole::InputEnded() {
  input_ended_ = true;
  asking_ = false;
  answer_ = false;
}

}  // namespace kelvox

// The text console: the console model, with every change the operator would see
// written as one line to an output stream ("status 0: ...", "users: 3", "beep"),
// and the operator's answer to a question taken from the next input line.
//
// Nothing a user sent reaches the terminal raw: control bytes are shown escaped
// (\x1b), so a nick cannot drive the operator's terminal.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "console/console_model.h"

namespace kelvox {

class TTextConsole : public TConsoleModel {
 public:
  TTextConsole(TEventLoop& loop, std::ostream& out);

  /// The text with every byte below 0x20, DEL and the backslash written as \xNN
  /// (the backslash as \\).
  static std::string Escape(std::string_view text);

  void SetStatusText(int panel, const std::string& text) override;
  void SetUserCount(const std::string& text) override;
  void SetTrayHint(const std::string& text) override;
  void PlayBeep() override;
  void ShowError(const std::string& text) override;
  /// "update: <text>", then "update: <link>" when there is a link.
  void SetUpdateText(const std::string& text, const std::string& link) override;
  /// Prints "ask: <text>" and waits, the loop running on as under a modal box,
  /// for the next input line: "ok" (any case, blanks around it ignored) is OK,
  /// anything else, the end of input, or the loop told to quit, is Cancel.
  bool AskOkCancel(const std::string& text, const std::string& caption) override;

  /// Writes one line of output, escaped (help texts, answers).
  void Print(std::string_view line);
  /// Writes the grid, header row first: each row's cells, escaped, joined by TAB.
  void PrintGrid();
  /// Offers an input line to a waiting question; false when none waits and the
  /// line is a command.
  bool TakeAnswer(const std::string& line);
  /// Standard input has ended: a waiting question is cancelled.
  void InputEnded();

 protected:
  void SetUptimeText(const std::string& text) override;

 private:
  void Emit(std::string_view prefix, std::string_view text);

  TEventLoop& loop_;
  std::ostream& out_;
  bool asking_ = false;
  bool answer_ = false;
  bool input_ended_ = false;
};

}  // namespace kelvox

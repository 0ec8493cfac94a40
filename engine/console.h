// The operator console as the engine draws on it: a grid of text cells, a status
// bar of two panels, the user count, the tray hint, the Start and Stop commands,
// a beep, the main window's visibility, one question, error boxes and the update
// window. The engine only writes here (the facts it shows live in its own
// records); how they are shown is the front end's affair.
#pragma once

#include <string>

namespace kelvox {

class TConsole {
 public:
  static constexpr int kColumns = 5;

  virtual ~TConsole() = default;

  virtual void SetCell(int column, int row, const std::string& text) = 0;
  /// Drops rows at the end or adds empty ones.
  virtual void SetRowCount(int count) = 0;
  virtual void ClearRow(int row) = 0;
  /// Panel 0 or 1 of the status bar.
  virtual void SetStatusText(int panel, const std::string& text) = 0;
  virtual void SetUserCount(const std::string& text) = 0;
  virtual void SetTrayHint(const std::string& text) = 0;
  virtual void EnableStartStop(bool start_enabled, bool stop_enabled) = 0;
  virtual void PlayBeep() = 0;
  virtual void ShowMainWindow() = 0;
  virtual void HideMainWindow() = 0;
  /// Asks the operator; true when OK was chosen.
  virtual bool AskOkCancel(const std::string& text, const std::string& caption) = 0;
  /// An error box with the runtime's message ("Cannot open file %s", "Invalid Tag").
  virtual void ShowError(const std::string& text) = 0;
  /// Shows the update window (brought up when it is already visible) with one
  /// text in view, the others hidden: "Searching..." while a check runs, the
  /// check's answer once it has finished. `link` is the web site's address,
  /// shown as a link beside a finished check's answer; empty hides it.
  virtual void SetUpdateText(const std::string& text, const std::string& link) = 0;
};

}  // namespace kelvox

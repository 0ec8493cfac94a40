// The console the engine draws on when the program may run as a service: every
// call goes on to the front end's console unchanged, and those that show the
// users or the listener also tell the service manager's notifier.
#pragma once

#include <functional>
#include <string>

#include "engine/console.h"

namespace kelvox {

class TServiceConsole : public TConsole {
 public:
  /// Everything goes on to `console`, which outlives this one.
  explicit TServiceConsole(TConsole& console) : console_(console) {}

  /// Runs after the user count, the tray hint or a status panel has changed.
  std::function<void()> OnChange;

  /// The status bar's panel 0 as last set: the listener's port or why it failed.
  const std::string& StatusText() const { return status_; }

  void SetCell(int column, int row, const std::string& text) override { console_.SetCell(column, row, text); }
  void SetRowCount(int count) override { console_.SetRowCount(count); }
  void ClearRow(int row) override { console_.ClearRow(row); }
  void SetStatusText(int panel, const std::string& text) override;
  void SetUserCount(const std::string& text) override;
  void SetTrayHint(const std::string& text) override;
  void EnableStartStop(bool start_enabled, bool stop_enabled) override {
    console_.EnableStartStop(start_enabled, stop_enabled);
  }
  void PlayBeep() override { console_.PlayBeep(); }
  void ShowMainWindow() override { console_.ShowMainWindow(); }
  void HideMainWindow() override { console_.HideMainWindow(); }
  bool AskOkCancel(const std::string& text, const std::string& caption) override {
    return console_.AskOkCancel(text, caption);
  }
  void ShowError(const std::string& text) override { console_.ShowError(text); }
  void SetUpdateText(const std::string& text, const std::string& link) override {
    console_.SetUpdateText(text, link);
  }

 private:
  void Changed() {
    if (OnChange) OnChange();
  }

  TConsole& console_;
  std::string status_;
};

}  // namespace kelvox

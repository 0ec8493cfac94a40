// The console without a window: it holds everything the console shows, so that
// the text console, tests and later front ends read one model. It also keeps the
// uptime display, which counts the minutes since the program started.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "engine/console.h"
#include "net/event_loop.h"

namespace kelvox {

class TConsoleModel : public TConsole {
 public:
  static constexpr int kUptimeIntervalMs = 60000;
  using Row = std::array<std::string, kColumns>;

  /// The uptime timer runs from here on.
  explicit TConsoleModel(TEventLoop& loop);

  /// The uptime text after `minutes` whole minutes: "1 day(s) 5 min(s).",
  /// "2 hour(s) " ...; empty at 0 minutes (the display starts as "0 min").
  static std::string UptimeText(long minutes);

  void SetCell(int column, int row, const std::string& text) override;
  /// Empty for a cell never written.
  std::string GetCell(int column, int row) const;
  void SetRowCount(int count) override;
  void ClearRow(int row) override;
  /// The row the operator has selected (the grid pop-up's target).
  int SelectedRow() const { return selected_row_; }
  void SetStatusText(int panel, const std::string& text) override;
  void SetUserCount(const std::string& text) override;
  void SetTrayHint(const std::string& text) override;
  void EnableStartStop(bool start_enabled, bool stop_enabled) override;
  void PlayBeep() override;
  void ShowMainWindow() override;
  void HideMainWindow() override;
  /// Answered by AskHandler; without one the answer is Cancel.
  bool AskOkCancel(const std::string& text, const std::string& caption) override;
  void ShowError(const std::string& text) override { errors_.push_back(text); }
  void SetUpdateText(const std::string& text, const std::string& link) override;

  /// The operator selects a row (a click on the grid).
  void SelectRow(int row) { selected_row_ = row; }
  std::function<bool(const std::string& text, const std::string& caption)> AskHandler;

  /// One tick of the uptime timer: one more minute.
  void Timer2Timer();

  int RowCount() const { return static_cast<int>(grid_.size()); }
  const std::vector<Row>& Grid() const { return grid_; }
  const std::string& StatusText(int panel) const { return status_[panel == 0 ? 0 : 1]; }
  const std::string& UserCount() const { return user_count_; }
  const std::string& TrayHint() const { return tray_hint_; }
  const std::string& Uptime() const { return uptime_; }
  long UptimeMinutes() const { return uptime_minutes_; }
  bool StartEnabled() const { return start_enabled_; }
  bool StopEnabled() const { return stop_enabled_; }
  bool MainWindowVisible() const { return window_visible_; }
  int BeepCount() const { return beeps_; }
  /// Every error box shown, oldest first.
  const std::vector<std::string>& Errors() const { return errors_; }
  bool UpdateWindowVisible() const { return update_visible_; }
  /// The update window's text in view, and its link (empty while hidden).
  const std::string& UpdateText() const { return update_text_; }
  const std::string& UpdateLink() const { return update_link_; }

 protected:
  /// Every change of the uptime display passes here.
  virtual void SetUptimeText(const std::string& text) { uptime_ = text; }

 private:
  bool HasCell(int column, int row) const;

  std::vector<Row> grid_ = std::vector<Row>(2);
  std::string status_[2] = {"", "OFFLINE"};
  std::string user_count_ = "0";
  std::string tray_hint_ = "Kelvox - OFFLINE";
  std::string uptime_ = "0 min";
  long uptime_minutes_ = 0;
  bool start_enabled_ = true;
  bool stop_enabled_ = false;
  bool window_visible_ = true;
  int selected_row_ = 1;
  int beeps_ = 0;
  std::vector<std::string> errors_;
  bool update_visible_ = false;
  std::string update_text_;
  std::string update_link_;
  TTimer uptime_timer_;
};

}  // namespace kelvox

#include "console/console_model.h"

namespace kelvox {

TConsoleModel::TConsoleModel(TEventLoop& loop) : uptime_timer_(loop) {
  uptime_timer_.SetInterval(kUptimeIntervalMs);
  uptime_timer_.OnTimer = [this](TTimer*) { Timer2Timer(); };
  uptime_timer_.SetEnabled(true);
}

std::string TConsoleModel::UptimeText(long minutes) {
  const long days = minutes / 1440;
  const long hours = (minutes % 1440) / 60;
  const long mins = minutes % 60;
  std::string text;
  if (days > 0) text += std::to_string(days) + " day(s) ";
  if (hours > 0) text += std::to_string(hours) + " hour(s) ";
  if (mins > 0) text += std::to_string(mins) + " min(s).";
  return text;
}

void TConsoleModel::Timer2Timer() {
  ++uptime_minutes_;
  SetUptimeText(UptimeText(uptime_minutes_));
}

bool TConsoleModel::HasCell(int column, int row) const {
  return column >= 0 && column < kColumns && row >= 0 && row < RowCount();
}

void TConsoleModel::SetCell(int column, int row, const std::string& text) {
  // Like a grid control, a cell outside the grid takes nothing.
  if (HasCell(column, row)) grid_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
}

std::string TConsoleModel::GetCell(int column, int row) const {
  if (!HasCell(column, row)) return {};
  return grid_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void TConsoleModel::SetRowCount(int count) { grid_.resize(count > 0 ? static_cast<std::size_t>(count) : 0); }

void TConsoleModel::ClearRow(int row) {
  if (HasCell(0, row)) grid_[static_cast<std::size_t>(row)] = Row{};
}

void TConsoleModel::SetStatusText(int panel, const std::string& text) { status_[panel == 0 ? 0 : 1] = text; }
void TConsoleModel::SetUserCount(const std::string& text) { user_count_ = text; }
void TConsoleModel::SetTrayHint(const std::string& text) { tray_hint_ = text; }

void TConsoleModel::EnableStartStop(bool start_enabled, bool stop_enabled) {
  start_enabled_ = start_enabled;
  stop_enabled_ = stop_enabled;
}

void TConsoleModel::PlayBeep() { ++beeps_; }
void TConsoleModel::ShowMainWindow() { window_visible_ = true; }
void TConsoleModel::HideMainWindow() { window_visible_ = false; }

void TConsoleModel::SetUpdateText(const std::string& text, const std::string& link) {
  update_visible_ = true;
  update_text_ = text;
  update_link_ = link;
}

bool TConsoleModel::AskOkCancel(const std::string& text, const std::string& caption) {
  return AskHandler ? AskHandler(text, caption) : false;
}

}  // namespace kelvox

// The desktop console: the main window that the engine draws on. It keeps the
// console's state in the window-less model it derives from (what the engine and
// the tests read back) and mirrors every change into its widgets: the grid, the
// user count and uptime, the Start and Stop buttons and menu items, the status
// bar's two panels and the tray icon with its hint and menu.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <functional>
#include <string>

#include "app/core.h"
#include "console/console_model.h"
#include "desktop/about_box.h"
#include "desktop/message_window.h"
#include "desktop/settings_dialog.h"
#include "desktop/update_window.h"
#include "engine/bouncer.h"

namespace kelvox {

class TMainWindow : public QMainWindow, public TConsoleModel {
 public:
  static constexpr int kWidth = 603;
  static constexpr int kHeight = 444;

  explicit TMainWindow(TEventLoop& loop);
  ~TMainWindow() override = default;
  TMainWindow(const TMainWindow&) = delete;
  TMainWindow& operator=(const TMainWindow&) = delete;

  /// What the window adds to the core it is opened with: the cure for an
  /// empty Logfile in its words, Closed and Reloaded.
  TCore::TFrontEnd FrontEnd();
  /// The core whose bouncer the buttons, menus, the first showing and the
  /// close request act on, and whose update check the menu runs. Opened over
  /// this window, so handed in once it is.
  void Attach(TCore& core);
  /// The bouncer has closed: the tray icon and the window go, then OnClosed.
  void Closed();
  /// The settings were read again (SIGHUP): an open settings dialog shows
  /// them; a hidden one reads them anew when it opens.
  void Reloaded();
  /// Runs once the close request has gone through (the bouncer has stopped):
  /// the program ends its event loop here.
  std::function<void()> OnClosed;

  void SetCell(int column, int row, const std::string& text) override;
  void SetRowCount(int count) override;
  void ClearRow(int row) override;
  void SetStatusText(int panel, const std::string& text) override;
  void SetUserCount(const std::string& text) override;
  void SetTrayHint(const std::string& text) override;
  void EnableStartStop(bool start_enabled, bool stop_enabled) override;
  void PlayBeep() override;
  void ShowMainWindow() override;
  void HideMainWindow() override;
  /// A modal box with OK and Cancel; an AskHandler, when set, answers instead.
  bool AskOkCancel(const std::string& text, const std::string& caption) override;
  void ShowError(const std::string& text) override;
  /// Shows the update window with the update check's text and link.
  void SetUpdateText(const std::string& text, const std::string& link) override;

  // The operations behind the controls.
  /// The grid pop-up's "Kill" and "Ban", on the selected row.
  void KillSelected();
  void BanSelected();
  /// The grid pop-up's "Message": the message dialog for the selected row.
  void MessageSelected();
  /// The Options menu's "Check for update" (F4).
  void CheckForUpdate();
  /// The File menu's "&Quit", the tray's "Close Kelvox" and the close box.
  void RequestClose();
  void ShowAbout();

  // The widgets, for whoever drives the window from outside (the tests).
  QTableWidget* GridWidget() const { return grid_; }
  QLabel* UserCountLabel() const { return user_count_; }
  QLabel* StatusPanel(int panel) const { return panel == 0 ? panel0_ : panel1_; }
  QPushButton* StartButton() const { return start_button_; }
  QPushButton* StopButton() const { return stop_button_; }
  QAction* StartAction() const { return start_action_; }
  QAction* StopAction() const { return stop_action_; }
  QMenu* GridMenu() const { return grid_menu_; }
  QAction* UpdateAction() const { return update_action_; }
  /// Null until Attach.
  TMessageWindow* MessageWindow() const { return message_window_; }
  TUpdateWindow* UpdateWindow() const { return update_window_; }
  /// "Preferences" (F3); null until Attach.
  TSettingsWindow* SettingsWindow() const { return settings_window_; }

 protected:
  void SetUptimeText(const std::string& text) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void BuildMenus();
  void BuildGrid();
  void BuildTray();
  void ShowCell(int column, int row);
  void ShowRowCount();

  TBouncer* bouncer_ = nullptr;
  bool closing_ = false;
  QTableWidget* grid_ = nullptr;
  QMenu* grid_menu_ = nullptr;
  QLabel* user_count_ = nullptr;
  QLabel* uptime_ = nullptr;
  QLabel* panel0_ = nullptr;
  QLabel* panel1_ = nullptr;
  QPushButton* start_button_ = nullptr;
  QPushButton* stop_button_ = nullptr;
  QAction* start_action_ = nullptr;
  QAction* stop_action_ = nullptr;
  QAction* update_action_ = nullptr;
  TMessageWindow* message_window_ = nullptr;
  TUpdateWindow* update_window_ = nullptr;
  TSettingsWindow* settings_window_ = nullptr;
  TAboutBox* about_box_ = nullptr;
  TCore* core_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* tray_menu_ = nullptr;
};

}  // namespace kelvox

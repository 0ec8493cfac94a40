#include "desktop/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "base/web_site.h"
#include "console/shell_open.h"
#include "console/update_check.h"
#include "desktop/app_icon.h"

namespace kelvox {

namespace {

constexpr int kColumnWidths[TConsole::kColumns] = {171, 157, 147, 63, 53};
constexpr int kRowHeight = 20;
constexpr int kCellPadding = 12;  // the space a cell keeps around its text
constexpr int kButtonWidth = 85;
constexpr int kButtonHeight = 22;
constexpr int kPanel0Width = 530;
constexpr int kPanel1Width = 100;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

TMainWindow::TMainWindow(TEventLoop& loop)
    // Customised, so that the window manager is told there is no maximise box.
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      TConsoleModel(loop) {
  setWindowTitle(TBouncer::kCaption);
  setWindowIcon(AppIcon());

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  BuildGrid();
  layout->addWidget(grid_, 1);

  auto* counts = new QHBoxLayout();
  counts->setContentsMargins(6, 2, 6, 2);
  user_count_ = new QLabel(Text(UserCount()), central);
  uptime_ = new QLabel(Text(Uptime()), central);
  counts->addWidget(new QLabel("Connected users : ", central));
  counts->addWidget(user_count_);
  counts->addStretch(1);
  counts->addWidget(new QLabel("Uptime : ", central));
  counts->addWidget(uptime_);
  layout->addLayout(counts);

  auto* tools = new QHBoxLayout();
  tools->setContentsMargins(6, 2, 6, 2);
  start_button_ = new QPushButton("Start", central);
  stop_button_ = new QPushButton("Stop", central);
  for (QPushButton* button : {start_button_, stop_button_}) {
    button->setFixedSize(kButtonWidth, kButtonHeight);
    tools->addWidget(button);
  }
  tools->addStretch(1);
  layout->addLayout(tools);
  setCentralWidget(central);

  panel0_ = new QLabel(Text(StatusText(0)), this);
  panel1_ = new QLabel(Text(StatusText(1)), this);
  panel0_->setMinimumWidth(kPanel0Width);
  panel1_->setMinimumWidth(kPanel1Width);
  statusBar()->addWidget(panel0_, 1);
  statusBar()->addPermanentWidget(panel1_);

  BuildMenus();
  BuildTray();
  update_window_ = new TUpdateWindow(this);
  about_box_ = new TAboutBox(this);
  EnableStartStop(StartEnabled(), StopEnabled());

  resize(kWidth, kHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TMainWindow::BuildGrid() {
  grid_ = new QTableWidget(0, kColumns, this);
  grid_->setHorizontalHeaderLabels(QStringList(kColumns, QString()));
  for (int column = 0; column < kColumns; ++column) grid_->setColumnWidth(column, kColumnWidths[column]);
  grid_->verticalHeader()->hide();
  grid_->verticalHeader()->setDefaultSectionSize(kRowHeight);
  QFont bold = grid_->font();
  bold.setBold(true);
  grid_->setFont(bold);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  ShowRowCount();
  // Table row r is the console's row r + 1: the console's row 0 is the header.
  connect(grid_, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) {
    if (row >= 0) SelectRow(row + 1);
  });

  grid_menu_ = new QMenu(this);
  connect(grid_menu_->addAction("Message"), &QAction::triggered, this, [this] { MessageSelected(); });
  connect(grid_menu_->addAction("Kill"), &QAction::triggered, this, [this] { KillSelected(); });
  connect(grid_menu_->addAction("Ban"), &QAction::triggered, this, [this] { BanSelected(); });
  // A right click selects the row under the pointer before the menu opens.
  grid_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(grid_, &QWidget::customContextMenuRequested, this, [this](const QPoint& where) {
    const int row = grid_->rowAt(where.y());
    if (row >= 0) grid_->setCurrentCell(row, std::max(grid_->columnAt(where.x()), 0));
    grid_menu_->popup(grid_->viewport()->mapToGlobal(where));
  });
}

void TMainWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  start_action_ = file->addAction("Start");
  start_action_->setShortcut(QKeySequence(Qt::Key_F5));
  connect(start_action_, &QAction::triggered, start_button_, &QPushButton::click);
  stop_action_ = file->addAction("Stop");
  stop_action_->setShortcut(QKeySequence(Qt::Key_F6));
  connect(stop_action_, &QAction::triggered, stop_button_, &QPushButton::click);
  file->addSeparator();
  connect(file->addAction("&Quit"), &QAction::triggered, this, [this] { RequestClose(); });

  QMenu* options = menuBar()->addMenu("&Options");
  QAction* preferences = options->addAction("Preferences");
  preferences->setShortcut(QKeySequence(Qt::Key_F3));
  connect(preferences, &QAction::triggered, this, [this] {
    if (settings_window_ != nullptr) settings_window_->Open();
  });
  update_action_ = options->addAction("Check for update");
  update_action_->setShortcut(QKeySequence(Qt::Key_F4));
  connect(update_action_, &QAction::triggered, this, [this] { CheckForUpdate(); });

  QMenu* help = menuBar()->addMenu("&Help");
  QAction* site = help->addAction("Kelvox Website");
  site->setShortcut(QKeySequence(Qt::Key_F1));
  connect(site, &QAction::triggered, this, [] { ShellOpen(std::string(kWebSite)); });
  connect(help->addAction("About"), &QAction::triggered, this, [this] { ShowAbout(); });

  connect(start_button_, &QPushButton::clicked, this, [this] {
    if (bouncer_ != nullptr) bouncer_->Button1Click();
  });
  connect(stop_button_, &QPushButton::clicked, this, [this] {
    if (bouncer_ != nullptr) bouncer_->Button3Click();
  });
}

void TMainWindow::BuildTray() {
  // Made even when no tray is there yet: a panel that starts after the
  // program (as at logon) gets the icon when it comes.
  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(Text(TrayHint()));
  tray_menu_ = new QMenu(this);
  connect(tray_menu_->addAction("Open Kelvox"), &QAction::triggered, this, [this] { ShowMainWindow(); });
  connect(tray_menu_->addAction("Minimize Kelvox to tray"), &QAction::triggered, this,
          [this] { HideMainWindow(); });
  tray_menu_->addSeparator();
  connect(tray_menu_->addAction("Close Kelvox"), &QAction::triggered, this, [this] { RequestClose(); });
  tray_->setContextMenu(tray_menu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) ShowMainWindow();
  });
  tray_->show();
}

TCore::TFrontEnd TMainWindow::FrontEnd() {
  return {.LogfileCure = "Choose a Logs file in Options, Preferences, Divers.",
          .OnClosed = [this] { Closed(); },
          .OnReloaded = [this] { Reloaded(); }};
}

void TMainWindow::Attach(TCore& core) {
  core_ = &core;
  bouncer_ = &core.Bouncer();
  message_window_ = new TMessageWindow(*bouncer_, *this, this);
  settings_window_ = new TSettingsWindow(core.Rules(), this);
}

void TMainWindow::Closed() {
  closing_ = true;
  tray_->hide();
  hide();  // also from inside the close box's event, where close() would not recurse
  if (OnClosed) OnClosed();
}

void TMainWindow::Reloaded() {
  if (settings_window_ != nullptr && settings_window_->isVisible()) settings_window_->Refresh();
}

void TMainWindow::ShowCell(int column, int row) {
  const QString text = Text(GetCell(column, row));
  if (row == 0) {
    grid_->horizontalHeaderItem(column)->setText(text);
    return;
  }
  if (row - 1 >= grid_->rowCount()) return;
  QTableWidgetItem* item = grid_->item(row - 1, column);
  if (item == nullptr) {
    grid_->setItem(row - 1, column, new QTableWidgetItem(text));
  } else {
    item->setText(text);
  }
  // The time and the tag are short texts that mean nothing cut: their columns
  // widen to show them whole where the desktop's font is larger.
  if (column == 3 || column == 4) {
    const int needed = QFontMetrics(grid_->font()).horizontalAdvance(text) + kCellPadding;
    if (needed > grid_->columnWidth(column)) grid_->setColumnWidth(column, needed);
  }
}

void TMainWindow::ShowRowCount() {
  grid_->setRowCount(std::max(RowCount() - 1, 0));
  for (int column = 0; column < kColumns; ++column) ShowCell(column, 0);
}

void TMainWindow::SetCell(int column, int row, const std::string& text) {
  TConsoleModel::SetCell(column, row, text);
  if (column >= 0 && column < kColumns && row >= 0 && row < RowCount()) ShowCell(column, row);
}

void TMainWindow::SetRowCount(int count) {
  TConsoleModel::SetRowCount(count);
  ShowRowCount();
}

void TMainWindow::ClearRow(int row) {
  TConsoleModel::ClearRow(row);
  if (row < 0 || row >= RowCount()) return;
  for (int column = 0; column < kColumns; ++column) ShowCell(column, row);
}

void TMainWindow::SetStatusText(int panel, const std::string& text) {
  TConsoleModel::SetStatusText(panel, text);
  StatusPanel(panel)->setText(Text(text));
}

void TMainWindow::SetUserCount(const std::string& text) {
  TConsoleModel::SetUserCount(text);
  user_count_->setText(Text(text));
}

void TMainWindow::SetUptimeText(const std::string& text) {
  TConsoleModel::SetUptimeText(text);
  uptime_->setText(Text(text));
}

void TMainWindow::SetTrayHint(const std::string& text) {
  TConsoleModel::SetTrayHint(text);
  tray_->setToolTip(Text(text));
}

void TMainWindow::EnableStartStop(bool start_enabled, bool stop_enabled) {
  TConsoleModel::EnableStartStop(start_enabled, stop_enabled);
  start_button_->setEnabled(start_enabled);
  start_action_->setEnabled(start_enabled);
  stop_button_->setEnabled(stop_enabled);
  stop_action_->setEnabled(stop_enabled);
}

void TMainWindow::PlayBeep() {
  TConsoleModel::PlayBeep();
  QApplication::beep();
}

void TMainWindow::ShowMainWindow() {
  TConsoleModel::ShowMainWindow();
  showNormal();
  raise();
  activateWindow();
}

void TMainWindow::HideMainWindow() {
  TConsoleModel::HideMainWindow();
  // Without a tray there would be no way back: the window is minimised instead.
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    hide();
  } else {
    showMinimized();
  }
}

bool TMainWindow::AskOkCancel(const std::string& text, const std::string& caption) {
  if (AskHandler) return TConsoleModel::AskOkCancel(text, caption);
  QMessageBox box(QMessageBox::Question, Text(caption), Text(text), QMessageBox::Ok | QMessageBox::Cancel, this);
  return box.exec() == QMessageBox::Ok;
}

void TMainWindow::ShowError(const std::string& text) {
  TConsoleModel::ShowError(text);
  // Not modal: the engine's handler that reports it goes on. Over the window
  // the operator is in (the settings dialog stays on top of this one).
  QWidget* over = QApplication::activeModalWidget();
  if (over == nullptr) over = QApplication::activeWindow();
  auto* box = new QMessageBox(QMessageBox::Critical, "Kelvox", Text(text), QMessageBox::Ok, over ? over : this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
}

void TMainWindow::KillSelected() {
  if (bouncer_ != nullptr) bouncer_->Kick(SelectedRow(), true);
}

void TMainWindow::BanSelected() {
  if (bouncer_ != nullptr) bouncer_->Ban(SelectedRow());
}

void TMainWindow::MessageSelected() {
  if (message_window_ != nullptr) message_window_->Open(SelectedRow());
}

void TMainWindow::CheckForUpdate() {
  if (core_ != nullptr) core_->Update().Recherchedemisejour1Click();
}

void TMainWindow::SetUpdateText(const std::string& text, const std::string& link) {
  TConsoleModel::SetUpdateText(text, link);
  update_window_->Show(text, link);
}

void TMainWindow::RequestClose() {
  if (bouncer_ != nullptr) {
    bouncer_->Quitter1Click();  // asks when users are connected; OnClose closes
    return;
  }
  Closed();
}

void TMainWindow::ShowAbout() {
  about_box_->show();
  about_box_->raise();
  about_box_->activateWindow();
}

void TMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Only the first showing does anything (the headers, AutoStart, Minimise).
  if (bouncer_ != nullptr) bouncer_->FormShow();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  RequestClose();
  event->setAccepted(closing_);  // Cancel keeps the window
}

void TMainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimising hides the window to the tray, once the state change is over.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && QSystemTrayIcon::isSystemTrayAvailable()) {
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) HideMainWindow();
    });
  }
}

}  // namespace kelvox

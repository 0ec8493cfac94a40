#include "desktop/settings_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <optional>
#include <utility>
#include <variant>

#include "base/text_case.h"
#include "config/settings.h"
#include "config/settings_keys.h"

namespace kelvox {

namespace {

using TList = TConfigurationDialog::TList;


QString Text(const std::string& text) { return QString::fromStdString(text); }

std::size_t Index(TList list) { return static_cast<std::size_t>(list); }

// The object names of a list group's entry field ("Ban entry") and list ("Ban list").
QString GroupName(TList list, const char* part) {
  constexpr const char* kNames[] = {"Ban", "Access", "Destination"};
  return QString(kNames[Index(list)]) + " " + part;
}

// Shows the entries and selects the rows in `selected`, without reporting it.
void ShowEntries(QListWidget* widget, const std::vector<std::string>& entries, const std::set<std::size_t>& selected) {
  const QSignalBlocker quiet(widget);
  widget->clear();
  for (const std::string& entry : entries) widget->addItem(Text(entry));
  for (const std::size_t row : selected) {
    if (row < entries.size()) widget->item(static_cast<int>(row))->setSelected(true);
  }
}

std::set<std::size_t> SelectedRows(const QListWidget* widget) {
  std::set<std::size_t> rows;
  for (int row = 0; row < widget->count(); ++row) {
    if (widget->item(row)->isSelected()) rows.insert(static_cast<std::size_t>(row));
  }
  return rows;
}

}  // namespace

TSettingsWindow::TSettingsWindow(TConfigurationDialog& rules, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      rules_(rules) {
  setWindowTitle("Configuration");
  groups_ = {TListGroup{TList::Ban}, TListGroup{TList::Access}, TListGroup{TList::Destination}};

  auto* layout = new QVBoxLayout(this);
  pages_ = new QTabWidget(this);
  pages_->addTab(MainPage(), "Main");
  pages_->addTab(AdvancedPage(), "Advanced");
  pages_->addTab(RestrictionsPage(), "Restrictions");
  pages_->addTab(IpPage(), "Ip");
  pages_->addTab(DiversPage(), "Divers");
  layout->addWidget(pages_);

  auto* buttons = new QHBoxLayout();
  ok_ = new QPushButton("&OK", this);
  cancel_ = new QPushButton("&Cancel", this);
  ok_->setDefault(true);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  connect(ok_, &QPushButton::clicked, this, [this] { Confirm(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });

  mask_dialog_ = new TMaskDialog(rules_.MaskText, this);
  rules_.PickFile = [this]() -> std::optional<std::string> {
    const QString path = QFileDialog::getOpenFileName(this);
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
  };
  Refresh();
}

TSettingsWindow::~TSettingsWindow() { rules_.PickFile = nullptr; }

QWidget* TSettingsWindow::MainPage() {
  auto* page = new QWidget(pages_);
  auto* layout = new QGridLayout(page);
  layout->addWidget(new QLabel("Listen on port :", page), 0, 0);
  layout->addWidget(Field("Port", false, page), 0, 1);
  layout->addWidget(new QLabel("Max users number :", page), 1, 0);
  layout->addWidget(Field("Max", false, page), 1, 1);

  auto* welcome = new QGroupBox("Welcome message", page);
  welcome_ = new QPlainTextEdit(welcome);
  (new QVBoxLayout(welcome))->addWidget(welcome_);
  layout->addWidget(welcome, 2, 0, 1, 2);
  connect(welcome_, &QPlainTextEdit::textChanged, this, [this] {
    const QString text = welcome_->toPlainText();
    std::vector<std::string> lines;
    if (!text.isEmpty()) {
      for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
    }
    rules_.SetWelcomeText(std::move(lines));
  });

  int row = 3;
  for (const auto& [caption, key] : {std::pair{"Beep on event (connection...).", "Beep"},
                                     std::pair{"Auto listen on start.", "AutoStart"},
                                     std::pair{"Minimize to tray on start.", "Minimise"},
                                     std::pair{"Launch Kelvox on Windows startup", "WindowsStart"}}) {
    layout->addWidget(Box(caption, key, page), row++, 0, 1, 2);
  }
  return page;
}

QWidget* TSettingsWindow::AdvancedPage() {
  auto* page = new QWidget(pages_);
  auto* layout = new QGridLayout(page);

  auto* users = new QGroupBox("Users password", page);
  auto* users_layout = new QGridLayout(users);
  users_layout->addWidget(Box("Identification by password", "Identification", users), 0, 0, 1, 2);
  users_layout->addWidget(new QLabel("Enter password", users), 1, 0);
  users_layout->addWidget(Field("Password", true, users), 1, 1);
  users_layout->addWidget(new QLabel("Re-enter password", users), 2, 0);
  users_layout->addWidget(Field(TConfigurationDialog::kUsersConfirmation, true, users), 2, 1);
  layout->addWidget(users, 0, 0);

  auto* admin = new QGroupBox("Administrator password", page);
  auto* admin_layout = new QGridLayout(admin);
  admin_layout->addWidget(new QLabel("Enter password", admin), 0, 0);
  admin_layout->addWidget(Field("Admin password", true, admin), 0, 1);
  admin_layout->addWidget(new QLabel("Re-enter password", admin), 1, 0);
  admin_layout->addWidget(Field(TConfigurationDialog::kAdminConfirmation, true, admin), 1, 1);
  admin_layout->addWidget(new QLabel("Default password : tolvin", admin), 2, 0, 1, 2);
  layout->addWidget(admin, 0, 1);

  auto* commands = new QGroupBox("Availabled commands", page);
  auto* commands_layout = new QVBoxLayout(commands);
  for (const char* key : {"Time", "TimeUp", "WhoisOn", "IpList", "Ip"}) {
    commands_layout->addWidget(Box(key, key, commands));
  }
  layout->addWidget(commands, 1, 0);

  auto* options = new QGroupBox("Options", page);
  auto* options_layout = new QVBoxLayout(options);
  options_layout->addWidget(Box("Protection for users against CTCP flood.", "CTCP protect", options));
  options_layout->addWidget(Box("Let the bouncer manage server's PINGs.", "AutoPong", options));
  layout->addWidget(options, 1, 1);
  return page;
}

QWidget* TSettingsWindow::RestrictionsPage() {
  auto* page = new QWidget(pages_);
  auto* layout = new QGridLayout(page);
  layout->addWidget(ListGroup("Ban list", TList::Ban, page), 0, 0, 2, 1);

  auto* access = new QGroupBox("Access restrictions", page);
  auto* access_layout = new QVBoxLayout(access);
  access_layout->addWidget(Choice("Accept ANY ip.", "Acces", "all", access));
  access_layout->addWidget(Choice("Accept ONLY these ip.", "Acces", "only", access));
  access_layout->addWidget(Choice("Accept ANY EXCEPT these ip.", "Acces", "except", access));
  access_layout->addWidget(ListGroup(nullptr, TList::Access, access));
  layout->addWidget(access, 0, 1);

  auto* destination = new QGroupBox("Destination restrictions", page);
  auto* destination_layout = new QVBoxLayout(destination);
  destination_layout->addWidget(Choice("Allow connections to ANY irc servers.", "destination", "all", destination));
  destination_layout->addWidget(
      Choice("Allow connections to ONLY these irc servers.", "destination", "only", destination));
  destination_layout->addWidget(
      Choice("Allow connections to ANY EXCEPT these servers.", "destination", "except", destination));
  destination_layout->addWidget(ListGroup(nullptr, TList::Destination, destination));
  layout->addWidget(destination, 1, 1);
  return page;
}

QWidget* TSettingsWindow::IpPage() {
  auto* page = new QWidget(pages_);
  auto* layout = new QHBoxLayout(page);

  auto* available = new QGroupBox("Available IPs", page);
  available_ = AddressList(rules_.AvailableSelection, available);
  available_->setObjectName("Available IPs");
  (new QVBoxLayout(available))->addWidget(available_);
  layout->addWidget(available);

  auto* actions = new QVBoxLayout();
  auto* add_selection = new QPushButton("Add selection ->", page);
  auto* add_mask = new QPushButton("Add IP mask    ->", page);
  auto* remove_selection = new QPushButton("<- Remove selection", page);
  actions->addStretch(1);
  for (QPushButton* button : {add_selection, add_mask, remove_selection}) {
    button->setAutoDefault(false);
    actions->addWidget(button);
  }
  actions->addStretch(1);
  layout->addLayout(actions);
  connect(add_selection, &QPushButton::clicked, this, [this] {
    rules_.AddSelection();
    ShowAddresses();
  });
  connect(add_mask, &QPushButton::clicked, this, [this] { AddMask(); });
  connect(remove_selection, &QPushButton::clicked, this, [this] {
    rules_.RemoveSelection();
    ShowAddresses();
  });

  auto* selectable = new QGroupBox("Allow users to select these IPs", page);
  selectable_ = AddressList(rules_.SelectableSelection, selectable);
  selectable_->setObjectName("Selectable IPs");
  (new QVBoxLayout(selectable))->addWidget(selectable_);
  layout->addWidget(selectable);
  return page;
}

QWidget* TSettingsWindow::DiversPage() {
  auto* page = new QWidget(pages_);
  auto* layout = new QVBoxLayout(page);
  auto* logging = new QGroupBox("Logging", page);
  auto* logging_layout = new QGridLayout(logging);
  logging_layout->addWidget(Box("log events", "Log", logging), 0, 0, 1, 3);
  logging_layout->addWidget(Box("Create one file by day.", "LogDay", logging), 1, 0, 1, 3);
  logging_layout->addWidget(new QLabel("Logs file", logging), 2, 0);
  logging_layout->addWidget(Field("Logfile", false, logging), 2, 1);
  choose_file_ = new QPushButton("...", logging);
  view_log_ = new QPushButton("View logs", logging);
  for (QPushButton* button : {choose_file_, view_log_}) button->setAutoDefault(false);
  logging_layout->addWidget(choose_file_, 2, 2);
  logging_layout->addWidget(view_log_, 3, 0);
  connect(choose_file_, &QPushButton::clicked, this, [this] {
    rules_.ChooseLogFile();
    Refresh();
  });
  connect(view_log_, &QPushButton::clicked, this, [this] { rules_.ViewLog(); });
  layout->addWidget(logging);
  layout->addStretch(1);
  return page;
}

QCheckBox* TSettingsWindow::Box(const char* caption, const char* key, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(key);
  boxes_.push_back({box, key});
  // clicked: the operator's change only, not the showing of a held value.
  connect(box, &QCheckBox::clicked, this, [this, key = std::string(key)](bool on) { Set(key, on ? "yes" : "no"); });
  return box;
}

QLineEdit* TSettingsWindow::Field(const char* key, bool secret, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(key);
  if (const std::size_t most = TConfigurationDialog::MaxLength(key); most > 0) edit->setMaxLength(static_cast<int>(most));
  if (secret) edit->setEchoMode(QLineEdit::Password);
  fields_.push_back({edit, key});
  connect(edit, &QLineEdit::textEdited, this,
          [this, key = std::string(key)](const QString& text) { Set(key, text.toStdString()); });
  return edit;
}

QRadioButton* TSettingsWindow::Choice(const char* caption, const char* key, const char* value, QWidget* parent) {
  auto* radio = new QRadioButton(caption, parent);
  radio->setObjectName(std::string(key).append(" ").append(value).c_str());
  choices_.push_back({radio, key, value});
  connect(radio, &QRadioButton::clicked, this,
          [this, key = std::string(key), value = std::string(value)] { Set(key, value); });
  return radio;
}

QWidget* TSettingsWindow::ListGroup(const char* title, TList list, QWidget* parent) {
  QWidget* group = title != nullptr ? new QGroupBox(title, parent) : new QWidget(parent);
  auto* layout = new QGridLayout(group);
  if (title == nullptr) layout->setContentsMargins(0, 0, 0, 0);
  TListGroup& bound = groups_[Index(list)];
  bound.Entry = new QLineEdit(group);
  bound.Entries = new QListWidget(group);
  bound.Entries->setSelectionMode(QAbstractItemView::SingleSelection);
  bound.Entry->setObjectName(GroupName(list, "entry"));
  bound.Entries->setObjectName(GroupName(list, "list"));
  auto* add = new QPushButton("Add", group);
  auto* remove = new QPushButton("Cancel", group);  // removes the selected entry
  for (QPushButton* button : {add, remove}) button->setAutoDefault(false);
  layout->addWidget(bound.Entry, 0, 0);
  layout->addWidget(add, 0, 1);
  layout->addWidget(remove, 0, 2);
  layout->addWidget(bound.Entries, 1, 0, 1, 3);

  connect(bound.Entry, &QLineEdit::textEdited, this,
          [this, list](const QString& text) { rules_.EntryField(list) = text.toStdString(); });
  connect(bound.Entries, &QListWidget::itemSelectionChanged, this, [this, list] {
    const std::set<std::size_t> rows = SelectedRows(groups_[Index(list)].Entries);
    rules_.Selection(list) = rows.empty() ? -1 : static_cast<int>(*rows.begin());
  });
  connect(add, &QPushButton::clicked, this, [this, list] {
    rules_.AddListEntry(list);
    ShowList(groups_[Index(list)]);
  });
  connect(remove, &QPushButton::clicked, this, [this, list] {
    rules_.RemoveListEntry(list);
    ShowList(groups_[Index(list)]);
  });
  return group;
}

QListWidget* TSettingsWindow::AddressList(std::set<std::size_t>& selection, QWidget* parent) {
  auto* widget = new QListWidget(parent);
  widget->setSelectionMode(QAbstractItemView::ExtendedSelection);
  connect(widget, &QListWidget::itemSelectionChanged, this,
          [widget, &selection] { selection = SelectedRows(widget); });
  return widget;
}

void TSettingsWindow::Set(const std::string& key, const std::string& value) {
  if (rules_.Set(key, value) != TConfigurationDialog::TSetResult::Done) {
    Refresh();
    return;
  }
  ShowState();
}

void TSettingsWindow::ShowState() {
  for (const TField& field : fields_) {
    field.Edit->setEnabled(rules_.Editable(field.Key));
    if (field.Key == "Logfile") field.Edit->setToolTip(Text(rules_.LogfileTooltip()));
  }
  for (const TBox& box : boxes_) box.Box->setEnabled(rules_.Editable(box.Key));
  const bool log = rules_.LogEditable();
  choose_file_->setEnabled(log);
  view_log_->setEnabled(log);
}

void TSettingsWindow::Refresh() {
  for (const TField& field : fields_) {
    const QString held = Text(rules_.FieldText(field.Key));
    if (field.Edit->text() != held) field.Edit->setText(held);
  }
  for (const TBox& box : boxes_) box.Box->setChecked(rules_.FieldText(box.Key) == "yes");
  for (const TChoice& choice : choices_) choice.Radio->setChecked(rules_.FieldText(choice.Key) == choice.Value);
  {
    QStringList lines;
    for (const std::string& line : rules_.WelcomeText()) lines << Text(line);
    const QSignalBlocker quiet(welcome_);
    welcome_->setPlainText(lines.join('\n'));
  }
  for (const TListGroup& group : groups_) ShowList(group);
  ShowAddresses();
  ShowState();
}

void TSettingsWindow::ShowList(const TListGroup& group) {
  group.Entry->setText(Text(rules_.EntryField(group.List)));
  const int selected = rules_.Selection(group.List);
  std::set<std::size_t> rows;
  if (selected >= 0) rows.insert(static_cast<std::size_t>(selected));
  ShowEntries(group.Entries, rules_.Entries(group.List).Entries(), rows);
}

void TSettingsWindow::ShowAddresses() {
  ShowEntries(available_, rules_.AvailableIps, rules_.AvailableSelection);
  ShowEntries(selectable_, rules_.SelectableIps(), rules_.SelectableSelection);
}

void TSettingsWindow::Open() {
  rules_.Open();
  Refresh();
  show();
  raise();
  activateWindow();
}

void TSettingsWindow::Confirm() {
  if (rules_.Confirm()) {
    QDialog::accept();
    return;
  }
  // The dialog stays; a refused pair of passwords now shows empty.
  Refresh();
}

void TSettingsWindow::reject() {
  rules_.Cancel();
  QDialog::reject();
}

void TSettingsWindow::AddMask() {
  if (!mask_dialog_->Ask()) return;
  rules_.AddMask();
  ShowAddresses();
}

}  // namespace kelvox

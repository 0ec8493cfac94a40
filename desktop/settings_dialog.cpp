#include "desktop/settings_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <iterator>
#include <map>
#include <optional>
#include <utility>
#include <variant>

#include "config/settings.h"

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
  for (std::size_t page = 0; page < std::size(kSettingsPageNames); ++page) {
    pages_->addTab(Page(static_cast<TSettingsPage>(page)), kSettingsPageNames[page]);
  }
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

QWidget* TSettingsWindow::Page(TSettingsPage page) {
  if (page == TSettingsPage::Ip) return IpLists(pages_);
  auto* widget = new QWidget(pages_);
  // A form per group, made when its first row comes; the page's own fields
  // (no group) come first.
  std::map<std::string, std::pair<QWidget*, QFormLayout*>> forms;
  std::vector<QWidget*> groups;
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Dialog.Page != page) continue;
    auto& [group, form] = forms[key.Dialog.Group];
    if (group == nullptr) {
      const bool titled = *key.Dialog.Group != '\0';
      group = titled ? new QGroupBox(key.Dialog.Group, widget) : new QWidget(widget);
      form = new QFormLayout(group);
      if (!titled) form->setContentsMargins(0, 0, 0, 0);
      groups.insert(titled ? groups.end() : groups.begin(), group);
    }
    AddRow(key, form, group);
  }
  if (page == TSettingsPage::Main) groups.push_back(WelcomeGroup(widget));

  // Two groups to a line; the ban list, which no setting has, takes the
  // first column of its page.
  auto* layout = new QGridLayout(widget);
  int first_column = 0;
  if (page == TSettingsPage::Restrictions) {
    layout->addWidget(ListGroup("Ban list", TList::Ban, widget), 0, 0, 2, 1);
    first_column = 1;
  }
  const int per_line = 2 - first_column;
  for (int i = 0; i < static_cast<int>(groups.size()); ++i) {
    layout->addWidget(groups[static_cast<std::size_t>(i)], i / per_line, first_column + i % per_line, Qt::AlignTop);
  }
  layout->setColumnStretch(0, 1);
  layout->setColumnStretch(1, 1);
  layout->setRowStretch(layout->rowCount(), 1);
  return widget;
}

void TSettingsWindow::AddRow(const TSettingKey& key, QFormLayout* form, QWidget* group) {
  const TSettingField& dialog = key.Dialog;
  if (std::holds_alternative<bool TSettings::*>(key.Field)) {
    form->addRow(Box(dialog.Caption, key.Name, group));
  } else if (const auto* mode = std::get_if<TListMode TSettings::*>(&key.Field)) {
    form->addRow(Choices(key, group));
    // A mode says how its list applies: the list stands below its choices.
    form->addRow(ListGroup(nullptr, *mode == &TSettings::Acces ? TList::Access : TList::Destination, group));
  } else {
    QLineEdit* edit = Field(key.Name, key.Password(), group);
    if (key.Field == TSettingKey::TField(&TSettings::Logfile)) {
      logfile_ = edit;
      AddLogActions(dialog.Caption, edit, form, group);
    } else {
      form->addRow(new QLabel(dialog.Caption, group), edit);
    }
    if (key.Password()) {
      form->addRow(new QLabel("Re-enter password", group), Field(ConfirmationName(key), true, group));
    }
    if (key.Field == TSettingKey::TField(&TSettings::AdminPassword)) {
      form->addRow(new QLabel(Text("Default password : " + TSettings(std::string()).AdminPassword), group));
    }
  }
}

QWidget* TSettingsWindow::WelcomeGroup(QWidget* parent) {
  auto* welcome = new QGroupBox("Welcome message", parent);
  welcome_ = new QPlainTextEdit(welcome);
  (new QVBoxLayout(welcome))->addWidget(welcome_);
  connect(welcome_, &QPlainTextEdit::textChanged, this, [this] {
    const QString text = welcome_->toPlainText();
    std::vector<std::string> lines;
    if (!text.isEmpty()) {
      for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
    }
    rules_.SetWelcomeText(std::move(lines));
  });
  return welcome;
}

QWidget* TSettingsWindow::IpLists(QWidget* parent) {
  auto* lists = new QWidget(parent);
  auto* layout = new QHBoxLayout(lists);

  auto* available = new QGroupBox("Available IPs", lists);
  available_ = AddressList(rules_.AvailableSelection, available);
  available_->setObjectName("Available IPs");
  (new QVBoxLayout(available))->addWidget(available_);
  layout->addWidget(available);

  auto* actions = new QVBoxLayout();
  auto* add_selection = new QPushButton("Add selection ->", lists);
  auto* add_mask = new QPushButton("Add IP mask    ->", lists);
  auto* remove_selection = new QPushButton("<- Remove selection", lists);
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

  auto* selectable = new QGroupBox("Allow users to select these IPs", lists);
  selectable_ = AddressList(rules_.SelectableSelection, selectable);
  selectable_->setObjectName("Selectable IPs");
  (new QVBoxLayout(selectable))->addWidget(selectable_);
  layout->addWidget(selectable);
  return lists;
}

void TSettingsWindow::AddLogActions(const char* caption, QLineEdit* logfile, QFormLayout* form, QWidget* group) {
  choose_file_ = new QPushButton("...", group);
  view_log_ = new QPushButton("View logs", group);
  for (QPushButton* button : {choose_file_, view_log_}) button->setAutoDefault(false);
  auto* line = new QHBoxLayout();
  line->addWidget(logfile);
  line->addWidget(choose_file_);
  form->addRow(new QLabel(caption, group), line);
  form->addRow(view_log_);
  connect(choose_file_, &QPushButton::clicked, this, [this] {
    rules_.ChooseLogFile();
    Refresh();
  });
  connect(view_log_, &QPushButton::clicked, this, [this] { rules_.ViewLog(); });
}

QCheckBox* TSettingsWindow::Box(const char* caption, const std::string& key, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(Text(key));
  boxes_.push_back({box, key});
  // clicked: the operator's change only, not the showing of a held value.
  connect(box, &QCheckBox::clicked, this, [this, key](bool on) { Set(key, on ? "yes" : "no"); });
  return box;
}

QLineEdit* TSettingsWindow::Field(const std::string& key, bool secret, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(Text(key));
  if (const std::size_t most = TConfigurationDialog::MaxLength(key); most > 0) edit->setMaxLength(static_cast<int>(most));
  if (secret) edit->setEchoMode(QLineEdit::Password);
  fields_.push_back({edit, key});
  connect(edit, &QLineEdit::textEdited, this, [this, key](const QString& text) { Set(key, text.toStdString()); });
  return edit;
}

QWidget* TSettingsWindow::Choices(const TSettingKey& key, QWidget* parent) {
  // Their own parent keeps a mode's choices apart from any other's.
  auto* choices = new QWidget(parent);
  choices->setObjectName(key.Name);
  auto* layout = new QVBoxLayout(choices);
  layout->setContentsMargins(0, 0, 0, 0);
  for (std::size_t i = 0; i < key.Dialog.Choices.size(); ++i) {
    const std::string value(ListModeText(static_cast<TListMode>(i)));
    auto* radio = new QRadioButton(key.Dialog.Choices[i], choices);
    radio->setObjectName(Text(std::string(key.Name) + " " + value));
    choices_.push_back({radio, key.Name, value});
    connect(radio, &QRadioButton::clicked, this, [this, name = std::string(key.Name), value] { Set(name, value); });
    layout->addWidget(radio);
  }
  return choices;
}

QWidget* TSettingsWindow::ListGroup(const char* title, TList list, QWidget* parent) {
  QWidget* group = title != nullptr ? new QGroupBox(title, parent) : new QWidget(parent);
  auto* layout = new QGridLayout(group);
  if (title == nullptr) layout->setContentsMargins(0, 0, 0, 0);
  TListGroup& bound = groups_[Index(list)];
  bound.Entry = new QLineEdit(group);
  bound.Entry->setMinimumWidth(bound.Entry->sizeHint().width());
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
  if (const auto result = rules_.Set(key, value); result != TConfigurationDialog::TSetResult::Done) {
    Refresh();
    rules_.ShowRefusal(key, result);
    return;
  }
  ShowState();
}

void TSettingsWindow::ShowState() {
  for (const TField& field : fields_) field.Edit->setEnabled(rules_.Editable(field.Key));
  for (const TBox& box : boxes_) box.Box->setEnabled(rules_.Editable(box.Key));
  logfile_->setToolTip(Text(rules_.LogfileTooltip()));
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

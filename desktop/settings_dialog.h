// The settings dialog ("Configuration") drawn over TConfigurationDialog. Its
// pages are made from the settings' rows (kSettingKeys): per page a form for each
// group, in the rows' order, with a box for each yes/no setting, a line for each
// text (as long as the rules let it be; a password masked, with its second
// entry), the choices of each mode; the lists and their actions are placed
// beside them. Each edit goes to the rules at once (so it is in force for the
// engine as it is made) and what they refuse is shown in their words; "&OK" and
// "&Cancel" are the rules' Confirm and Cancel. The widgets hold no state of their
// own: Refresh shows the settings again, as Open does after the rules have
// reloaded them.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QFormLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <array>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "config/settings_keys.h"
#include "console/settings_rules.h"
#include "desktop/mask_dialog.h"

namespace kelvox {

class TSettingsWindow : public QDialog {
 public:
  /// `rules` outlive the window, which becomes their file-open dialog
  /// (PickFile) for its lifetime.
  TSettingsWindow(TConfigurationDialog& rules, QWidget* parent);
  ~TSettingsWindow() override;
  TSettingsWindow(const TSettingsWindow&) = delete;
  TSettingsWindow& operator=(const TSettingsWindow&) = delete;

  /// The Preferences command: the rules reload and remember the port, the
  /// widgets show the settings, and the dialog shows (not modal) in front.
  void Open();
  /// Shows the settings and the rules' fields, lists and selections again.
  void Refresh();

  /// "&Cancel", Escape and the close box: the rules' Cancel, then hide.
  void reject() override;

  // For whoever drives the dialog from outside (the tests). The widgets bound
  // to a setting carry its INI key (or the second entry's name) as their
  // object name, a mode's choices stand in a widget of its key's name and carry
  // the key and value ("Acces only"), a list group's field and list "Ban entry"
  // and "Ban list" (Access, Destination), the address lists "Available IPs" and
  // "Selectable IPs".
  QTabWidget* Pages() const { return pages_; }
  QPushButton* OkButton() const { return ok_; }
  TMaskDialog* MaskDialog() const { return mask_dialog_; }

 private:
  struct TBox {
    QCheckBox* Box;
    std::string Key;
  };
  struct TField {
    QLineEdit* Edit;
    std::string Key;
  };
  struct TChoice {
    QRadioButton* Radio;
    std::string Key;
    std::string Value;
  };
  struct TListGroup {
    TConfigurationDialog::TList List;
    QLineEdit* Entry = nullptr;
    QListWidget* Entries = nullptr;
  };

  /// A page: its rows' groups, two to a line, and what stands beside them.
  QWidget* Page(TSettingsPage page);
  /// The field of one row, with what belongs to it, added to its group's form.
  void AddRow(const TSettingKey& key, QFormLayout* form, QWidget* group);
  QWidget* WelcomeGroup(QWidget* parent);
  QWidget* IpLists(QWidget* parent);
  /// The log file's actions, "..." beside its field and "View logs" below it.
  void AddLogActions(const char* caption, QLineEdit* logfile, QFormLayout* form, QWidget* group);
  QCheckBox* Box(const char* caption, const std::string& key, QWidget* parent);
  /// A line for the key, as long as the rules let it be.
  QLineEdit* Field(const std::string& key, bool secret, QWidget* parent);
  /// The three choices of a mode, in a widget of the key's name.
  QWidget* Choices(const TSettingKey& key, QWidget* parent);
  QWidget* ListGroup(const char* title, TConfigurationDialog::TList list, QWidget* parent);
  QListWidget* AddressList(std::set<std::size_t>& selection, QWidget* parent);

  /// Hands an edit to the rules; what they refuse is shown as held again.
  void Set(const std::string& key, const std::string& value);
  /// Editability (Identification, Log) and the Logfile tooltip.
  void ShowState();
  void ShowList(const TListGroup& group);
  void ShowAddresses();
  void Confirm();
  void AddMask();

  TConfigurationDialog& rules_;
  std::vector<TBox> boxes_;
  std::vector<TField> fields_;
  std::vector<TChoice> choices_;
  std::array<TListGroup, 3> groups_{};
  QTabWidget* pages_ = nullptr;
  QPlainTextEdit* welcome_ = nullptr;
  QLineEdit* logfile_ = nullptr;
  QListWidget* available_ = nullptr;
  QListWidget* selectable_ = nullptr;
  QPushButton* choose_file_ = nullptr;
  QPushButton* view_log_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  TMaskDialog* mask_dialog_ = nullptr;
};

}  // namespace kelvox

// The settings dialog ("Configuration") drawn over TConfigurationDialog: five
// pages of fields, boxes, choices and lists, each edit handed to the rules at
// once (so it is in force for the engine as it is made), "&OK" and "&Cancel"
// handed to the rules' Confirm and Cancel, whose checks and error boxes are
// theirs. The widgets hold no state of their own: Refresh shows the settings
// again, as Open does after the rules have reloaded them.
#pragma once

#include <QCheckBox>
#include <QDialog>
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
  // to a setting carry its INI key (or the confirmation field's name) as their
  // object name, a choice its key and value ("Acces only"), a list group's
  // field and list "Ban entry" and "Ban list" (Access, Destination), the
  // address lists "Available IPs" and "Selectable IPs".
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

  QWidget* MainPage();
  QWidget* AdvancedPage();
  QWidget* RestrictionsPage();
  QWidget* IpPage();
  QWidget* DiversPage();
  QCheckBox* Box(const char* caption, const char* key, QWidget* parent);
  /// A line for the key, as long as the rules let it be.
  QLineEdit* Field(const char* key, bool secret, QWidget* parent);
  QRadioButton* Choice(const char* caption, const char* key, const char* value, QWidget* parent);
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
  QListWidget* available_ = nullptr;
  QListWidget* selectable_ = nullptr;
  QPushButton* choose_file_ = nullptr;
  QPushButton* view_log_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  TMaskDialog* mask_dialog_ = nullptr;
};

}  // namespace kelvox

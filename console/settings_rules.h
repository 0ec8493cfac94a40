// The settings dialog ("Configuration") as a model that every front end drives.
// It holds no copy of the settings: it edits the one TSettings in place, so each
// change is in force for the engine the moment it is made. On top of the store it
// adds the rules applied at opening and confirmation, the change rules of single
// settings, the editing of the four address lists and the log file actions.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/settings_keys.h"

namespace kelvox {

class TConsole;
class TSettings;
class TSortedList;

class TConfigurationDialog {
 public:
  /// The three sorted lists, each with an entry field and at most one selection.
  enum class TList { Ban, Access, Destination };

  enum class TSetResult {
    Done,         // set (or already held), the change rules applied
    UnknownKey,   // no such setting
    BadValue,     // not "yes"/"no", not "all"/"only"/"except", or not a whole number within bounds
    TooLong,      // beyond the field's length
    NotEditable,  // the field is disabled now (see PasswordEditable, LogEditable)
  };

  /// Shows status-bar texts and error boxes on `console`.
  TConfigurationDialog(TSettings& settings, TConsole& console);

  /// What the error about Log on with an empty Logfile adds, to say how to set
  /// one in this front end (after a blank). Empty, it adds nothing.
  std::string LogfileCure;
  /// Opens a file or an address with the desktop (View logs). Unset, nothing opens.
  std::function<void(const std::string& target)> ShellOpen;
  /// The settings were read again, or a ban, access or destination list was
  /// edited: their host names want looking up.
  std::function<void()> OnListsChanged;
  /// The settings were confirmed, or read again: what takes effect only then
  /// (the metrics port) is put in force.
  std::function<void()> OnApplied;
  /// The platform's file-open dialog: the chosen path, or nullopt when the
  /// operator cancels. Unset, choosing a log file does nothing.
  std::function<std::optional<std::string>()> PickFile;

  // --- life cycle -------------------------------------------------------------
  /// Program start: fills the available addresses, loads Config.ini when it
  /// exists, sets status-bar panel 0 to "Listen on port: <port>" or, for an
  /// empty port, "Listen port already in used.", and writes the configuration
  /// back whole.
  void FormCreate();
  /// Reloads Config.ini when it exists (discarding unsaved edits), remembers the
  /// port and shows the dialog.
  void Open();
  /// "&OK": differing admin passwords show "Check Admin password.", differing
  /// users passwords (with Identification on) "Check Users password."; either
  /// empties both texts of its pair and stops. A whole number out of its
  /// bounds (one the file held: Set refuses them) shows Refusal's text and
  /// stops. Then SaveConfig; a failed save stops there. A port that differs
  /// from the one at opening shows "New listen port, restart the bouncer."
  /// (the listener keeps its port). Hides the dialog; returns whether it got
  /// that far. Log on with an empty Logfile shows "Log is on but Logfile is
  /// empty: ..." after the save.
  bool Confirm();
  /// Reads Config.ini and the list files again when Config.ini exists,
  /// discarding unsaved edits, without showing the dialog; a port that the
  /// reading changes shows its panel text, and Log on with an empty Logfile an
  /// error box.
  void Reload();
  /// "&Cancel": hides the dialog. The edits stay in force until the next
  /// opening reloads or the next confirmation saves them.
  void Cancel() { visible_ = false; }
  bool Visible() const { return visible_; }
  const std::string& PortAtOpening() const { return port_at_opening_; }

  // --- single settings --------------------------------------------------------
  /// Sets a setting by its INI key (any letter case), or a password's second
  /// entry ("Admin password confirmation", "Password confirmation"), then
  /// applies the change rules when the value differs from the one held: the
  /// start-at-logon entry, the access and destination modes, and for Port the
  /// panel 0 text "Listen on port: <port>" or "Undefined listen port.".
  /// Yes/no settings take "yes" or "no", modes "all", "only" or "except" (any
  /// letter case), whole numbers decimal digits within their bounds; texts are
  /// taken as they are.
  TSetResult Set(std::string_view key, const std::string& value);
  /// What Set's refusal of a value for `key` says, the same in every front end:
  /// "Max is too long: at most 2 characters", "Password cannot be edited now:
  /// Identification is off", "Beep is yes or no", "Linger lines is a number
  /// from 1 to 20000", "no setting named Prot".
  static std::string Refusal(std::string_view key, TSetResult result);
  /// Shows Refusal's text in an error box.
  void ShowRefusal(std::string_view key, TSetResult result);
  /// Every INI key with its text as the dialog shows it ("yes", "only", '*' for
  /// each password character), then the passwords' second entries.
  std::vector<std::pair<std::string, std::string>> ShownSettings() const;
  /// What the field of a key (or a second entry) holds: passwords plain,
  /// the rest in their stored form; empty for an unknown key.
  std::string FieldText(std::string_view key) const;
  /// Replaces the welcome text, which has no rule of its own.
  void SetWelcomeText(std::vector<std::string> lines);

  /// The most characters a key's field takes (a second entry: its password's);
  /// 0 for no limit.
  static std::size_t MaxLength(std::string_view key);
  /// The yes/no setting that must be on for a key's field (or second entry) to
  /// be edited ("Identification" for Password, "Log" for Logfile); empty for none.
  static std::string_view GateOf(std::string_view key);
  /// Whether a key's field can be edited now: its gate, if any, is on.
  bool Editable(std::string_view key) const;

  /// The users password and its second entry, as their gate allows.
  bool PasswordEditable() const;
  /// The Logfile field, and with it choosing the file and viewing it, as its
  /// gate allows.
  bool LogEditable() const;
  /// The Logfile field's tooltip: the full path.
  const std::string& LogfileTooltip() const;

  // --- the ban, access and destination lists -----------------------------------
  /// The text about to be added.
  std::string& EntryField(TList list);
  /// The selected entry's index; -1 for none.
  int& Selection(TList list);
  const TSortedList& Entries(TList list) const;
  /// "Add": the entry field's text, exactly as typed, goes to its sorted place
  /// and the field is emptied. An empty field does nothing.
  void AddListEntry(TList list);
  /// "Cancel" of a list group: removes the selected entry; none selected, nothing.
  void RemoveListEntry(TList list);

  // --- the selectable-address list ----------------------------------------------
  /// The settings' selectable-address list ("Allow users to select these IPs").
  const std::vector<std::string>& SelectableIps() const;
  /// The welcome text, one line each.
  const std::vector<std::string>& WelcomeText() const;
  /// "Available IPs": the machine's addresses, filled at program start.
  std::vector<std::string> AvailableIps;
  std::set<std::size_t> AvailableSelection;
  /// Selected indexes of the settings' selectable-address list.
  std::set<std::size_t> SelectableSelection;
  /// The mask dialog's text; it keeps what was last typed.
  std::string MaskText = "*.*.*.*";
  /// "Add selection ->": each selected available address, in list order, is
  /// appended unless an entry equal to it (both without surrounding blanks and
  /// control characters) is there already.
  void AddSelection();
  /// "Add" of the mask dialog: appends MaskText exactly as typed, even empty or
  /// already present.
  void AddMask();
  /// "<- Remove selection": removes the selected entries but never the first one.
  void RemoveSelection();

  // --- the log file ---------------------------------------------------------------
  /// "...": the path the operator picks, made absolute, becomes Logfile.
  void ChooseLogFile();
  /// "View logs": hands Logfile to ShellOpen; the outcome is not examined.
  void ViewLog();

 private:
  void ShowPort();
  /// Log on with an empty Logfile writes nothing: an error box says so.
  void ShowSilentLog();
  /// Shows a failed load or save in an error box; true when there was none.
  bool Shown(const std::optional<std::string>& error);
  TSortedList& ListOf(TList list);

  TSettings& settings_;
  TConsole& console_;
  bool visible_ = false;
  std::string port_at_opening_;
  std::string entry_fields_[3];
  int selections_[3] = {-1, -1, -1};
};

}  // namespace kelvox

// The dialog's list editing and its log file actions.
#include <filesystem>

#include "config/settings.h"
#include "console/settings_rules.h"

namespace kelvox {

namespace {

// Without the blanks and control characters at either end, as the comparison of
// the selectable addresses wants them.
std::string_view Trimmed(std::string_view text) {
  const auto outside = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && outside(text.front())) text.remove_prefix(1);
  while (!text.empty() && outside(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t Index(TConfigurationDialog::TList list) { return static_cast<std::size_t>(list); }

}  // namespace

TSortedList& TConfigurationDialog::ListOf(TList list) {
  switch (list) {
    case TList::Access: return settings_.AccessList;
    case TList::Destination: return settings_.DestinationList;
    case TList::Ban: break;
  }
  return settings_.BanList;
}

const TSortedList& TConfigurationDialog::Entries(TList list) const {
  return const_cast<TConfigurationDialog*>(this)->ListOf(list);
}

std::string& TConfigurationDialog::EntryField(TList list) { return entry_fields_[Index(list)]; }
int& TConfigurationDialog::Selection(TList list) { return selections_[Index(list)]; }

void TConfigurationDialog::AddListEntry(TList list) {
  std::string& field = EntryField(list);
  if (field.empty()) return;
  ListOf(list).Add(field);
  field.clear();
  // The entries below the new one moved: a selection by index is void.
  Selection(list) = -1;
  if (OnListsChanged) OnListsChanged();
}

void TConfigurationDialog::RemoveListEntry(TList list) {
  int& selected = Selection(list);
  if (selected < 0) return;
  ListOf(list).Remove(static_cast<std::size_t>(selected));
  selected = -1;
  if (OnListsChanged) OnListsChanged();
}

const std::vector<std::string>& TConfigurationDialog::SelectableIps() const { return settings_.SelectableIps; }
const std::vector<std::string>& TConfigurationDialog::WelcomeText() const { return settings_.WelcomeText; }

void TConfigurationDialog::AddSelection() {
  std::vector<std::string>& selectable = settings_.SelectableIps;
  for (const std::size_t index : AvailableSelection) {
    if (index >= AvailableIps.size()) continue;
    const std::string& address = AvailableIps[index];
    bool present = false;
    for (const std::string& entry : selectable) present = present || Trimmed(entry) == Trimmed(address);
    if (!present) selectable.push_back(address);
  }
}

void TConfigurationDialog::AddMask() { settings_.SelectableIps.push_back(MaskText); }

void TConfigurationDialog::RemoveSelection() {
  std::vector<std::string>& selectable = settings_.SelectableIps;
  // From the back, so that the indexes still to remove keep their entries.
  for (auto it = SelectableSelection.rbegin(); it != SelectableSelection.rend(); ++it) {
    if (*it == 0 || *it >= selectable.size()) continue;
    selectable.erase(selectable.begin() + static_cast<std::ptrdiff_t>(*it));
  }
  SelectableSelection.clear();
}

void TConfigurationDialog::ChooseLogFile() {
  if (!LogEditable() || !PickFile) return;
  const std::optional<std::string> picked = PickFile();
  if (!picked || picked->empty()) return;
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(*picked, error);
  Set("Logfile", error ? *picked : full.string());
}

void TConfigurationDialog::ViewLog() {
  if (!LogEditable() || !ShellOpen || settings_.Logfile.empty()) return;
  ShellOpen(settings_.Logfile);
}

}  // namespace kelvox

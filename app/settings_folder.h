// Where a run of the program keeps its settings: the rule that every program of
// the product (the text console and the desktop window) follows.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace kelvox {

class TSettings;

/// The port that settings made on first start get instead of the factory one
/// when this process may not bind that (ports below 1024 need root).
inline constexpr const char* kUserPort = "5050";

/// The settings folder of this run, absolute and ending in '/': `config_dir`
/// when it is given, the executable's own folder when a Config.ini stands there
/// (a portable copy), else $XDG_CONFIG_HOME/kelvox (an absolute XDG_CONFIG_HOME)
/// or $HOME/.config/kelvox. Empty when there is none to be had.
std::string SettingsFolder(const std::string& config_dir);

/// Makes the folder and its missing parents; a folder made here is the user's
/// alone: the settings hold passwords. False with `error` set when it fails.
bool MakeSettingsFolder(const std::string& folder, std::string& error);

/// SettingsFolder, or empty with the reason told on `errors` after "<program>: ".
std::string NamedSettingsFolder(const std::string& config_dir, std::string_view program, std::ostream& errors);

/// SettingsFolder made ready with MakeSettingsFolder; empty when that fails,
/// with the reason told on `errors` after "<program>: ".
std::string ReadySettingsFolder(const std::string& config_dir, std::string_view program, std::ostream& errors);

/// Settings about to be made afresh (no Config.ini yet) get kUserPort when this
/// process is refused their port on every local address; true when it did so.
/// Call before the settings are first read and written.
bool ChooseFirstStartPort(TSettings& settings);

}  // namespace kelvox

// The start-at-logon entry that the WindowsStart setting controls. On a desktop
// that follows the XDG rules, a program starts at every user's logon when the
// machine-wide autostart folder holds a desktop entry for it.
#pragma once

#include <string>

namespace kelvox {

class TConsole;
class TSettings;

class TStartupEntry {
 public:
  static constexpr const char* kMachineFolder = "/etc/xdg/autostart";

  /// The entry starts the program at `program_path` (a full path) and lives in
  /// `folder`. Errors go to `console`.
  TStartupEntry(std::string program_path, std::string folder, TConsole& console);

  /// The entry's name: the program file's name without its directory.
  std::string Name() const;
  /// The entry's file: "<folder>/<name>.desktop".
  std::string FilePath() const;
  /// What the entry holds: a desktop entry of type Application named after the
  /// program whose Exec is the program's full path, quoted when it must be.
  std::string Content() const;

  /// Writes the entry, replacing one that exists. A folder that does not exist
  /// or cannot be written to is silently left alone; a write that fails shows
  /// "Failed to set data for '<name>'".
  void AddStartup();
  /// Deletes the entry; a folder that cannot be reached, and an entry that does
  /// not exist, are silently left alone.
  void DelStartup();

  /// Makes a change of the settings' WindowsStart call AddStartup or DelStartup.
  /// This object must outlive the settings' use of it.
  void Attach(TSettings& settings);

 private:
  bool FolderReachable() const;

  std::string program_path_;
  std::string folder_;
  TConsole& console_;
};

/// The autostart folder to use: KELVOX_AUTOSTART_DIR when it is set and not
/// empty, otherwise the machine-wide one.
std::string AutostartFolder();

/// The program's path as an Exec value of a desktop entry: as it is when it
/// holds no reserved character, otherwise in double quotes with '"', '`', '$'
/// and '\' escaped; '%' doubled; then written with the escapes of a desktop
/// entry's strings (a backslash doubled, line ends as \n and \r, a tab as \t).
std::string DesktopExecValue(const std::string& program_path);

}  // namespace kelvox

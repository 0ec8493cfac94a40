// The bouncer's one settings object: a field per key of Config.ini, the four
// address lists and the welcome text, each list in a file of its own. Every part
// of the bouncer reads a setting at the moment it needs it, so an edit is in force
// at once; LoadConfig and SaveConfig move the whole object from and to the files
// of the configuration directory.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_io.h"
#include "config/list_mode.h"
#include "config/sorted_list.h"

namespace kelvox {

/// The bounds of the two linger settings: a session lingers a week at most and
/// holds from one to twenty thousand of the server's lines.
inline constexpr int kLingerMinutesMost = 10080;
inline constexpr int kLingerLinesLeast = 1;
inline constexpr int kLingerLinesMost = 20000;
inline constexpr std::size_t kLingerLinesFactory = 2000;

/// What a load or save came to: nothing when it went well, else the text of the
/// error box the operator is to see ("Cannot open file <path>").
using TConfigError = std::optional<std::string>;

class TSettings {
 public:
  /// Everything starts at its factory value. The files live in `config_dir`;
  /// a trailing '/' is added when it has none.
  explicit TSettings(std::string config_dir);

  // Section Main of Config.ini, in the order SaveConfig writes it.
  std::string AdminPassword = "tolvin";  // key "Admin password"; for the ADMIN command
  bool Time = true;           // the TIME command is available
  bool TimeUp = true;         // the TIMEUP command is available
  bool WhoisOn = true;        // the WHOISON command is available
  bool Beep = true;           // beep on connection events
  bool CTCPProtect = true;    // key "CTCP protect"; flood guard for a new server link
  bool AutoStart = false;     // listen when the program starts
  bool Minimise = false;      // hide to the tray when the program starts
  bool IpList = true;         // the IPLIST command is available
  bool Ip = true;             // the IP command is available
  bool AutoPong = true;       // the bouncer answers the IRC server's PINGs
  bool Log = false;           // write the event log
  bool WindowsStart = false;  // start the program when a user logs on
  bool LogDay = false;        // one log file per day
  std::string Max = "10";     // most users at once, decimal text, not checked here
  std::string Port = "50";    // the listener's port, decimal text, not checked here
  std::string Logfile;        // the event log's path

  // Section Security.
  bool Identification = false;          // users must give Password (PASS)
  std::string Password;                 // the users password
  TListMode Acces = TListMode::all;     // how the access list applies
  TListMode destination = TListMode::all;  // how the destination list applies

  // Section Network.
  /// Where both listeners listen: empty for every address of both families,
  /// else one address (IPv4 or IPv6 literal).
  std::string ListenAddress;

  // Section TLS: the second, TLS listener.
  std::string SslPort;                         // its port; empty: no TLS listener
  std::string SslCertificate = "kelvox.pem";   // its certificate chain, PEM
  std::string SslKey = "kelvox.key";           // its private key, PEM

  // Section Linger: a user's server link that stays up while no client is
  // attached. Decimal texts, like Max; read them through the helpers below.
  std::string LingerMinutes = "0";   // key "Linger minutes"; how long it stays up, 0: not at all
  std::string LingerLines = "2000";  // key "Linger lines"; the server's lines held meanwhile

  // Section Metrics: the figures served to a Prometheus scraper on the
  // loopback address. Decimal text; empty: not served.
  std::string MetricsPort;  // key "Metrics port"

  /// LingerMinutes as a number: 0 (off) when it is no decimal number, else
  /// brought into 0..kLingerMinutesMost.
  int LingerMinutesValue() const;
  /// LingerLines as a number: kLingerLinesFactory when it is no decimal
  /// number, else brought into kLingerLinesLeast..kLingerLinesMost.
  std::size_t LingerLinesValue() const;

  /// A file named in the settings: as it is when it names a folder, else in
  /// the settings folder.
  std::string SettingsFile(const std::string& name) const {
    return name.find('/') == std::string::npos ? FilePath(name) : name;
  }

  // The lists, each in its own file.
  TSortedList AccessList;                          // Acceslist.conf: masks, addresses, host names
  TSortedList BanList;                             // Banlist.conf: masks, addresses, host names
  TSortedList DestinationList;                     // ServList.conf: addresses, host names
  std::vector<std::string> SelectableIps{"Default ip"};  // Ip.conf: label, then addresses and masks
  std::vector<std::string> WelcomeText{              // greets.txt, one line each
      "Enter /quote HELP to get list of available commands.",
      "Use /quote CONN <Server>[:<Port>]  to connect."};

  // The settings dialog's second entries of the two passwords; never stored.
  std::string AdminPasswordConfirmation = "tolvin";
  std::string PasswordConfirmation;

  // The modes the admission and CONN checks apply. Not stored: they follow Acces
  // and destination through SettingChanged.
  TListMode AccessMode = TListMode::all;
  TListMode DestinationMode = TListMode::all;

  /// Writes (true) or deletes (false) the start-at-logon entry when WindowsStart
  /// changes. Unset, a change of WindowsStart does nothing beyond being held.
  std::function<void(bool on)> StartupEntry;

  /// How SaveConfig puts each finished file in place (see ReplaceFile).
  TRenameStep RenameStep;

  /// The configuration directory, with its trailing '/'.
  const std::string& Directory() const { return dir_; }
  /// The path of a file of the configuration directory.
  std::string FilePath(std::string_view name) const { return dir_ + std::string(name); }
  bool ConfigExists() const;

  /// Reads Config.ini (a missing key takes its missing-key value; Logfile then
  /// becomes the directory followed by "log.txt") and every list file that
  /// exists, then applies the change effects of the values that differ from those
  /// held before. Call it only when Config.ini exists. A file that exists but
  /// cannot be read ends the reading there (what was read before it stays, its
  /// effects included) with the error "Cannot open file <path>".
  [[nodiscard]] TConfigError LoadConfig();

  /// Writes Config.ini (keeping any other lines it holds; readable by its owner
  /// only) and the five list files, each replaced whole and crash-safe. The first
  /// failure leaves that file as it was, writes no later file, and is the error
  /// "Unable to write to <path>" for Config.ini or "Cannot create file <path>"
  /// for a list file.
  [[nodiscard]] TConfigError SaveConfig();

  /// Where a change of a setting takes effect beyond being held, called after the
  /// field with the INI key's name has changed: WindowsStart writes or deletes
  /// the start-at-logon entry, Acces and destination set AccessMode and
  /// DestinationMode. Other keys have no effect here.
  void SettingChanged(std::string_view key);

 private:
  TConfigError LoadLists();

  std::string dir_;
};

}  // namespace kelvox

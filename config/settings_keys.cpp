#include "config/settings_keys.h"

#include "base/text_case.h"
#include "config/ini_file.h"
#include "config/password.h"

namespace kelvox {

namespace {

template <class... Ts>
struct TOverloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
TOverloaded(Ts...) -> TOverloaded<Ts...>;

using enum TSettingsPage;

constexpr const char* kCommandsGroup = "Availabled commands";
constexpr const char* kUsersGroup = "Users password";
constexpr const char* kLingerGroup = "Linger";
constexpr std::size_t kLingerLength = 5;

// Section, key, field, the stored form of a missing key; then the dialog's page,
// group, caption, most characters and gate; then a password's second entry, a
// whole number's bounds and whether the key is written only once it matters.
constexpr TSettingKey kRows[] = {
    {"Main", "Admin password", &TSettings::AdminPassword, "",
     {Advanced, "Administrator password", "Enter password", kAdminPasswordLength},
     &TSettings::AdminPasswordConfirmation},
    {"Main", "Time", &TSettings::Time, "yes", {Advanced, kCommandsGroup, "Time"}},
    {"Main", "TimeUp", &TSettings::TimeUp, "yes", {Advanced, kCommandsGroup, "TimeUp"}},
    {"Main", "WhoisOn", &TSettings::WhoisOn, "yes", {Advanced, kCommandsGroup, "WhoisOn"}},
    {"Main", "Beep", &TSettings::Beep, "yes", {Main, "", "Beep on event (connection...)."}},
    {"Main", "CTCP protect", &TSettings::CTCPProtect, "yes",
     {Advanced, "Options", "Protection for users against CTCP flood."}},
    {"Main", "AutoStart", &TSettings::AutoStart, "no", {Main, "", "Auto listen on start."}},
    {"Main", "Minimise", &TSettings::Minimise, "no", {Main, "", "Minimize to tray on start."}},
    {"Main", "IpList", &TSettings::IpList, "yes", {Advanced, kCommandsGroup, "IpList"}},
    {"Main", "Ip", &TSettings::Ip, "yes", {Advanced, kCommandsGroup, "Ip"}},
    {"Main", "AutoPong", &TSettings::AutoPong, "yes", {Advanced, "Options", "Let the bouncer manage server's PINGs."}},
    {"Main", "Log", &TSettings::Log, "no", {Divers, "Logging", "log events"}},
    {"Main", "WindowsStart", &TSettings::WindowsStart, "no", {Main, "", "Launch Kelvox on Windows startup"}},
    {"Main", "LogDay", &TSettings::LogDay, "no", {Divers, "Logging", "Create one file by day.", 0, &TSettings::Log}},
    {"Main", "Max", &TSettings::Max, "10", {Main, "", "Max users number :", 2}},
    {"Main", "Port", &TSettings::Port, "50", {Main, "", "Listen on port :"}},
    // Missing, the log file is "log.txt" in the settings folder (LoadConfig).
    {"Main", "Logfile", &TSettings::Logfile, nullptr, {Divers, "Logging", "Logs file", 0, &TSettings::Log}},
    {"Security", "Identification", &TSettings::Identification, "no",
     {Advanced, kUsersGroup, "Identification by password"}},
    // A file without the users password gets the factory administrator
    // password's letters as its stored form.
    {"Security", "Password", &TSettings::Password, "tolvin",
     {Advanced, kUsersGroup, "Enter password", 0, &TSettings::Identification}, &TSettings::PasswordConfirmation},
    {"Security", "Acces", &TSettings::Acces, "all",
     {Restrictions, "Access restrictions", "", 0, nullptr,
      {"Accept ANY ip.", "Accept ONLY these ip.", "Accept ANY EXCEPT these ip."}}},
    {"Security", "destination", &TSettings::destination, "all",
     {Restrictions, "Destination restrictions", "", 0, nullptr,
      {"Allow connections to ANY irc servers.", "Allow connections to ONLY these irc servers.",
       "Allow connections to ANY EXCEPT these servers."}}},
    // The TLS listener: off while its port is empty; the files are PEM, a name
    // without a folder lives in the settings folder.
    {"TLS", "SSL Port", &TSettings::SslPort, "", {Network, "TLS", "SSL port :"}},
    {"TLS", "SSL Certificate", &TSettings::SslCertificate, "kelvox.pem", {Network, "TLS", "SSL certificate :"}},
    {"TLS", "SSL Key", &TSettings::SslKey, "kelvox.key", {Network, "TLS", "SSL key :"}},
    // The listeners' one address; empty: every address of both families.
    {"Network", "Listen address", &TSettings::ListenAddress, "", {Network, "", "Listen address :"}},
    // A session that stays up while no client is attached: how long, and how
    // many of the server's lines it holds meanwhile.
    {.Section = "Linger",
     .Name = "Linger minutes",
     .Field = &TSettings::LingerMinutes,
     .Missing = "0",
     .Dialog = {Network, kLingerGroup, "Linger minutes (0: off) :", kLingerLength},
     .Whole = TWholeNumber{0, kLingerMinutesMost},
     .Quiet = true},
    {.Section = "Linger",
     .Name = "Linger lines",
     .Field = &TSettings::LingerLines,
     .Missing = "2000",
     .Dialog = {Network, kLingerGroup, "Lines held per session :", kLingerLength},
     .Whole = TWholeNumber{kLingerLinesLeast, kLingerLinesMost},
     .Quiet = true},
    // The metrics' port on the loopback address; empty: none served.
    {.Section = "Metrics",
     .Name = "Metrics port",
     .Field = &TSettings::MetricsPort,
     .Missing = "",
     .Dialog = {Network, "Metrics", "Metrics port (empty: off) :", 5},
     .Whole = TWholeNumber{1, 65535, true},
     .Quiet = true},
};

}  // namespace

const std::span<const TSettingKey> kSettingKeys(kRows);

void ReadSettingKey(TSettings& settings, const TIniFile& ini, const TSettingKey& key) {
  std::optional<std::string> text = ini.ReadString(key.Section, key.Name);
  if (!text) {
    if (key.Missing == nullptr) return;
    text = key.Missing;
  }
  std::visit(TOverloaded{
                 [&](bool TSettings::*field) { settings.*field = *text == "yes"; },
                 [&](std::string TSettings::*field) {
                   settings.*field = key.Password() ? UnscramblePassword(*text) : *text;
                 },
                 [&](TListMode TSettings::*field) {
                   if (const auto mode = ParseListMode(*text)) settings.*field = *mode;
                 },
             },
             key.Field);
}

const TSettingKey* FindSettingKey(std::string_view name) {
  for (const TSettingKey& key : kSettingKeys) {
    if (EqualIgnoringCase(key.Name, name)) return &key;
  }
  return nullptr;
}

const TSettingKey* FindSettingKey(const TSettingKey::TField& field) {
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Field == field) return &key;
  }
  return nullptr;
}

std::string ConfirmationName(const TSettingKey& key) { return std::string(key.Name) + " confirmation"; }

const TSettingKey* FindConfirmation(std::string_view name) {
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Password() && EqualIgnoringCase(ConfirmationName(key), name)) return &key;
  }
  return nullptr;
}

std::string StoredText(const TSettings& settings, const TSettingKey& key) {
  return std::visit(TOverloaded{
                        [&](bool TSettings::*field) -> std::string { return settings.*field ? "yes" : "no"; },
                        [&](std::string TSettings::*field) -> std::string {
                          return key.Password() ? ScramblePassword(settings.*field) : settings.*field;
                        },
                        [&](TListMode TSettings::*field) -> std::string {
                          return std::string(ListModeText(settings.*field));
                        },
                    },
                    key.Field);
}

}  // namespace kelvox

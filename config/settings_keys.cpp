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

}  // namespace

const std::array<TSettingKey, 25> kSettingKeys = {{
    {"Main", "Admin password", &TSettings::AdminPassword, true, ""},
    {"Main", "Time", &TSettings::Time, false, "yes"},
    {"Main", "TimeUp", &TSettings::TimeUp, false, "yes"},
    {"Main", "WhoisOn", &TSettings::WhoisOn, false, "yes"},
    {"Main", "Beep", &TSettings::Beep, false, "yes"},
    {"Main", "CTCP protect", &TSettings::CTCPProtect, false, "yes"},
    {"Main", "AutoStart", &TSettings::AutoStart, false, "no"},
    {"Main", "Minimise", &TSettings::Minimise, false, "no"},
    {"Main", "IpList", &TSettings::IpList, false, "yes"},
    {"Main", "Ip", &TSettings::Ip, false, "yes"},
    {"Main", "AutoPong", &TSettings::AutoPong, false, "yes"},
    {"Main", "Log", &TSettings::Log, false, "no"},
    {"Main", "WindowsStart", &TSettings::WindowsStart, false, "no"},
    {"Main", "LogDay", &TSettings::LogDay, false, "no"},
    {"Main", "Max", &TSettings::Max, false, "10"},
    {"Main", "Port", &TSettings::Port, false, "50"},
    {"Main", "Logfile", &TSettings::Logfile, false, nullptr},
    {"Security", "Identification", &TSettings::Identification, false, "no"},
    // A file without the users password gets the factory administrator
    // password's letters as its stored form.
    {"Security", "Password", &TSettings::Password, true, "tolvin"},
    {"Security", "Acces", &TSettings::Acces, false, "all"},
    {"Security", "destination", &TSettings::destination, false, "all"},
    // The TLS listener: off while its port is empty; the files are PEM, a name
    // without a folder lives in the settings folder.
    {"TLS", "SSL Port", &TSettings::SslPort, false, ""},
    {"TLS", "SSL Certificate", &TSettings::SslCertificate, false, "kelvox.pem"},
    {"TLS", "SSL Key", &TSettings::SslKey, false, "kelvox.key"},
    // The listeners' one address; empty: every address of both families.
    {"Network", "Listen address", &TSettings::ListenAddress, false, ""},
}};

void ReadSettingKey(TSettings& settings, const TIniFile& ini, const TSettingKey& key) {
  std::optional<std::string> text = ini.ReadString(key.Section, key.Name);
  if (!text) {
    if (key.Missing == nullptr) return;
    text = key.Missing;
  }
  std::visit(TOverloaded{
                 [&](bool TSettings::*field) { settings.*field = *text == "yes"; },
                 [&](std::string TSettings::*field) {
                   settings.*field = key.Scrambled ? UnscramblePassword(*text) : *text;
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

std::string StoredText(const TSettings& settings, const TSettingKey& key) {
  return std::visit(TOverloaded{
                        [&](bool TSettings::*field) -> std::string { return settings.*field ? "yes" : "no"; },
                        [&](std::string TSettings::*field) -> std::string {
                          return key.Scrambled ? ScramblePassword(settings.*field) : settings.*field;
                        },
                        [&](TListMode TSettings::*field) -> std::string {
                          return std::string(ListModeText(settings.*field));
                        },
                    },
                    key.Field);
}

}  // namespace kelvox

#include "config/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "config/password.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;
using test::TTempDir;

const std::string kFactoryConfig =
    "[Main]\r\n"
    "Admin password=\xE5\xE4\xD5\xE2\xDD\xDB\r\n"
    "Time=yes\r\n"
    "TimeUp=yes\r\n"
    "WhoisOn=yes\r\n"
    "Beep=yes\r\n"
    "CTCP protect=yes\r\n"
    "AutoStart=no\r\n"
    "Minimise=no\r\n"
    "IpList=yes\r\n"
    "Ip=yes\r\n"
    "AutoPong=yes\r\n"
    "Log=no\r\n"
    "WindowsStart=no\r\n"
    "LogDay=no\r\n"
    "Max=10\r\n"
    "Port=50\r\n"
    "Logfile=\r\n"
    "[Security]\r\n"
    "Identification=no\r\n"
    "Password=\r\n"
    "Acces=all\r\n"
    "destination=all\r\n"
    // The TLS listener's keys follow the others, in a section of their own.
    "[TLS]\r\n"
    "SSL Port=\r\n"
    "SSL Certificate=kelvox.pem\r\n"
    "SSL Key=kelvox.key\r\n"
    "[Network]\r\n"
    "Listen address=\r\n";

class SettingsTest : public ::testing::Test {
 protected:
  std::set<std::string> FileNames() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  TTempDir dir;
  TSettings settings{dir.Path()};
};

TEST_F(SettingsTest, FirstStartWritesTheFactoryFiles) {
  ASSERT_FALSE(settings.ConfigExists());
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_TRUE(settings.ConfigExists());
  EXPECT_EQ(dir.Read("Config.ini"), kFactoryConfig);
  EXPECT_EQ(dir.Read("Acceslist.conf"), "");
  EXPECT_EQ(dir.Read("Banlist.conf"), "");
  EXPECT_EQ(dir.Read("ServList.conf"), "");
  EXPECT_EQ(dir.Read("Ip.conf"), "Default ip\r\n");
  EXPECT_EQ(dir.Read("greets.txt"),
            "Enter /quote HELP to get list of available commands.\r\n"
            "Use /quote CONN <Server>[:<Port>]  to connect.\r\n");
  EXPECT_EQ(FileNames(), (std::set<std::string>{"Config.ini", "Acceslist.conf", "Banlist.conf", "ServList.conf",
                                                "Ip.conf", "greets.txt"}));
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("Config.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(TSettings(dir.Path().substr(0, dir.Path().size() - 1)).FilePath("Config.ini"), dir.File("Config.ini"));
}

TEST_F(SettingsTest, SavedValuesLoadBack) {
  settings.AdminPassword = "s3cret!";
  settings.Time = false;
  settings.TimeUp = false;
  settings.WhoisOn = false;
  settings.Beep = false;
  settings.CTCPProtect = false;
  settings.AutoStart = true;
  settings.Minimise = true;
  settings.IpList = false;
  settings.Ip = false;
  settings.AutoPong = false;
  settings.Log = true;
  settings.LogDay = true;
  settings.Max = "5";
  settings.Port = "6000";
  settings.Logfile = "/var/log/kelvox.txt";
  settings.Identification = true;
  settings.Password = std::string("\r\n two lines and a NUL \0", 24);
  settings.Acces = TListMode::only;
  settings.destination = TListMode::except;
  settings.AccessList.Add("10.0.0.*");
  settings.BanList.Add("evil.example");
  settings.DestinationList.Add("irc.example.net");
  settings.SelectableIps.push_back("10.0.0.*");
  settings.WelcomeText = {"Hello", "", "Bye"};
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);

  TSettings loaded(dir.Path());
  ASSERT_EQ(loaded.LoadConfig(), std::nullopt);
  EXPECT_EQ(loaded.AdminPassword, "s3cret!");
  EXPECT_EQ(loaded.AdminPasswordConfirmation, "s3cret!");
  EXPECT_FALSE(loaded.Time || loaded.TimeUp || loaded.WhoisOn || loaded.Beep || loaded.CTCPProtect ||
               loaded.IpList || loaded.Ip || loaded.AutoPong);
  EXPECT_TRUE(loaded.AutoStart && loaded.Minimise && loaded.Log && loaded.LogDay && loaded.Identification);
  EXPECT_EQ(loaded.Max, "5");
  EXPECT_EQ(loaded.Port, "6000");
  EXPECT_EQ(loaded.Logfile, "/var/log/kelvox.txt");
  EXPECT_EQ(loaded.Password, settings.Password);
  EXPECT_EQ(loaded.PasswordConfirmation, settings.Password);
  EXPECT_EQ(loaded.Acces, TListMode::only);
  EXPECT_EQ(loaded.AccessMode, TListMode::only);
  EXPECT_EQ(loaded.destination, TListMode::except);
  EXPECT_EQ(loaded.DestinationMode, TListMode::except);
  EXPECT_EQ(loaded.AccessList.Entries(), Lines{"10.0.0.*"});
  EXPECT_EQ(loaded.BanList.Entries(), Lines{"evil.example"});
  EXPECT_EQ(loaded.DestinationList.Entries(), Lines{"irc.example.net"});
  EXPECT_EQ(loaded.SelectableIps, (Lines{"Default ip", "10.0.0.*"}));
  EXPECT_EQ(loaded.WelcomeText, (Lines{"Hello", "", "Bye"}));
}

TEST_F(SettingsTest, MissingKeysTakeTheirMissingValues) {
  dir.Write("Config.ini", "[Main]\r\n");
  settings.Log = true;
  settings.Max = "7";
  settings.Acces = settings.AccessMode = TListMode::only;
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(settings.Logfile, dir.Path() + "log.txt");
  EXPECT_EQ(settings.AdminPassword, "");
  // "tolvin" taken as a stored form.
  EXPECT_EQ(settings.Password, std::string("\x03\xFA\x03\x0A\xF5\x01", 6));
  EXPECT_TRUE(settings.Time && settings.TimeUp && settings.WhoisOn && settings.Beep && settings.CTCPProtect &&
              settings.IpList && settings.Ip && settings.AutoPong);
  EXPECT_FALSE(settings.AutoStart || settings.Minimise || settings.Log || settings.WindowsStart ||
               settings.LogDay || settings.Identification);
  EXPECT_EQ(settings.Max, "10");
  EXPECT_EQ(settings.Port, "50");
  EXPECT_EQ(settings.Acces, TListMode::all);
  EXPECT_EQ(settings.AccessMode, TListMode::all);
  // Its stored form is the one it was read from.
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_NE(dir.Read("Config.ini").find("\r\nPassword=tolvin\r\n"), std::string::npos);
}

TEST_F(SettingsTest, PresentEmptyLogfileStaysEmpty) {
  dir.Write("Config.ini", "[Main]\r\nLogfile=\r\nMax=\r\n");
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(settings.Logfile, "");
  EXPECT_EQ(settings.Max, "");
}

TEST_F(SettingsTest, OnlyExactValuesCount) {
  settings.Acces = settings.AccessMode = TListMode::only;
  settings.destination = settings.DestinationMode = TListMode::only;
  dir.Write("Config.ini",
            "[Main]\r\nTime=Yes\r\nTimeUp=\r\nWhoisOn= yes \r\nBeep=true\r\n"
            "[Security]\r\nAcces=ALL\r\ndestination=except\r\n");
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_FALSE(settings.Time);
  EXPECT_FALSE(settings.TimeUp);
  EXPECT_TRUE(settings.WhoisOn);
  EXPECT_FALSE(settings.Beep);
  EXPECT_EQ(settings.Acces, TListMode::only);
  EXPECT_EQ(settings.AccessMode, TListMode::only);
  EXPECT_EQ(settings.destination, TListMode::except);
  EXPECT_EQ(settings.DestinationMode, TListMode::except);
}

TEST_F(SettingsTest, KeysInAnyCaseAreReadAndKeepTheirLines) {
  dir.Write("Config.ini",
            "; by another tool\r\n"
            "[MAIN]\r\n"
            "LOGFILE=/tmp/k.log\r\n"
            "logday=yes\r\n"
            "Extra=kept\r\n"
            "[security]\r\n"
            "ACCES=only\r\n");
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(settings.Logfile, "/tmp/k.log");
  EXPECT_TRUE(settings.LogDay);
  EXPECT_EQ(settings.AccessMode, TListMode::only);
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_EQ(dir.Read("Config.ini"),
            "; by another tool\r\n"
            "[MAIN]\r\n"
            "LOGFILE=/tmp/k.log\r\n"
            "logday=yes\r\n"
            "Extra=kept\r\n"
            "Admin password=\r\n"
            "Time=yes\r\nTimeUp=yes\r\nWhoisOn=yes\r\nBeep=yes\r\nCTCP protect=yes\r\nAutoStart=no\r\n"
            "Minimise=no\r\nIpList=yes\r\nIp=yes\r\nAutoPong=yes\r\nLog=no\r\nWindowsStart=no\r\n"
            "Max=10\r\nPort=50\r\n"
            "[security]\r\n"
            "ACCES=only\r\n"
            "Identification=no\r\n"
            "Password=tolvin\r\n"
            "destination=all\r\n"
            "[TLS]\r\nSSL Port=\r\nSSL Certificate=kelvox.pem\r\nSSL Key=kelvox.key\r\n"
            "[Network]\r\nListen address=\r\n");
}

// The linger keys came late: a file saved at their factory values is what it
// was before them, one that holds them keeps them.
TEST_F(SettingsTest, LingerKeysAreWrittenOnceTheyMatter) {
  settings.LingerMinutes = "30";
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_EQ(dir.Read("Config.ini"), kFactoryConfig + "[Linger]\r\nLinger minutes=30\r\n");
  TSettings loaded(dir.Path());
  ASSERT_EQ(loaded.LoadConfig(), std::nullopt);
  EXPECT_EQ(loaded.LingerMinutes, "30");
  EXPECT_EQ(loaded.LingerLines, "2000");

  const std::string held = kFactoryConfig + "[Linger]\r\nLinger lines=2000\r\n";
  dir.Write("Config.ini", held);
  ASSERT_EQ(loaded.LoadConfig(), std::nullopt);
  EXPECT_EQ(loaded.LingerMinutes, "0");
  ASSERT_EQ(loaded.SaveConfig(), std::nullopt);
  EXPECT_EQ(dir.Read("Config.ini"), held);
}

TEST_F(SettingsTest, TheMetricsPortIsWrittenOnceSet) {
  settings.LingerMinutes = "30";
  settings.MetricsPort = "9100";
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_EQ(dir.Read("Config.ini"),
            kFactoryConfig + "[Linger]\r\nLinger minutes=30\r\n[Metrics]\r\nMetrics port=9100\r\n");
  TSettings loaded(dir.Path());
  ASSERT_EQ(loaded.LoadConfig(), std::nullopt);
  EXPECT_EQ(loaded.MetricsPort, "9100");
}

TEST_F(SettingsTest, LingerValuesAreReadWithinTheirBounds) {
  const auto values = [&](const char* minutes, const char* lines) {
    settings.LingerMinutes = minutes;
    settings.LingerLines = lines;
    return std::pair(settings.LingerMinutesValue(), settings.LingerLinesValue());
  };
  using TValues = std::pair<int, std::size_t>;
  EXPECT_EQ(values("0", "2000"), TValues(0, 2000));
  EXPECT_EQ(values("45", "1"), TValues(45, 1));
  EXPECT_EQ(values("010080", "20000"), TValues(10080, 20000));
  EXPECT_EQ(values("10081", "0"), TValues(10080, 1));
  EXPECT_EQ(values("999999999", "20001"), TValues(10080, 20000));
  // No number: off, and the factory count of lines.
  EXPECT_EQ(values("", ""), TValues(0, 2000));
  EXPECT_EQ(values("-5", " 30"), TValues(0, 2000));
  EXPECT_EQ(values("1h", "1e3"), TValues(0, 2000));
  EXPECT_EQ(values("9999999999", "9999999999"), TValues(0, 2000));
}

TEST_F(SettingsTest, ListsAreReadWithAnyLineEndAndSortedListsWrittenSorted) {
  settings.DestinationList.Add("kept.example");
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  dir.Write("Banlist.conf", "zeta\r\nAlpha\nbeta\r\r\ngamma");
  dir.Write("Ip.conf", "Default ip\n10.0.0.*\n1.2.3.4");
  dir.Write("greets.txt", "second\rfirst");
  std::filesystem::remove(dir.File("ServList.conf"));
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(settings.BanList.Entries(), (Lines{"", "Alpha", "beta", "gamma", "zeta"}));
  EXPECT_EQ(settings.DestinationList.Entries(), Lines{"kept.example"});
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "10.0.0.*", "1.2.3.4"}));
  EXPECT_EQ(settings.WelcomeText, (Lines{"second", "first"}));
  settings.BanList.Add("Delta");
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  EXPECT_EQ(dir.Read("Banlist.conf"), "\r\nAlpha\r\nbeta\r\nDelta\r\ngamma\r\nzeta\r\n");
  EXPECT_EQ(dir.Read("ServList.conf"), "kept.example\r\n");
  EXPECT_EQ(dir.Read("Ip.conf"), "Default ip\r\n10.0.0.*\r\n1.2.3.4\r\n");
}

TEST_F(SettingsTest, PasswordsAreStoredScrambled) {
  settings.AdminPassword = "tolvin";
  settings.Password = "a";
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  const std::string ini = dir.Read("Config.ini");
  EXPECT_NE(ini.find("\r\nAdmin password=\xE5\xE4\xD5\xE2\xDD\xDB\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\nPassword=\xD2\r\n"), std::string::npos);
  // Blanks at the ends of a stored form would be trimmed away on reading.
  settings.Password = std::string(1, '\xAF') + "mid" + std::string(1, '\xAF');
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  TSettings loaded(dir.Path());
  ASSERT_EQ(loaded.LoadConfig(), std::nullopt);
  EXPECT_EQ(loaded.Password, settings.Password);
}

TEST_F(SettingsTest, ChangedValuesTakeEffectOnce) {
  std::vector<bool> startup_calls;
  settings.StartupEntry = [&](bool on) { startup_calls.push_back(on); };
  dir.Write("Config.ini", "[Main]\r\nWindowsStart=yes\r\n[Security]\r\nAcces=except\r\n");
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(startup_calls, std::vector<bool>{true});
  EXPECT_EQ(settings.AccessMode, TListMode::except);

  // The same values again: held, no effect.
  settings.AccessMode = TListMode::all;
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(startup_calls, std::vector<bool>{true});
  EXPECT_EQ(settings.AccessMode, TListMode::all);

  dir.Write("Config.ini", "[Main]\r\nWindowsStart=no\r\n");
  ASSERT_EQ(settings.LoadConfig(), std::nullopt);
  EXPECT_EQ(startup_calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(settings.AccessMode, TListMode::all);
}

TEST_F(SettingsTest, SaveStoppedBeforeTheRenameKeepsTheOldFile) {
  ASSERT_EQ(settings.SaveConfig(), std::nullopt);
  std::filesystem::remove(dir.File("Banlist.conf"));
  settings.Port = "6000";
  settings.BanList.Add("10.0.0.1");
  std::string temp;
  settings.RenameStep = [&](const std::string& from, const std::string& to) {
    // Between the two steps the new file is complete beside the old one.
    EXPECT_EQ(to, dir.File("Config.ini"));
    EXPECT_EQ(dir.Read("Config.ini"), kFactoryConfig);
    EXPECT_NE(test::TTempDir::ReadPath(from).find("\r\nPort=6000\r\n"), std::string::npos);
    temp = from;
    return EIO;
  };
  EXPECT_EQ(settings.SaveConfig(), "Unable to write to " + dir.File("Config.ini"));
  EXPECT_FALSE(temp.empty());
  EXPECT_EQ(dir.Read("Config.ini"), kFactoryConfig);
  // No list file was written after the failure, and no temporary file is left.
  EXPECT_EQ(FileNames(), (std::set<std::string>{"Config.ini", "Acceslist.conf", "ServList.conf", "Ip.conf",
                                                "greets.txt"}));
}

TEST_F(SettingsTest, ListFileThatCannotBeCreatedStopsTheSave) {
  std::filesystem::create_directory(dir.File("Banlist.conf"));
  settings.Port = "6000";
  EXPECT_EQ(settings.SaveConfig(), "Cannot create file " + dir.File("Banlist.conf"));
  EXPECT_NE(dir.Read("Config.ini").find("\r\nPort=6000\r\n"), std::string::npos);
  EXPECT_TRUE(dir.Exists("Acceslist.conf"));
  EXPECT_FALSE(dir.Exists("ServList.conf"));
  EXPECT_FALSE(dir.Exists("greets.txt"));
}

TEST_F(SettingsTest, UnreadableConfigIsNeitherLoadedNorReplaced) {
  std::filesystem::create_directory(dir.File("Config.ini"));
  settings.AdminPassword = "kept";
  EXPECT_EQ(settings.LoadConfig(), "Cannot open file " + dir.File("Config.ini"));
  EXPECT_EQ(settings.AdminPassword, "kept");
  EXPECT_EQ(settings.SaveConfig(), "Unable to write to " + dir.File("Config.ini"));
}

TEST_F(SettingsTest, ListFileThatCannotBeOpenedStopsTheLoad) {
  dir.Write("Config.ini", "[Security]\r\nAcces=only\r\n");
  dir.Write("Acceslist.conf", "10.0.0.*\r\n");
  std::filesystem::create_directory(dir.File("Banlist.conf"));
  dir.Write("ServList.conf", "irc.example.net\r\n");
  settings.DestinationList.Add("held.example");
  EXPECT_EQ(settings.LoadConfig(), "Cannot open file " + dir.File("Banlist.conf"));
  EXPECT_EQ(settings.AccessList.Entries(), Lines{"10.0.0.*"});
  EXPECT_EQ(settings.DestinationList.Entries(), Lines{"held.example"});
  // What was read is in force with its effect.
  EXPECT_EQ(settings.AccessMode, TListMode::only);
}

}  // namespace
}  // namespace kelvox

// The settings dialog's rules, driven as a front end drives them, on settings in
// a temporary directory.
#include "console/settings_rules.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "access/address_checks.h"
#include "config/password.h"
#include "config/settings.h"
#include "console/console_model.h"
#include "console/startup_entry.h"
#include "net/event_loop.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;
using TList = TConfigurationDialog::TList;
using TSetResult = TConfigurationDialog::TSetResult;
using test::TTempDir;

class SettingsRulesTest : public ::testing::Test {
 protected:
  /// The line of a key in Config.ini as it is on disk.
  std::string StoredLine(const std::string& key) const {
    const std::string ini = dir.Read("Config.ini");
    const std::size_t at = ini.find("\r\n" + key + "=");
    if (at == std::string::npos) return "(missing)";
    return ini.substr(at + 2, ini.find("\r\n", at + 2) - at - 2);
  }

  TTempDir dir;
  TEventLoop loop;
  TConsoleModel console{loop};
  TSettings settings{dir.Path()};
  TConfigurationDialog config{settings, console};
};

TEST_F(SettingsRulesTest, StartShowsThePortAndWritesEverything) {
  config.FormCreate();
  EXPECT_EQ(console.StatusText(0), "Listen on port: 50");
  EXPECT_TRUE(dir.Exists("Config.ini"));
  EXPECT_TRUE(dir.Exists("greets.txt"));
  EXPECT_EQ(config.AvailableIps, LoadIp());
  EXPECT_FALSE(config.Visible());
  EXPECT_EQ(config.PortAtOpening(), "50");
}

TEST_F(SettingsRulesTest, AnEmptyPortAtStartAndLater) {
  dir.Write("Config.ini", "[Main]\r\nPort=\r\n");
  config.FormCreate();
  EXPECT_EQ(console.StatusText(0), "Listen port already in used.");
  EXPECT_EQ(StoredLine("Port"), "Port=");

  EXPECT_EQ(config.Set("Port", "6667"), TSetResult::Done);
  EXPECT_EQ(console.StatusText(0), "Listen on port: 6667");
  EXPECT_EQ(config.Set("Port", ""), TSetResult::Done);
  EXPECT_EQ(console.StatusText(0), "Undefined listen port.");
  // Setting what is held changes nothing, not even the status bar.
  console.SetStatusText(0, "other");
  EXPECT_EQ(config.Set("Port", ""), TSetResult::Done);
  EXPECT_EQ(console.StatusText(0), "other");
}

TEST_F(SettingsRulesTest, DifferingAdminPasswordsSaveNothingAndEmptyBoth) {
  config.FormCreate();
  config.Open();
  const std::string stored = dir.Read("Config.ini");
  ASSERT_EQ(config.Set("Admin password", "secret1"), TSetResult::Done);
  ASSERT_EQ(config.Set("Admin password confirmation", "secreT1"), TSetResult::Done);
  ASSERT_EQ(config.Set("Max", "5"), TSetResult::Done);
  EXPECT_FALSE(config.Confirm());
  EXPECT_EQ(console.Errors(), Lines{"Check Admin password."});
  EXPECT_TRUE(config.Visible());
  EXPECT_EQ(dir.Read("Config.ini"), stored);
  // The emptied password is the one ADMIN now compares against.
  EXPECT_EQ(settings.AdminPassword, "");
  EXPECT_EQ(settings.AdminPasswordConfirmation, "");
  // Reopening reloads the saved one.
  config.Open();
  EXPECT_EQ(settings.AdminPassword, "tolvin");
  EXPECT_EQ(settings.Max, "10");
}

TEST_F(SettingsRulesTest, TheUsersPairCountsOnlyWithIdentification) {
  config.FormCreate();
  config.Open();
  ASSERT_EQ(config.Set("Identification", "yes"), TSetResult::Done);
  ASSERT_EQ(config.Set("Password", "letmein"), TSetResult::Done);
  ASSERT_EQ(config.Set("Password confirmation", "letmeout"), TSetResult::Done);
  ASSERT_EQ(config.Set("Identification", "no"), TSetResult::Done);
  EXPECT_TRUE(config.Confirm());
  EXPECT_TRUE(console.Errors().empty());
  EXPECT_FALSE(config.Visible());
  EXPECT_EQ(StoredLine("Password"), "Password=" + ScramblePassword("letmein"));
  EXPECT_EQ(dir.Read("Config.ini").find("letmeout"), std::string::npos);

  config.Open();
  ASSERT_EQ(config.Set("Identification", "yes"), TSetResult::Done);
  ASSERT_EQ(config.Set("Password confirmation", "letmeout"), TSetResult::Done);
  EXPECT_FALSE(config.Confirm());
  EXPECT_EQ(console.Errors(), Lines{"Check Users password."});
  EXPECT_EQ(settings.Password, "");
  EXPECT_EQ(settings.PasswordConfirmation, "");
  EXPECT_EQ(StoredLine("Identification"), "Identification=no");
}

TEST_F(SettingsRulesTest, StartAtLogonTickedThenCancelledStaysUntilTheReopening) {
  TTempDir autostart;
  TStartupEntry entry("/opt/kelvox/kelvox", autostart.Path(), console);
  entry.Attach(settings);
  config.FormCreate();
  config.Open();
  ASSERT_EQ(config.Set("WindowsStart", "yes"), TSetResult::Done);
  EXPECT_TRUE(autostart.Exists("kelvox.desktop"));
  config.Cancel();
  EXPECT_TRUE(autostart.Exists("kelvox.desktop"));
  EXPECT_EQ(StoredLine("WindowsStart"), "WindowsStart=no");
  config.Open();
  EXPECT_FALSE(settings.WindowsStart);
  EXPECT_FALSE(autostart.Exists("kelvox.desktop"));
  EXPECT_TRUE(console.Errors().empty());
}

TEST_F(SettingsRulesTest, ModesAreInForceAtOnce) {
  config.FormCreate();
  ASSERT_EQ(config.Set("Acces", "only"), TSetResult::Done);
  EXPECT_EQ(settings.AccessMode, TListMode::only);
  ASSERT_EQ(config.Set("destination", "EXCEPT"), TSetResult::Done);
  EXPECT_EQ(settings.DestinationMode, TListMode::except);
  EXPECT_EQ(config.Set("Acces", "none"), TSetResult::BadValue);
  EXPECT_EQ(settings.AccessMode, TListMode::only);
}

TEST_F(SettingsRulesTest, FieldsTakeWhatTheirControlsTake) {
  config.FormCreate();
  EXPECT_EQ(config.Set("No such key", "1"), TSetResult::UnknownKey);
  EXPECT_EQ(config.Set("Banlist", "1"), TSetResult::UnknownKey);
  EXPECT_EQ(config.Set("beep", "No"), TSetResult::Done);  // keys and yes/no in any case
  EXPECT_FALSE(settings.Beep);
  EXPECT_EQ(config.Set("Beep", "maybe"), TSetResult::BadValue);
  EXPECT_EQ(config.Set("Max", "100"), TSetResult::TooLong);
  EXPECT_EQ(settings.Max, "10");
  EXPECT_EQ(config.Set("Admin password", "12345678901"), TSetResult::TooLong);
  EXPECT_EQ(config.Set("Admin password confirmation", "12345678901"), TSetResult::TooLong);
  EXPECT_EQ(config.Set("Admin password", "1234567890"), TSetResult::Done);

  // The users password only with Identification, the log fields only with Log.
  EXPECT_FALSE(config.PasswordEditable());
  EXPECT_EQ(config.Set("Password", "x"), TSetResult::NotEditable);
  EXPECT_EQ(config.Set("Password confirmation", "x"), TSetResult::NotEditable);
  EXPECT_FALSE(config.LogEditable());
  EXPECT_EQ(config.Set("Logfile", "/tmp/x.log"), TSetResult::NotEditable);
  EXPECT_EQ(config.Set("LogDay", "yes"), TSetResult::NotEditable);
  // A loaded value changes the editability as well.
  dir.Write("Config.ini", "[Main]\r\nLog=yes\r\n[Security]\r\nIdentification=yes\r\n");
  config.Open();
  EXPECT_TRUE(config.PasswordEditable());
  EXPECT_TRUE(config.LogEditable());
  EXPECT_EQ(config.Set("Logfile", "/tmp/x.log"), TSetResult::Done);
  EXPECT_EQ(config.LogfileTooltip(), "/tmp/x.log");
}

TEST_F(SettingsRulesTest, LingerTakesWholeNumbersWithinBounds) {
  config.FormCreate();
  EXPECT_EQ(config.Set("Linger minutes", "10080"), TSetResult::Done);
  EXPECT_EQ(config.Set("linger lines", "1"), TSetResult::Done);
  for (const char* refused : {"", "-1", "1.5", " 30", "10081", "abc"}) {
    EXPECT_EQ(config.Set("Linger minutes", refused), TSetResult::BadValue) << refused;
  }
  for (const char* refused : {"", "0", "20001", "2k"}) {
    EXPECT_EQ(config.Set("Linger lines", refused), TSetResult::BadValue) << refused;
  }
  EXPECT_EQ(config.Set("Linger lines", "123456"), TSetResult::TooLong);
  EXPECT_EQ(settings.LingerMinutes, "10080");
  EXPECT_EQ(settings.LingerLines, "1");
  EXPECT_EQ(TConfigurationDialog::Refusal("Linger minutes", TSetResult::BadValue),
            "Linger minutes is a number from 0 to 10080");
  EXPECT_EQ(TConfigurationDialog::Refusal("Linger lines", TSetResult::BadValue),
            "Linger lines is a number from 1 to 20000");

  // A number edited by hand in the file is refused at the confirmation.
  dir.Write("Config.ini", "[Linger]\r\nLinger lines=0\r\n");
  config.Open();
  EXPECT_FALSE(config.Confirm());
  EXPECT_EQ(console.Errors(), Lines{"Linger lines is a number from 1 to 20000"});
  EXPECT_EQ(StoredLine("Linger lines"), "Linger lines=0");
  ASSERT_EQ(config.Set("Linger lines", "500"), TSetResult::Done);
  EXPECT_TRUE(config.Confirm());
  EXPECT_EQ(StoredLine("Linger lines"), "Linger lines=500");
}

TEST_F(SettingsRulesTest, TheMetricsPortIsEmptyOrAPortNumber) {
  config.FormCreate();
  for (const char* taken : {"9100", "1", "65535", ""}) {
    EXPECT_EQ(config.Set("Metrics port", taken), TSetResult::Done) << taken;
  }
  for (const char* refused : {"0", "65536", " 9100", "http"}) {
    EXPECT_EQ(config.Set("Metrics port", refused), TSetResult::BadValue) << refused;
  }
  EXPECT_EQ(config.Set("Metrics port", "123456"), TSetResult::TooLong);
  EXPECT_EQ(settings.MetricsPort, "");
  EXPECT_EQ(TConfigurationDialog::Refusal("Metrics port", TSetResult::BadValue),
            "Metrics port is empty or a number from 1 to 65535");
}

TEST_F(SettingsRulesTest, AReloadThatChangesThePortShowsIt) {
  config.FormCreate();
  dir.Write("Config.ini", "[Main]\r\nPort=7000\r\n");
  config.Open();
  EXPECT_EQ(console.StatusText(0), "Listen on port: 7000");
  EXPECT_EQ(config.PortAtOpening(), "7000");
}

TEST_F(SettingsRulesTest, AFailedSaveKeepsTheDialogOpen) {
  config.FormCreate();
  config.Open();
  ASSERT_EQ(config.Set("Port", "6000"), TSetResult::Done);
  std::filesystem::remove(dir.File("Banlist.conf"));
  std::filesystem::create_directory(dir.File("Banlist.conf"));
  EXPECT_FALSE(config.Confirm());
  EXPECT_TRUE(config.Visible());
  EXPECT_EQ(console.Errors(), Lines{"Cannot create file " + dir.File("Banlist.conf")});
  EXPECT_EQ(console.StatusText(0), "Listen on port: 6000");
}

TEST_F(SettingsRulesTest, SortedListsTakeEntriesExactlyAsTyped) {
  config.FormCreate();
  config.EntryField(TList::Ban) = " 10.0.0.5 ";
  config.AddListEntry(TList::Ban);
  EXPECT_EQ(config.EntryField(TList::Ban), "");
  config.EntryField(TList::Ban) = "10.0.0.5";  // no duplicate check either
  config.AddListEntry(TList::Ban);
  config.EntryField(TList::Ban) = "*.evil.example";
  config.AddListEntry(TList::Ban);
  config.AddListEntry(TList::Ban);  // an empty field adds nothing
  EXPECT_EQ(settings.BanList.Entries(), (Lines{" 10.0.0.5 ", "*.evil.example", "10.0.0.5"}));

  config.RemoveListEntry(TList::Ban);  // nothing selected
  EXPECT_EQ(settings.BanList.Size(), 3u);
  config.Selection(TList::Ban) = 1;
  config.RemoveListEntry(TList::Ban);
  EXPECT_EQ(settings.BanList.Entries(), (Lines{" 10.0.0.5 ", "10.0.0.5"}));
  EXPECT_EQ(config.Selection(TList::Ban), -1);

  config.EntryField(TList::Access) = "b.example";
  config.AddListEntry(TList::Access);
  config.EntryField(TList::Destination) = "irc.example.net";
  config.AddListEntry(TList::Destination);
  EXPECT_EQ(settings.AccessList.Entries(), Lines{"b.example"});
  EXPECT_EQ(settings.DestinationList.Entries(), Lines{"irc.example.net"});

  // Nothing is written until the confirmation, which keeps the blanks.
  EXPECT_EQ(dir.Read("Banlist.conf"), "");
  EXPECT_TRUE(config.Confirm());
  EXPECT_EQ(dir.Read("Banlist.conf"), " 10.0.0.5 \r\n10.0.0.5\r\n");
}

TEST_F(SettingsRulesTest, SelectableAddresses) {
  config.FormCreate();
  config.AvailableIps = {"10.0.0.7", "192.168.1.2", " 192.168.1.2\t"};
  // The same selection twice adds once; entries equal but for blanks count as
  // equal, those added earlier in the same operation included.
  config.AvailableSelection = {1, 2};
  config.AddSelection();
  config.AddSelection();
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2"}));
  settings.SelectableIps.push_back(" 10.0.0.7 ");
  config.AvailableSelection = {0};
  config.AddSelection();
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2", " 10.0.0.7 "}));

  // A mask as typed, even empty, even twice.
  EXPECT_EQ(config.MaskText, "*.*.*.*");
  config.AddMask();
  config.MaskText = "";
  config.AddMask();
  config.AddMask();
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2", " 10.0.0.7 ", "*.*.*.*", "", ""}));

  config.SelectableSelection = {2, 4};
  config.RemoveSelection();
  EXPECT_EQ(settings.SelectableIps, (Lines{"Default ip", "192.168.1.2", "*.*.*.*", ""}));
  config.SelectableSelection = {0, 1, 2, 3};
  config.RemoveSelection();
  EXPECT_EQ(settings.SelectableIps, Lines{"Default ip"});
  EXPECT_TRUE(config.SelectableSelection.empty());
}

TEST_F(SettingsRulesTest, ChoosingAndViewingTheLogFile) {
  std::vector<std::string> opened;
  std::optional<std::string> pick = "logs/kelvox.log";
  int picks = 0;
  config.ShellOpen = [&](const std::string& target) { opened.push_back(target); };
  config.PickFile = [&] {
    ++picks;
    return pick;
  };
  config.FormCreate();
  // Both wait for Log.
  config.ChooseLogFile();
  config.ViewLog();
  EXPECT_EQ(picks, 0);
  EXPECT_TRUE(opened.empty());

  ASSERT_EQ(config.Set("Log", "yes"), TSetResult::Done);
  config.ChooseLogFile();
  EXPECT_EQ(settings.Logfile, (std::filesystem::current_path() / "logs/kelvox.log").string());
  pick = std::nullopt;  // the operator cancels
  config.ChooseLogFile();
  EXPECT_EQ(settings.Logfile, (std::filesystem::current_path() / "logs/kelvox.log").string());
  config.ViewLog();
  EXPECT_EQ(opened, Lines{settings.Logfile});
  EXPECT_EQ(picks, 2);
}

// Log on with no file to write to is said at loading and at confirmation.
TEST_F(SettingsRulesTest, LogWithoutAFileIsShown) {
  const std::string silent = "Log is on but Logfile is empty: nothing is logged. config set Logfile PATH";
  dir.Write("Config.ini", "[Main]\r\nLog=yes\r\nLogfile=\r\n");
  config.LogfileCure = "config set Logfile PATH";
  config.FormCreate();
  EXPECT_EQ(console.Errors(), Lines{silent});
  ASSERT_EQ(config.Set("Log", "no"), TSetResult::Done);
  ASSERT_TRUE(config.Confirm());
  ASSERT_EQ(config.Set("Log", "yes"), TSetResult::Done);
  ASSERT_TRUE(config.Confirm());
  ASSERT_EQ(config.Set("Logfile", dir.File("log.txt")), TSetResult::Done);
  ASSERT_TRUE(config.Confirm());
  EXPECT_EQ(console.Errors(), (Lines{silent, silent}));
}

}  // namespace
}  // namespace kelvox

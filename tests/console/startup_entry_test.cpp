// The start-at-logon entry, in an autostart folder of the test's own.
#include "console/startup_entry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "console/console_model.h"
#include "net/event_loop.h"
#include "tests/support/temp_dir.h"

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;
using test::TTempDir;

class StartupEntryTest : public ::testing::Test {
 protected:
  TTempDir dir;
  TEventLoop loop;
  TConsoleModel console{loop};
  TStartupEntry entry{"/opt/kelvox/bin/kelvox", dir.Path(), console};
};

TEST_F(StartupEntryTest, AddWritesADesktopEntryNamedAfterTheProgram) {
  EXPECT_EQ(entry.Name(), "kelvox");
  EXPECT_EQ(entry.FilePath(), dir.File("kelvox.desktop"));
  entry.AddStartup();
  EXPECT_EQ(dir.Read("kelvox.desktop"),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=kelvox\n"
            "Exec=/opt/kelvox/bin/kelvox\n");
  EXPECT_EQ(std::filesystem::status(dir.File("kelvox.desktop")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  entry.AddStartup();  // written again, not an error
  EXPECT_TRUE(console.Errors().empty());

  entry.DelStartup();
  EXPECT_FALSE(dir.Exists("kelvox.desktop"));
  entry.DelStartup();  // nothing to delete, not an error
  EXPECT_TRUE(console.Errors().empty());
  // Nothing but the entry was ever left in the folder.
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(StartupEntryTest, AFolderThatCannotBeReachedIsSilent) {
  TStartupEntry missing("/opt/kelvox/bin/kelvox", dir.File("no/such/folder"), console);
  missing.AddStartup();
  missing.DelStartup();
  dir.Write("a-file", "");
  TStartupEntry not_a_folder("/opt/kelvox/bin/kelvox", dir.File("a-file"), console);
  not_a_folder.AddStartup();
  not_a_folder.DelStartup();
  EXPECT_TRUE(console.Errors().empty());
  EXPECT_FALSE(dir.Exists("no"));
  EXPECT_EQ(dir.Read("a-file"), "");
}

TEST_F(StartupEntryTest, AWriteThatFailsIsReported) {
  std::filesystem::create_directory(dir.File("kelvox.desktop"));
  entry.AddStartup();
  EXPECT_EQ(console.Errors(), Lines{"Failed to set data for 'kelvox'"});
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("kelvox.desktop")));
}

TEST(DesktopExecValueTest, QuotedAndEscapedOnlyWhenItMustBe) {
  EXPECT_EQ(DesktopExecValue("/usr/bin/kelvox"), "/usr/bin/kelvox");
  EXPECT_EQ(DesktopExecValue("/opt/my apps/kelvox"), "\"/opt/my apps/kelvox\"");
  EXPECT_EQ(DesktopExecValue("/opt/100%/kelvox"), "/opt/100%%/kelvox");
  // Inside the quotes '"', '`', '$' and '\' get a backslash; then every
  // backslash of the value is doubled, as in any string of the entry.
  EXPECT_EQ(DesktopExecValue("/opt/a\"b`c$d\\e/kelvox"), "\"/opt/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e/kelvox\"");
  EXPECT_EQ(DesktopExecValue("/opt/new\nline/kelvox"), "\"/opt/new\\nline/kelvox\"");
}

TEST(AutostartFolderTest, TheEnvironmentOverridesTheMachineWideFolder) {
  unsetenv("KELVOX_AUTOSTART_DIR");
  EXPECT_EQ(AutostartFolder(), "/etc/xdg/autostart");
  setenv("KELVOX_AUTOSTART_DIR", "", 1);
  EXPECT_EQ(AutostartFolder(), "/etc/xdg/autostart");
  setenv("KELVOX_AUTOSTART_DIR", "/tmp/elsewhere", 1);
  EXPECT_EQ(AutostartFolder(), "/tmp/elsewhere");
  unsetenv("KELVOX_AUTOSTART_DIR");
}

}  // namespace
}  // namespace kelvox

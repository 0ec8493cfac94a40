#include "config/ini_file.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(IniFile, ReadsNamesInAnyCaseAndTrimsValues) {
  const TIniFile ini(
      "; written by hand\n"
      "[MAIN]\r"
      "LOGFILE =  /var/log/kelvox.log \t\r\n"
      "Port=6667=x\r\n"
      "Max=\r\n"
      "just a line\r\n"
      "[ Security ]\r\n"
      "Password=secret\r\n"
      "[Other]\r\n"
      "Port=1");
  EXPECT_EQ(ini.ReadString("Main", "Logfile"), "/var/log/kelvox.log");
  EXPECT_EQ(ini.ReadString("main", "PORT"), "6667=x");
  EXPECT_EQ(ini.ReadString("Main", "Max"), "");
  EXPECT_EQ(ini.ReadString("Main", "just a line"), std::nullopt);
  EXPECT_EQ(ini.ReadString("Main", "Password"), std::nullopt);
  EXPECT_EQ(ini.ReadString("security", "password"), "secret");
  EXPECT_EQ(ini.ReadString("Other", "Port"), "1");
  EXPECT_EQ(ini.ReadString("Missing", "Port"), std::nullopt);
}

TEST(IniFile, WritingKeepsLinesAndAppendsInPlace) {
  TIniFile ini(
      "; kept\r\n"
      "[main]\r\n"
      "TIME = yes\r\n"
      "Unknown=1\r\n"
      "\r\n"
      "[Security]\r\n"
      "Acces=all\r\n");
  ini.WriteString("Main", "Time", "no");
  ini.WriteString("Main", "Port", "50");
  ini.WriteString("Security", "destination", "only");
  ini.WriteString("Extra", "Key", "v");
  EXPECT_EQ(ini.Bytes(),
            "; kept\r\n"
            "[main]\r\n"
            "TIME =no\r\n"
            "Unknown=1\r\n"
            "Port=50\r\n"
            "\r\n"
            "[Security]\r\n"
            "Acces=all\r\n"
            "destination=only\r\n"
            "[Extra]\r\n"
            "Key=v\r\n");
}

TEST(IniFile, ValueCannotAddLines) {
  TIniFile ini("[Main]\r\n[Security]\r\nIdentification=yes\r\n");
  ini.WriteString("Main", "Logfile", "x\r\n[Security]\r\nIdentification=no");
  EXPECT_EQ(ini.ReadString("Security", "Identification"), "yes");
  EXPECT_EQ(ini.ReadString("Main", "Logfile"), "x[Security]Identification=no");
}

}  // namespace
}  // namespace kelvox

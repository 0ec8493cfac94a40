// The settings dialog over the real rules and a real TSettings in a fresh
// folder: edits reach the settings through the rules, OK and Cancel are the
// rules' own, the mask dialog and the file chooser feed the rules' lists, and
// every setting has its field here as it has its line in the text console.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/console_commands.h"
#include "config/settings.h"
#include "config/settings_keys.h"
#include "console/console_model.h"
#include "console/figures.h"
#include "console/settings_rules.h"
#include "console/text_console.h"
#include "console/update_check.h"
#include "desktop/settings_dialog.h"
#include "engine/bouncer.h"
#include "engine/message_dialog.h"
#include "engine/socket_transport.h"
#include "net/event_loop.h"
#include "tests/support/temp_dir.h"

namespace kelvox::test {

using Lines = std::vector<std::string>;

struct TFixture {
  TTempDir dir;
  TEventLoop loop;
  TConsoleModel console{loop};
  TSettings settings{dir.Path()};
  TConfigurationDialog rules{settings, console};
  TSettingsWindow window{rules, nullptr};
};

// The text console and the desktop dialog over one set of rules.
struct TBothFrontEnds {
  TTempDir dir;
  TEventLoop loop;
  std::ostringstream out;
  TTextConsole console{loop, out};
  TSettings settings{dir.Path()};
  TSocketTransport transport{loop};
  TBouncer bouncer{loop, settings, console, transport};
  TMessageDialog dialog{bouncer, console};
  TConfigurationDialog rules{settings, console};
  TUpdateCheck update{loop, console, "http://127.0.0.1:9/version.html"};  // never asked
  TFigures figures{bouncer, settings};
  TConsoleCommands commands{bouncer, console, dialog, rules, update, figures};
  TSettingsWindow window{rules, nullptr};
};

// Types over the field's whole text, as the operator does.
void Retype(QLineEdit* field, const QString& text) {
  QVERIFY(field != nullptr);
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Delete);
  QTest::keyClicks(field, text);
}

QPushButton* Button(const QWidget& parent, const QString& caption) {
  for (QPushButton* button : parent.findChildren<QPushButton*>()) {
    if (button->text() == caption) return button;
  }
  return nullptr;
}

class TSettingsDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    fixture_ = std::make_unique<TFixture>();
    fixture_->window.Open();
  }
  void cleanup() { fixture_.reset(); }

  void DifferingAdminPasswordsShowTheRulesErrorAndKeepTheDialogOpen() {
    TSettingsWindow& window = fixture_->window;
    QCOMPARE(window.windowTitle(), QString("Configuration"));
    QCOMPARE(window.Pages()->tabText(4), QString("Divers"));
    auto* confirmation = window.findChild<QLineEdit*>("Admin password confirmation");
    Retype(confirmation, "tolvix");
    QCOMPARE(fixture_->settings.AdminPasswordConfirmation, std::string("tolvix"));

    QTest::mouseClick(window.OkButton(), Qt::LeftButton);
    QCOMPARE(fixture_->console.Errors(), Lines{"Check Admin password."});
    QVERIFY(window.isVisible() && fixture_->rules.Visible());
    QVERIFY(confirmation->text().isEmpty());
    QVERIFY(window.findChild<QLineEdit*>("Admin password")->text().isEmpty());
    QVERIFY(!fixture_->dir.Exists("Config.ini"));
  }

  void EverySettingHasAFieldHereAndALineInConfigShow() {
    TBothFrontEnds both;
    both.commands.Execute("config show");
    const std::string shown = "\n" + both.out.str();
    const auto check = [&](const std::string& name, std::size_t most, bool secret) {
      QVERIFY2(shown.find("\n" + name + "=") != std::string::npos, name.c_str());
      auto* field = both.window.findChild<QWidget*>(QString::fromStdString(name));
      QVERIFY2(field != nullptr, name.c_str());
      auto* edit = qobject_cast<QLineEdit*>(field);
      if (edit == nullptr) return;
      QCOMPARE(edit->maxLength(), most == 0 ? 32767 : static_cast<int>(most));
      QCOMPARE(edit->echoMode() == QLineEdit::Password, secret);
    };
    for (const TSettingKey& key : kSettingKeys) {
      check(key.Name, key.Dialog.MaxLength, key.Password());
      if (key.Password()) check(ConfirmationName(key), key.Dialog.MaxLength, true);
      // A box for yes/no, a line for a text, three choices for a mode.
      QWidget* field = both.window.findChild<QWidget*>(key.Name);
      if (field == nullptr) continue;
      const bool fits = std::visit(
          [&]<class T>(T TSettings::*) {
            if constexpr (std::is_same_v<T, bool>) return qobject_cast<QCheckBox*>(field) != nullptr;
            if constexpr (std::is_same_v<T, std::string>) return qobject_cast<QLineEdit*>(field) != nullptr;
            return field->findChildren<QRadioButton*>().size() == 3;
          },
          key.Field);
      QVERIFY2(fits, key.Name);
    }
  }

  void APlainEditSavedByOkReachesConfigIni() {
    TSettingsWindow& window = fixture_->window;
    Retype(window.findChild<QLineEdit*>("Port"), "6000");
    Retype(window.findChild<QLineEdit*>("SSL Port"), "6697");
    Retype(window.findChild<QLineEdit*>("Listen address"), "::1");
    QTest::mouseClick(window.findChild<QRadioButton*>("Acces only"), Qt::LeftButton);
    QCOMPARE(fixture_->settings.AccessMode, TListMode::only);  // in force before OK

    QTest::mouseClick(window.OkButton(), Qt::LeftButton);
    QVERIFY(fixture_->console.Errors().empty());
    QVERIFY(!window.isVisible() && !fixture_->rules.Visible());
    const std::string ini = fixture_->dir.Read("Config.ini");
    QVERIFY(ini.find("Port=6000\r\n") != std::string::npos);
    QVERIFY(ini.find("Acces=only\r\n") != std::string::npos);
    QVERIFY(ini.find("[TLS]\r\nSSL Port=6697\r\n") != std::string::npos);
    QVERIFY(ini.find("[Network]\r\nListen address=::1\r\n") != std::string::npos);
    QCOMPARE(fixture_->console.StatusText(0), std::string("New listen port, restart the bouncer."));
  }

  // The field counts characters, the rules bytes: what the rules refuse is
  // said in their words and the field shows what is held.
  void ARefusedEditIsShownInTheRulesWords() {
    auto* password = fixture_->window.findChild<QLineEdit*>("Admin password");
    Retype(password, "");
    for (int i = 0; i < 6; ++i) QTest::sendKeyEvent(QTest::Click, password, Qt::Key_Eacute, QString(QChar(0xE9)), {});
    QCOMPARE(fixture_->console.Errors(), Lines{"Admin password is too long: at most 10 characters"});
    QCOMPARE(fixture_->settings.AdminPassword, QString(5, QChar(0xE9)).toStdString());
    QCOMPARE(password->text(), QString(5, QChar(0xE9)));
  }

  // The linger fields stand in their group on the Network page; a number out
  // of bounds is refused as it is typed, and only what differs from the
  // factory value reaches Config.ini.
  void LingerFieldsOnTheNetworkPage() {
    TSettingsWindow& window = fixture_->window;
    QCOMPARE(window.Pages()->tabText(5), QString("Network"));
    QWidget* network = window.Pages()->widget(5);
    auto* minutes = network->findChild<QLineEdit*>("Linger minutes");
    auto* lines = network->findChild<QLineEdit*>("Linger lines");
    QVERIFY(minutes != nullptr && lines != nullptr);
    auto* group = qobject_cast<QGroupBox*>(minutes->parentWidget());
    QVERIFY(group != nullptr && group == lines->parentWidget());
    QCOMPARE(group->title(), QString("Linger"));
    auto* form = qobject_cast<QFormLayout*>(group->layout());
    QCOMPARE(qobject_cast<QLabel*>(form->labelForField(minutes))->text(), QString("Linger minutes (0: off) :"));
    QCOMPARE(qobject_cast<QLabel*>(form->labelForField(lines))->text(), QString("Lines held per session :"));

    minutes->selectAll();
    QTest::keyClicks(minutes, "30");
    lines->selectAll();
    QTest::keyClicks(lines, "20001");
    QCOMPARE(fixture_->console.Errors(), Lines{"Linger lines is a number from 1 to 20000"});
    QCOMPARE(lines->text(), QString("2000"));
    QTest::mouseClick(window.OkButton(), Qt::LeftButton);
    const std::string ini = fixture_->dir.Read("Config.ini");
    QVERIFY(ini.ends_with("[Linger]\r\nLinger minutes=30\r\n"));
  }

  void EditabilityFollowsIdentificationAndLogAndTheFileChooserSetsLogfile() {
    TSettingsWindow& window = fixture_->window;
    auto* password = window.findChild<QLineEdit*>("Password");
    auto* logfile = window.findChild<QLineEdit*>("Logfile");
    QPushButton* choose = Button(window, "...");
    QVERIFY(!password->isEnabled() && !logfile->isEnabled() && !choose->isEnabled());

    QTest::mouseClick(window.findChild<QCheckBox*>("Identification"), Qt::LeftButton);
    QTest::mouseClick(window.findChild<QCheckBox*>("Log"), Qt::LeftButton);
    QVERIFY(password->isEnabled() && logfile->isEnabled() && choose->isEnabled());

    const std::string picked = fixture_->dir.File("events.log");
    fixture_->rules.PickFile = [picked] { return std::optional<std::string>(picked); };
    QTest::mouseClick(choose, Qt::LeftButton);
    QCOMPARE(fixture_->settings.Logfile, picked);
    QCOMPARE(logfile->text().toStdString(), picked);
    QCOMPARE(logfile->toolTip().toStdString(), picked);
  }

  void ListsTakeEntriesAndTheMaskDialogAppendsAMask() {
    TSettingsWindow& window = fixture_->window;
    Retype(window.findChild<QLineEdit*>("Ban entry"), " 10.0.0.5 ");
    QWidget* ban_group = window.findChild<QLineEdit*>("Ban entry")->parentWidget();
    QTest::mouseClick(Button(*ban_group, "Add"), Qt::LeftButton);
    QCOMPARE(fixture_->settings.BanList.Entries(), Lines{" 10.0.0.5 "});
    auto* bans = window.findChild<QListWidget*>("Ban list");
    bans->item(0)->setSelected(true);
    QTest::mouseClick(Button(*ban_group, "Cancel"), Qt::LeftButton);
    QVERIFY(fixture_->settings.BanList.Empty() && bans->count() == 0);

    TMaskDialog* mask = window.MaskDialog();
    QTimer::singleShot(0, mask, [mask] {
      QCOMPARE(mask->windowTitle(), QString("Add..."));
      QCOMPARE(mask->Field()->text(), QString("*.*.*.*"));
      Retype(mask->Field(), "10.*");
      QTest::mouseClick(mask->AddButton(), Qt::LeftButton);
    });
    QTest::mouseClick(Button(window, "Add IP mask    ->"), Qt::LeftButton);
    QCOMPARE(fixture_->settings.SelectableIps, (Lines{"Default ip", "10.*"}));
    QCOMPARE(window.findChild<QListWidget*>("Selectable IPs")->count(), 2);
    QCOMPARE(fixture_->rules.MaskText, std::string("10.*"));
  }

 private:
  std::unique_ptr<TFixture> fixture_;
};

}  // namespace kelvox::test

QTEST_MAIN(kelvox::test::TSettingsDialogTest)
#include "settings_dialog_test.moc"

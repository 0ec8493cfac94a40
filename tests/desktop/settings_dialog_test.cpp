// The settings dialog over the real rules and a real TSettings in a fresh
// folder: edits reach the settings through the rules, OK and Cancel are the
// rules' own, the mask dialog and the file chooser feed the rules' lists.
#include <QApplication>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "console/console_model.h"
#include "console/settings_rules.h"
#include "desktop/settings_dialog.h"
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

  void APlainEditSavedByOkReachesConfigIni() {
    TSettingsWindow& window = fixture_->window;
    Retype(window.findChild<QLineEdit*>("Port"), "6000");
    QTest::mouseClick(window.findChild<QRadioButton*>("Acces only"), Qt::LeftButton);
    QCOMPARE(fixture_->settings.AccessMode, TListMode::only);  // in force before OK

    QTest::mouseClick(window.OkButton(), Qt::LeftButton);
    QVERIFY(fixture_->console.Errors().empty());
    QVERIFY(!window.isVisible() && !fixture_->rules.Visible());
    const std::string ini = fixture_->dir.Read("Config.ini");
    QVERIFY(ini.find("Port=6000\r\n") != std::string::npos);
    QVERIFY(ini.find("Acces=only\r\n") != std::string::npos);
    QCOMPARE(fixture_->console.StatusText(0), std::string("New listen port, restart the bouncer."));
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

// The desktop window over the real engine and the real socket transport, its
// event loop inside Qt's: users on loopback connections fill the grid, the
// buttons and menu items follow Start and Stop, the grid's Kill kicks a user.
#include <QAction>
#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "config/settings.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/loopback.h"

namespace kelvox::test {

class TMainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    desktop_ = std::make_unique<TDesktop>(dir_.path().toStdString() + "/");
  }
  void cleanup() {
    peers_.clear();
    desktop_.reset();
  }

  void StartAndStopEnableButtonsAndMenuItemsTogether() {
    TMainWindow& window = desktop_->window;
    QCOMPARE(window.windowTitle(), QString("Kelvox v2.6"));
    QCOMPARE(window.GridWidget()->horizontalHeaderItem(0)->text(), QString("Identification"));
    QVERIFY(window.StartButton()->isEnabled() && window.StartAction()->isEnabled());
    QVERIFY(!window.StopButton()->isEnabled() && !window.StopAction()->isEnabled());
    QCOMPARE(window.StatusPanel(1)->text(), QString("OFFLINE"));

    window.StartAction()->trigger();
    QVERIFY(desktop_->bouncer.Listening());
    QVERIFY(!window.StartButton()->isEnabled() && !window.StartAction()->isEnabled());
    QVERIFY(window.StopButton()->isEnabled() && window.StopAction()->isEnabled());
    QCOMPARE(window.StatusPanel(1)->text(), QString("ONLINE"));
    QCOMPARE(window.StatusPanel(0)->text(), QString("Listen on port: 0"));

    QTest::mouseClick(window.StopButton(), Qt::LeftButton);
    QVERIFY(!desktop_->bouncer.Listening());
    QVERIFY(window.StartButton()->isEnabled() && window.StartAction()->isEnabled());
    QVERIFY(!window.StopButton()->isEnabled() && !window.StopAction()->isEnabled());
    QCOMPARE(window.StatusPanel(1)->text(), QString("OFFLINE"));
  }

  void AUserConnectingAddsAGridRowAndTheCount() {
    TMainWindow& window = desktop_->window;
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    QCOMPARE(window.GridWidget()->rowCount(), 1);
    Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.UserCountLabel()->text(), QString("1"), kWaitMs);
    QCOMPARE(window.GridWidget()->rowCount(), 2);
    QCOMPARE(window.GridWidget()->item(0, 4)->text(), QString("1"));
    QCOMPARE(window.TrayHint(), std::string("Kelvox - ONLINE (1 users)"));
    peers_.back()->Send("NICK joe\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(window.GridWidget()->item(0, 0)->text().startsWith("joe@"), kWaitMs);
  }

  void KillOfRowTwoKicksThatUser() {
    TMainWindow& window = desktop_->window;
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    TRawPeer& first = Connect();
    TRawPeer& second = Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.UserCountLabel()->text(), QString("2"), kWaitMs);
    window.GridWidget()->setCurrentCell(1, 0);  // table row 1 is the grid's row 2
    QCOMPARE(window.SelectedRow(), 2);
    const QList<QAction*> items = window.GridMenu()->actions();
    QCOMPARE(items.at(1)->text(), QString("Kill"));
    items.at(1)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(second.Eof(), kWaitMs);
    QVERIFY(second.Received().find("You were kicked by the administrator.") != std::string::npos);
    QTRY_COMPARE_WITH_TIMEOUT(window.UserCountLabel()->text(), QString("1"), kWaitMs);
    QVERIFY(!first.Eof());
    QCOMPARE(window.GridWidget()->rowCount(), 2);
  }

  void CloseWithAUserAsksAndOkStopsTheBouncer() {
    TMainWindow& window = desktop_->window;
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    TRawPeer& user = Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.UserCountLabel()->text(), QString("1"), kWaitMs);
    std::vector<std::string> asked;
    bool answer = false;
    window.AskHandler = [&](const std::string& text, const std::string& caption) {
      asked.push_back(caption + ": " + text);
      return answer;
    };
    bool closed = false;
    window.OnClosed = [&] { closed = true; };
    window.close();  // the close box
    QCOMPARE(asked.size(), std::size_t{1});
    QCOMPARE(asked[0], std::string("Confirm: Are you sure you want to exit Kelvox ? Some users are connected."));
    QVERIFY(!closed && window.isVisible() && desktop_->bouncer.Listening());
    answer = true;
    window.close();
    QVERIFY(closed && !window.isVisible() && !desktop_->bouncer.Listening());
    QTRY_VERIFY_WITH_TIMEOUT(user.Eof(), kWaitMs);
    QVERIFY(user.Received().find("   Disconnection - Bouncer is down.") != std::string::npos);
  }

  void LoopTimersTickUnderQt() {
    TTimer timer(desktop_->loop);
    int ticks = 0;
    timer.OnTimer = [&](TTimer*) { ++ticks; };
    timer.SetInterval(5);
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, kWaitMs);
  }

 private:
  TRawPeer& Connect() {
    peers_.push_back(std::make_unique<TRawPeer>(desktop_->loop, desktop_->Port()));
    return *peers_.back();
  }

  QTemporaryDir dir_;
  std::unique_ptr<TDesktop> desktop_;
  std::vector<std::unique_ptr<TRawPeer>> peers_;
};

}  // namespace kelvox::test

QTEST_MAIN(kelvox::test::TMainWindowTest)
#include "main_window_test.moc"

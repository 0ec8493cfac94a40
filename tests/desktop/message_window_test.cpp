// The message dialog over the real engine: its error boxes come from the
// engine's model, and "Send to all users" reaches every loopback user. F4's
// update check asks a local version page and shows its answer.
#include <QAction>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "config/settings.h"
#include "desktop/loop_bridge.h"
#include "desktop/main_window.h"
#include "engine/bouncer.h"
#include "engine/socket_transport.h"
#include "tests/support/http_server.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/loopback.h"

namespace kelvox::test {

class TMessageWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void ErrorBoxesThenSendToAllReachesEveryUser() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TDesktop desktop(dir.path().toStdString() + "/");
    TMainWindow& window = desktop.window;
    window.StartAction()->trigger();
    TRawPeer first(desktop.loop, desktop.Port());
    TRawPeer second(desktop.loop, desktop.Port());
    QTRY_COMPARE_WITH_TIMEOUT(window.UserCountLabel()->text(), QString("2"), kWaitMs);

    // The trailing empty row: its tag (3) has no user.
    window.GridWidget()->setCurrentCell(2, 0);
    QAction* message = window.GridMenu()->actions().at(0);
    QCOMPARE(message->text(), QString("Message"));
    QVERIFY(message->isEnabled());
    message->trigger();
    TMessageWindow* dialog = window.MessageWindow();
    QVERIFY(dialog->isVisible() && dialog->isModal());
    QCOMPARE(dialog->Model().TagField, std::string("3"));

    QTest::mouseClick(dialog->SendButton(), Qt::LeftButton);
    ExpectErrorBox(dialog, "Invalid message.");
    dialog->TextBox()->setPlainText("hello");
    QTest::mouseClick(dialog->SendButton(), Qt::LeftButton);
    ExpectErrorBox(dialog, "Invalid Tag");
    QVERIFY(dialog->isVisible() && dialog->TextBox()->toPlainText().isEmpty());
    QCOMPARE(window.Errors(), (std::vector<std::string>{"Invalid message.", "Invalid Tag"}));

    dialog->TextBox()->setPlainText("line one\nline two\n");
    dialog->ToAllBox()->setChecked(true);
    QTest::mouseClick(dialog->SendButton(), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
    // Each user gets both lines, in order, as bouncer notices.
    for (TRawPeer* user : {&first, &second}) {
      QTRY_VERIFY_WITH_TIMEOUT(user->Received().find("   Administrator notice : line two\r\n") != std::string::npos,
                               kWaitMs);
      const std::size_t one = user->Received().find("   Administrator notice : line one\r\n");
      QVERIFY(one < user->Received().find("   Administrator notice : line two\r\n"));
    }
    QVERIFY(dialog->ToAllBox()->isChecked());  // kept for the next use
  }

  void CheckForUpdateShowsTheAnswerAndTheLink() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TDesktop desktop(dir.path().toStdString() + "/");
    THttpServer server(desktop.loop);
    server.Responder = [](const std::string&, std::size_t) { return THttpServer::Response(200, "OK", "version=2.6;"); };
    qputenv("KELVOX_UPDATE_URL", QByteArray::fromStdString(server.Url()));
    TMainWindow& window = desktop.window;
    QVERIFY(window.UpdateAction()->isEnabled());
    window.UpdateAction()->trigger();
    TUpdateWindow* update = window.UpdateWindow();
    QVERIFY(update->isVisible());
    QCOMPARE(update->TextLabel()->text(), QString("Searching..."));
    QVERIFY(!update->LinkLabel()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(update->TextLabel()->text(), QString("You ve got the last release."), kWaitMs);
    QVERIFY(update->LinkLabel()->isVisible());
    QVERIFY(update->LinkLabel()->text().contains("http://www.kelvox.net/"));
    QTest::mouseClick(update->CloseButton(), Qt::LeftButton);
    QVERIFY(!update->isVisible());
    qunsetenv("KELVOX_UPDATE_URL");
  }

 private:
  static void ExpectErrorBox(QWidget* dialog, const char* text) {
    QMessageBox* box = dialog->findChild<QMessageBox*>();
    QVERIFY(box != nullptr && box->isVisible());
    QCOMPARE(box->windowTitle(), QString("Error"));
    QCOMPARE(box->text(), QString(text));
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->findChild<QMessageBox*>() == nullptr, kWaitMs);
  }
};

}  // namespace kelvox::test

QTEST_MAIN(kelvox::test::TMessageWindowTest)
#include "message_window_test.moc"

// The self-closing message box: its timer, its keys, its parts per kind and
// its layout of multi-line and long texts.

#include "app/ui/msg_form.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "app/ui/qt_user_interaction.h"

using zb::MessageKind;
using zb::app::TMsgForm;

class MsgFormTest : public QObject {
  Q_OBJECT

 private:
  // Runs `act` on the box once it is the active modal window.
  static void WhenShown(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
      if (QWidget* w = QApplication::activeModalWidget()) {
        poll->stop();
        poll->deleteLater();
        act(w);
      }
    });
    poll->start();
  }

 private slots:
  void closesByItselfAfterItsTime() {
    bool returned = false;
    QElapsedTimer clock;
    QTimer::singleShot(0, this, [&] {
      clock.start();
      zb::app::ShowTimedMessage("Backup 3 Files Succeeds!", MessageKind::kInformation, 1);
      returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 10000);
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }

  void enterAndEscapeCloseAtOnce_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
  }
  void enterAndEscapeCloseAtOnce() {
    QFETCH(int, key);
    bool returned = false;
    bool timer_idle = false;
    WhenShown([&](QWidget* box) {
      // 0 seconds: no timer, so only the key can have closed it.
      timer_idle = !static_cast<TMsgForm*>(box)->CloseTimer()->isActive();
      QTest::keyClick(box, Qt::Key(key));
    });
    QTimer::singleShot(0, this, [&] {
      zb::app::ShowTimedMessage("Done", MessageKind::kWarning, 0);
      returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
    QVERIFY(timer_idle);
  }

  void partsFollowTheKind_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("image");
    QTest::newRow("warning") << 0 << "Warning" << true;
    QTest::newRow("error") << 1 << "Error" << true;
    QTest::newRow("information") << 2 << "Information" << true;
    QTest::newRow("confirmation") << 3 << "Confirm" << true;
    QTest::newRow("custom") << 4 << "Quillomar ZIP Backup  V1.50" << false;
  }
  void partsFollowTheKind() {
    QFETCH(int, kind);
    QFETCH(QString, caption);
    QFETCH(bool, image);
    TMsgForm box("text", static_cast<MessageKind>(kind));
    QCOMPARE(box.windowTitle(), caption);
    QCOMPARE(box.findChild<QLabel*>("Image") != nullptr, image);
    auto* ok = box.findChild<QPushButton*>("OK");
    QVERIFY(ok && ok->isDefault());
    QCOMPARE(ok->text(), QString("OK"));
    QCOMPARE(box.font(), QApplication::font("QMessageBox"));
    QCOMPARE(box.minimumSize(), box.maximumSize());  // fixed size
    if (image) {
      QCOMPARE(box.findChild<QLabel*>("Image")->geometry().size(), QSize(32, 32));
      // The text sits right of the icon.
      QVERIFY(box.findChild<QLabel*>("Message")->x() >=
              box.findChild<QLabel*>("Image")->geometry().right());
    }
  }

  void lineBreaksAndLongLinesWrap() {
    TMsgForm lines("Backup 2 Files Succeeds!\rProject: Daily\rFile: /b/Daily01.zip",
                   MessageKind::kInformation);
    auto* message = lines.findChild<QLabel*>("Message");
    QCOMPARE(message->text().count('\n'), 2);
    const int line = message->fontMetrics().height();
    QVERIFY(message->height() >= 3 * line);

    TMsgForm wide(QString("word ").repeated(400), MessageKind::kError);
    const int half = QApplication::primaryScreen()->geometry().width() / 2;
    auto* long_text = wide.findChild<QLabel*>("Message");
    QVERIFY(long_text->width() <= half + 8);
    QVERIFY(long_text->height() > 3 * line);
    // Everything fits: the button is below the text, inside the box.
    auto* ok = wide.findChild<QPushButton*>("OK");
    QVERIFY(ok->y() >= long_text->geometry().bottom());
    QVERIFY(ok->geometry().bottom() < wide.height());
  }

  void commandErrorsUseTheTitleAndAFullStop() {
    QString caption, text;
    WhenShown([&](QWidget* box) {
      caption = box->windowTitle();
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) text = label->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    zb::app::QtUserInteraction ui;
    bool done = false;
    QTimer::singleShot(0, this, [&] {
      (void)zb::RunCommand(ui, [] { throw zb::Error("Unable to create directory"); });
      done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
    QCOMPARE(caption, QString("Quillomar ZIP Backup  V1.50"));
    QCOMPARE(text, QString("Unable to create directory."));

    // The silent abort shows nothing and ends the command.
    QVERIFY(!zb::RunCommand(ui, [] { throw zb::EAbort(); }));
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }
};

QTEST_MAIN(MsgFormTest)
#include "msg_form_test.moc"

// The self-closing message box: its timer, its keys, its parts per kind and
// its layout of multi-line and long texts.

#include "app/ui/msg_form.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

  // Several-button questions: the offered buttons in order, the caption of
  // the kind or the caller's, the default, and each button's answer;
  // closing with Escape answers the escape button.
  void severalButtonQuestionsAnswerTheButtonPressed() {
    using zb::Button;
    struct Case {
      zb::Question q;
      QStringList texts;       // button texts, mnemonics removed, as offered
      QString caption;
      int press;               // index of the button to press; -1 = Escape
      Button expected;
    };
    const zb::Question yes_no_all{"Replace?", {Button::kYes, Button::kNo, Button::kCancel,
                                               Button::kYesToAll}, Button::kNo, Button::kCancel,
                                  MessageKind::kConfirmation, ""};
    const zb::Question disk{"Please insert disk number 2", {Button::kOk, Button::kCancel,
                                                            Button::kBrowse},
                            Button::kOk, Button::kCancel, MessageKind::kInformation, "Disk"};
    const std::vector<Case> cases = {
        {yes_no_all, {"Yes", "No", "Cancel", "Yes to All"}, "Confirm", 3, Button::kYesToAll},
        {yes_no_all, {"Yes", "No", "Cancel", "Yes to All"}, "Confirm", 1, Button::kNo},
        {yes_no_all, {"Yes", "No", "Cancel", "Yes to All"}, "Confirm", -1, Button::kCancel},
        {disk, {"OK", "Cancel", "Browse..."}, "Disk", 2, Button::kBrowse},
        {disk, {"OK", "Cancel", "Browse..."}, "Disk", -1, Button::kCancel},
    };
    for (const Case& c : cases) {
      QString caption, default_text;
      QStringList texts;
      WhenShown([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        caption = box->windowTitle();
        if (box->defaultButton()) default_text = box->defaultButton()->text().remove('&');
        const auto buttons = box->buttons();
        for (QAbstractButton* b : buttons) texts << b->text().remove('&');
        if (c.press < 0) {
          QTest::keyClick(box, Qt::Key_Escape);
        } else {
          for (QAbstractButton* b : buttons) {
            if (b->text().remove('&') == c.texts[c.press]) b->click();
          }
        }
      });
      zb::app::QtUserInteraction ui;
      QCOMPARE(static_cast<int>(ui.Ask(c.q)), static_cast<int>(c.expected));
      QCOMPARE(caption, c.caption);
      // The box orders buttons by the desktop's rules, not as offered.
      QStringList offered = c.texts;
      offered.sort();
      texts.sort();
      QCOMPARE(texts, offered);
      QCOMPARE(default_text, c.texts[c.q.default_button == Button::kNo ? 1 : 0]);
    }
  }

  // The text input returns what was typed, or nothing for Cancel; the
  // certificate question names the host and fingerprint and refuses by
  // default.
  void textInputAndCertificateQuestion() {
    zb::app::QtUserInteraction ui;
    WhenShown([](QWidget* w) {
      auto* edit = w->findChild<QLineEdit*>();
      QVERIFY(edit);
      QCOMPARE(edit->text(), QString("New Folder"));
      edit->setText("backups");
      QTest::keyClick(edit, Qt::Key_Return);
    });
    QCOMPARE(ui.AskText("Create Folder", "Folder name:", "New Folder"),
             std::optional<std::string>("backups"));
    WhenShown([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    QCOMPARE(ui.AskText("Create Folder", "Folder name:", "x"), std::optional<std::string>());

    QString text, caption;
    WhenShown([&](QWidget* w) {
      caption = w->windowTitle();
      if (auto* label = w->findChild<QLabel*>("qt_msgbox_label")) text = label->text();
      QTest::keyClick(w, Qt::Key_Return);  // the default button
    });
    const zb::CertificateQuestion q{"ftp.example.org", "CN=ftp.example.org", "CN=Test CA",
                                    "AB:CD:EF", "self-signed certificate"};
    QVERIFY(!ui.AskTrustCertificate(q));
    QCOMPARE(caption, QString("Warning"));
    QVERIFY(text.contains("ftp.example.org") && text.contains("AB:CD:EF") &&
            text.contains("self-signed certificate"));
  }
};

QTEST_MAIN(MsgFormTest)
#include "msg_form_test.moc"

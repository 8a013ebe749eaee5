// The program as a process: one instance per data folder with hand-over,
// a lock that a crash does not leave stale, and SIGTERM closing through the
// normal path so the settings are saved.

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "ui/ui_test_support.h"

using zb::test::ReadText;
using zb::test::WriteText;

class ProgramTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QTemporaryDir runtime_;
  QString exe_;

  // The data folder is the program's own folder, so each test runs a copy
  // of the program in a fresh folder.
  void Install() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    const QString built = qEnvironmentVariable("ZB_PROGRAM_DIR") + "/zipbackup";
    QVERIFY2(QFile::exists(built), qPrintable(built));
    exe_ = dir_->filePath("zipbackup");
    QVERIFY(QFile::copy(built, exe_));
    // Sockets left by instances killed in earlier tests would look ready.
    QDir sockets(SocketDir());
    for (const QString& name : sockets.entryList({"instance-*"}, QDir::System))
      sockets.remove(name);
  }
  QString SocketDir() const {
    return runtime_.path() + "/quillomar-zipbackup-" + QString::number(getuid());
  }
  std::unique_ptr<QProcess> Start() {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime_.path());
    env.insert("XDG_CONFIG_HOME", runtime_.path() + "/config");
    p->setProcessEnvironment(env);
    p->start(exe_, {});
    return p;
  }
  // The first instance is ready once it listens on its socket.
  bool WaitListening() {
    QDir sockets(SocketDir());
    for (int i = 0; i < 300; ++i) {
      if (!sockets.entryList({"instance-*"}, QDir::System).isEmpty()) return true;
      QTest::qWait(50);
    }
    return false;
  }
  static void Stop(QProcess& p) {
    if (p.state() != QProcess::NotRunning) {
      p.kill();
      p.waitForFinished(5000);
    }
  }

 private slots:
  void initTestCase() {
    QVERIFY(runtime_.isValid());
    QFile::setPermissions(runtime_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }

  void secondStartHandsOverAndExits() {
    Install();
    auto first = Start();
    QVERIFY(first->waitForStarted());
    QVERIFY(WaitListening());
    auto second = Start();
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    // Empty stderr: the first instance acknowledged the hand-over.
    QCOMPARE(QString(second->readAllStandardError())
                 .remove(QRegularExpression("QStandardPaths[^\n]*\n")),
             QString());
    QCOMPARE(first->state(), QProcess::Running);
    Stop(*first);
  }

  void crashedInstanceLeavesNoStaleLock() {
    Install();
    auto first = Start();
    QVERIFY(WaitListening());
    first->kill();  // SIGKILL: no clean-up at all
    QVERIFY(first->waitForFinished(5000));
    auto next = Start();
    QVERIFY(next->waitForStarted());
    // The new start is the first instance now: it stays running.
    QVERIFY(!next->waitForFinished(1500));
    Stop(*next);
  }

  void sigtermClosesThroughTheNormalPath() {
    Install();
    WriteText(dir_->filePath("project.ini").toStdString(),
              "[Common]\nProject Count=1\nCount0=Daily\n");
    auto p = Start();
    QVERIFY(WaitListening());
    ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
    QVERIFY(p->waitForFinished(10000));
    QCOMPARE(p->exitStatus(), QProcess::NormalExit);
    QCOMPARE(p->exitCode(), 0);
    // SaveAppSettings ran: the close-time keys are in the file now.
    const std::string ini = ReadText(dir_->filePath("project.ini").toStdString());
    QVERIFY2(ini.find("Last Project=Daily") != std::string::npos, ini.c_str());
    QVERIFY(ini.find("Enable schedule=1") != std::string::npos);
  }
};

QTEST_MAIN(ProgramTest)
#include "program_test.moc"

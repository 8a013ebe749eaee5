// The private folder of the hand-over socket and the instance lock, in one
// process (the hand-over between two processes is in program_test).

#include "shell/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "base/errors.h"

using zb::shell::SingleInstance;

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> runtime_;
  QString Private() const {
    return runtime_->path() + "/quillomar-zipbackup-" + QString::number(getuid());
  }

 private slots:
  void init() {
    runtime_ = std::make_unique<QTemporaryDir>();
    QVERIFY(runtime_->isValid());
    chmod(runtime_->path().toLocal8Bit().constData(), 0700);
    qputenv("XDG_RUNTIME_DIR", runtime_->path().toUtf8());
  }

  void createsAPrivateFolder() {
    const auto dir = SingleInstance::RuntimeDir();
    QCOMPARE(QString::fromStdString(dir.string()), Private());
    struct stat st;
    QCOMPARE(lstat(dir.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t{0700});
  }

  void refusesAFolderOthersCanEnter() {
    QVERIFY(QDir().mkdir(Private()));
    chmod(Private().toLocal8Bit().constData(), 0777);
    QVERIFY_THROWS_EXCEPTION(zb::EOSError, (void)SingleInstance::RuntimeDir());
  }

  void refusesALinkInPlaceOfTheFolder() {
    QTemporaryDir elsewhere;
    chmod(elsewhere.path().toLocal8Bit().constData(), 0700);
    QVERIFY(QFile::link(elsewhere.path(), Private()));
    QVERIFY_THROWS_EXCEPTION(zb::EOSError, (void)SingleInstance::RuntimeDir());
  }

  void unsafeXdgRuntimeDirIsNotUsed() {
    chmod(runtime_->path().toLocal8Bit().constData(), 0755);
    const auto dir = SingleInstance::RuntimeDir();
    QVERIFY(!QString::fromStdString(dir.string()).startsWith(runtime_->path()));
  }

  void oneClaimPerDataFolder() {
    QTemporaryDir data;
    SingleInstance first(data.path().toStdString());
    QVERIFY(first.Claim());
    QVERIFY(QFile::exists(first.SocketPath()));
    SingleInstance second(data.path().toStdString());
    QVERIFY(!second.Claim());
    QTemporaryDir other;
    SingleInstance elsewhere(other.path().toStdString());
    QVERIFY(elsewhere.Claim());  // another installation runs side by side
    QVERIFY(elsewhere.SocketPath() != first.SocketPath());
  }

  void noHandOverThroughAnUnsafeFolder() {
    QVERIFY(QDir().mkdir(Private()));
    chmod(Private().toLocal8Bit().constData(), 0777);
    QTemporaryDir data;
    SingleInstance client(data.path().toStdString());
    QVERIFY(!client.ActivatePreviousInstance(300));
  }
};

QTEST_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"

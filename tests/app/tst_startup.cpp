#include "app/folders.h"
#include "app/startup.h"
#include "scriptedoperator.h"

#include <QApplication>
#include <QtTest>

#include <csignal>

namespace {

// Ends the updater's event loop as soon as it runs, after noting what the running updater
// looked like.
struct RunningSnapshot
{
    bool lockFileExisted = false;
    qint64 lockFileSize = -1;
    bool windowShown = false;
    QString styleSheet;
};

void quitOnceRunning(RunningSnapshot *snapshot)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, snapshot] {
        if (QThread::currentThread()->loopLevel() == 0)
            return;
        QFileInfo lock(Folders::lockFilePath());
        snapshot->lockFileExisted = lock.exists();
        snapshot->lockFileSize = lock.size();
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->isVisible())
                snapshot->windowShown = true;
        snapshot->styleSheet = qApp->styleSheet();
        timer->stop();
        QCoreApplication::quit();
    });
    timer->start();
}

// Set while a test wants the next application that updaterMain creates to quit once running.
RunningSnapshot *pendingSnapshot = nullptr;

void onApplicationCreated()
{
    if (pendingSnapshot)
        quitOnceRunning(pendingSnapshot);
}

int runWithoutArguments()
{
    static char name[] = "bryx-updater";
    char *argv[] = {name, nullptr};
    int argc = 1;
    return updaterMain(argc, argv);
}

// A minimal package, so the window finds something to offer and asks nothing at start-up.
void writePackage(const QString &folder)
{
    QFile image(folder + QStringLiteral("/k220_demo.bin"));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write("SWVER:3/2/2015\n");
    QFile description(folder + QStringLiteral("/k220_demo.ver"));
    QVERIFY(description.open(QIODevice::WriteOnly));
    description.write("SWVER:3/2/2015\nWEBVER:1425384000\n");
}

void writeStaleLock()
{
    QDir().mkpath(Folders::tempWorkFolder());
    QFile lock(Folders::lockFilePath());
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write("stale");
    lock.close();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void normalRunAsksNothingAndRemovesLock();
    void refusedOverrideExitsWithZero();
    void acceptedOverrideRewritesLock();
    void anyArgumentExitsMinusOne_data();
    void anyArgumentExitsMinusOne();
    void signalEndsTheRunInOrder_data();
    void signalEndsTheRunInOrder();

private:
    QTemporaryDir packageFolder;
};

void TestStartup::initTestCase()
{
    QVERIFY(packageFolder.isValid());
    writePackage(packageFolder.path());
    Folders::setApplicationFolder(packageFolder.path());
}

void TestStartup::init()
{
    QFile::remove(Folders::lockFilePath());
}

void TestStartup::normalRunAsksNothingAndRemovesLock()
{
    ScriptedOperator questions;
    RunningSnapshot snapshot;
    pendingSnapshot = &snapshot;
    const int code = runWithoutArguments();
    pendingSnapshot = nullptr;

    QCOMPARE(code, 0);
    QVERIFY(questions.asked.isEmpty());
    QVERIFY(snapshot.lockFileExisted);
    QVERIFY(snapshot.windowShown);
    QVERIFY(snapshot.styleSheet.contains(QStringLiteral("#07A74F")));
    QVERIFY(!QFile::exists(Folders::lockFilePath()));
    QVERIFY(!QCoreApplication::instance());
}

void TestStartup::refusedOverrideExitsWithZero()
{
    writeStaleLock();
    ScriptedOperator questions;
    questions.answers = {QMessageBox::No};

    QCOMPARE(runWithoutArguments(), 0);
    QCOMPARE(questions.asked.size(), 1);
    const OperatorQuestions::Question &q = questions.asked.first();
    QCOMPARE(q.icon, QMessageBox::Warning);
    QCOMPARE(q.text, QStringLiteral("Updater was not closed properly, or another instance is running.\n\n "
                                    "Override lock and continue loading?"));
    QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(q.defaultButton, QMessageBox::No);

    // Left exactly as it was, and the application is gone again.
    QFile lock(Folders::lockFilePath());
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readAll(), QByteArray("stale"));
    QVERIFY(!QCoreApplication::instance());
}

void TestStartup::acceptedOverrideRewritesLock()
{
    writeStaleLock();
    ScriptedOperator questions;
    questions.answers = {QMessageBox::Yes};
    RunningSnapshot snapshot;
    pendingSnapshot = &snapshot;
    const int code = runWithoutArguments();
    pendingSnapshot = nullptr;

    QCOMPARE(code, 0);
    QCOMPARE(questions.asked.size(), 1);
    QVERIFY(snapshot.lockFileExisted);
    QCOMPARE(snapshot.lockFileSize, 0);
    QVERIFY(snapshot.windowShown);
    QVERIFY(!QFile::exists(Folders::lockFilePath()));
}

void TestStartup::anyArgumentExitsMinusOne_data()
{
    QTest::addColumn<bool>("lockBefore");
    QTest::newRow("no-lock") << false;
    QTest::newRow("lock-present-is-not-asked") << true;
}

// The real program, a copy with a package beside it, in folders of its own, with logging on.
struct ProgramCopy
{
    ProgramCopy()
    {
        tmp = root.filePath(QStringLiteral("tmp"));
        data = root.filePath(QStringLiteral("data"));
        work = root.filePath(QStringLiteral("work"));
        const QString app = root.filePath(QStringLiteral("app"));
        ready = root.isValid() && QDir().mkpath(tmp) && QDir().mkpath(work) && QDir().mkpath(app)
                && QFile::copy(QStringLiteral(BRYX_BIN_DIR "/bryx-updater"), app + QStringLiteral("/bryx-updater"));
        // The program looks for its packages beside itself.
        writePackage(app);
        QFile logFile(work + QStringLiteral("/LOGFILE.txt"));
        ready = ready && logFile.open(QIODevice::WriteOnly);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        env.insert(QStringLiteral("XDG_DATA_HOME"), data);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(work);
    }
    void start(const QStringList &arguments) { process.start(root.filePath(QStringLiteral("app/bryx-updater")), arguments); }
    QString lockFile() const { return tmp + QStringLiteral("/Quillet/singleinstanceupdater.txt"); }
    QByteArray log() const
    {
        QFile logFile(work + QStringLiteral("/LOGFILE.txt"));
        return logFile.open(QIODevice::ReadOnly) ? logFile.readAll() : QByteArray();
    }

    QTemporaryDir root;
    QString tmp;
    QString data;
    QString work;
    bool ready = false;
    QProcess process;
};

void TestStartup::anyArgumentExitsMinusOne()
{
    QFETCH(bool, lockBefore);

    ProgramCopy updater;
    QVERIFY(updater.ready);
    if (lockBefore) {
        QVERIFY(QDir().mkpath(updater.tmp + QStringLiteral("/Quillet")));
        QFile lock(updater.lockFile());
        QVERIFY(lock.open(QIODevice::WriteOnly));
    }
    updater.start({QStringLiteral("anything")});
    QVERIFY(updater.process.waitForFinished(60000));
    QCOMPARE(updater.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.process.exitCode(), 255); // -1 as a shell status

    QVERIFY(QFile::exists(updater.lockFile()));
    QVERIFY(QFileInfo(updater.tmp + QStringLiteral("/Quillet/priorityhelp")).isDir());
    QVERIFY(QFileInfo(updater.data + QStringLiteral("/Quillet")).isDir());
    // The log tells whether the window was ever shown and run.
    const QByteArray log = updater.log();
    QVERIFY2(!log.contains("appIsQuitting"), log.constData());
    QVERIFY2(!log.contains("exited normally"), log.constData());
}

void TestStartup::signalEndsTheRunInOrder_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// A desktop session ending, `systemctl stop` or `kill`: the run ends as closing the window ends
// it, with its exit code, its last log line and no lock file left behind.
void TestStartup::signalEndsTheRunInOrder()
{
    QFETCH(int, signalNumber);

    ProgramCopy updater;
    QVERIFY(updater.ready);
    updater.start({});
    QVERIFY(updater.process.waitForStarted(60000));
    QTRY_VERIFY_WITH_TIMEOUT(updater.log().contains("aboutToQuit connected to appIsQuitting: true"), 60000);
    QVERIFY(QFile::exists(updater.lockFile()));
    QCOMPARE(::kill(pid_t(updater.process.processId()), signalNumber), 0);
    QVERIFY(updater.process.waitForFinished(60000));
    QCOMPARE(updater.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.process.exitCode(), 0);
    QVERIFY2(updater.log().contains("Quillet exited normally with returncode: 0"), updater.log().right(500).constData());
    QVERIFY(!QFile::exists(updater.lockFile()));
}

int main(int argc, char **argv)
{
    // No application object here: each test lets updaterMain create and destroy its own.
    qAddPreRoutine(onApplicationCreated);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"

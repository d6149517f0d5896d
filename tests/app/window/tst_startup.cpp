#include "app/folders.h"
#include "app/window/startup.h"
#include "history/historystore.h"
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

// Opens the history file at path for a moment, with an application object of its own (the tests
// run without one between the updater's runs).
template <typename Use> void withHistory(const QString &path, Use use)
{
    static char name[] = "tst_startup";
    char *argv[] = {name, nullptr};
    int argc = 1;
    QCoreApplication app(argc, argv);
    HistoryStore store(QStringLiteral("tst_startup"));
    QString error;
    QVERIFY2(store.open(path, &error), qPrintable(error));
    use(store);
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
    void acceptedOverrideRewritesLock_data();
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
    QVERIFY(snapshot.styleSheet.contains(QStringLiteral("#067A3A")));
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

void TestStartup::acceptedOverrideRewritesLock_data()
{
    QTest::addColumn<bool>("planted");
    QTest::newRow("stale lock") << false;
    // The lock folder may be shared by every user: a link there is replaced, never written through.
    QTest::newRow("link planted at the lock's name") << true;
}

void TestStartup::acceptedOverrideRewritesLock()
{
    QFETCH(bool, planted);
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious.txt"));
    if (planted) {
        QFile precious(target);
        QVERIFY(precious.open(QIODevice::WriteOnly));
        precious.write("keep me");
        precious.close();
        QDir().mkpath(Folders::tempWorkFolder());
        QVERIFY(QFile::link(target, Folders::lockFilePath()));
    } else {
        writeStaleLock();
    }
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
    QVERIFY(!QFileInfo(Folders::lockFilePath()).exists() && !QFileInfo(Folders::lockFilePath()).isSymLink());
    if (planted) {
        QFile precious(target);
        QVERIFY(precious.open(QIODevice::ReadOnly));
        QCOMPARE(precious.readAll(), QByteArray("keep me"));
    }
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
    explicit ProgramCopy(bool withPackage = true)
    {
        tmp = root.filePath(QStringLiteral("tmp"));
        data = root.filePath(QStringLiteral("data"));
        work = root.filePath(QStringLiteral("work"));
        const QString app = root.filePath(QStringLiteral("app"));
        ready = root.isValid() && QDir().mkpath(tmp) && QDir().mkpath(work) && QDir().mkpath(app)
                && QFile::copy(QStringLiteral(BRYX_BIN_DIR "/bryx-updater"), app + QStringLiteral("/bryx-updater"));
        // The program looks for its packages beside itself.
        if (withPackage)
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
    QString historyFile() const { return data + QStringLiteral("/bryx-updater/history.sqlite"); }
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
    // Another updater's batch, under way: a start that shows no window must not touch it.
    withHistory(updater.historyFile(), [](HistoryStore &store) {
        HistoryStore::Batch batch;
        batch.started = QDateTime::currentDateTime();
        batch.units = 3;
        QVERIFY(store.beginBatch(batch) > 0);
    });
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
    withHistory(updater.historyFile(), [](HistoryStore &store) {
        const QList<HistoryStore::Batch> batches = store.batches();
        QCOMPARE(batches.size(), 1);
        QVERIFY(!batches.first().interrupted && !batches.first().ended.isValid());
    });
}

void TestStartup::signalEndsTheRunInOrder_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("boxOpen");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QString();
    QTest::newRow("SIGINT") << int(SIGINT) << QString();
    QTest::newRow("SIGHUP") << int(SIGHUP) << QString();
    // A box of the start-up has an event loop of its own, which the request to quit did not reach.
    QTest::newRow("SIGTERM at the lock question") << int(SIGTERM) << QStringLiteral("Override lock");
    QTest::newRow("SIGHUP at the no-packages box") << int(SIGHUP) << QStringLiteral("found no updates");
}

// A desktop session ending, `systemctl stop` or `kill`: the run ends as closing the window ends
// it, with its exit code, its last log line and no lock file left behind. At the lock question
// it ends as No does: nothing started, the lock as it was.
void TestStartup::signalEndsTheRunInOrder()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, boxOpen);

    const bool lockQuestion = boxOpen.startsWith(QLatin1String("Override"));
    ProgramCopy updater(!boxOpen.contains(QLatin1String("no updates")));
    QVERIFY(updater.ready);
    if (lockQuestion) {
        QVERIFY(QDir().mkpath(updater.tmp + QStringLiteral("/Quillet")));
        QFile lock(updater.lockFile());
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write("stale");
    }
    updater.start({});
    QVERIFY(updater.process.waitForStarted(60000));
    const QByteArray ready =
        boxOpen.isEmpty() ? QByteArray("aboutToQuit connected to appIsQuitting: true") : boxOpen.toLatin1();
    QTRY_VERIFY_WITH_TIMEOUT(updater.log().contains("Asking the operator:") || boxOpen.isEmpty(), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(updater.log().contains(ready), 60000);
    QCOMPARE(::kill(pid_t(updater.process.processId()), signalNumber), 0);
    QVERIFY(updater.process.waitForFinished(60000));
    QCOMPARE(updater.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.process.exitCode(), 0);
    if (lockQuestion) {
        QFile lock(updater.lockFile());
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QByteArray("stale"));
        QVERIFY(!updater.log().contains("exited normally"));
    } else {
        QVERIFY2(updater.log().contains("Quillet exited normally with returncode: 0"),
                 updater.log().right(500).constData());
        QVERIFY(!QFile::exists(updater.lockFile()));
    }
}

int main(int argc, char **argv)
{
    // No application object here: each test lets updaterMain create and destroy its own.
    qAddPreRoutine(onApplicationCreated);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"

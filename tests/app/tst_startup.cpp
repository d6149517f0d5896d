#include "app/folders.h"
#include "app/startup.h"
#include "scriptedoperator.h"

#include <QApplication>
#include <QtTest>

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

void TestStartup::anyArgumentExitsMinusOne()
{
    QFETCH(bool, lockBefore);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString tmp = root.filePath(QStringLiteral("tmp"));
    const QString data = root.filePath(QStringLiteral("data"));
    const QString work = root.filePath(QStringLiteral("work"));
    const QString program = root.filePath(QStringLiteral("app/bryx-updater"));
    QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(work) && QDir().mkpath(root.filePath(QStringLiteral("app"))));
    // The program looks for its packages beside itself: give this copy one.
    QVERIFY(QFile::copy(QStringLiteral(BRYX_BIN_DIR "/bryx-updater"), program));
    writePackage(root.filePath(QStringLiteral("app")));
    if (lockBefore) {
        QVERIFY(QDir().mkpath(tmp + QStringLiteral("/Quillet")));
        QFile lock(tmp + QStringLiteral("/Quillet/singleinstanceupdater.txt"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
    }
    // With logging on, the log tells whether the window was ever shown and run.
    QFile logFile(work + QStringLiteral("/LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(work);
    updater.start(program, {QStringLiteral("anything")});
    QVERIFY(updater.waitForFinished(60000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 255); // -1 as a shell status

    QVERIFY(QFile::exists(tmp + QStringLiteral("/Quillet/singleinstanceupdater.txt")));
    QVERIFY(QFileInfo(tmp + QStringLiteral("/Quillet/priorityhelp")).isDir());
    QVERIFY(QFileInfo(data + QStringLiteral("/Quillet")).isDir());
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QByteArray log = logFile.readAll();
    QVERIFY2(!log.contains("appIsQuitting"), log.constData());
    QVERIFY2(!log.contains("exited normally"), log.constData());
}

int main(int argc, char **argv)
{
    // No application object here: each test lets updaterMain create and destroy its own.
    qAddPreRoutine(onApplicationCreated);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"

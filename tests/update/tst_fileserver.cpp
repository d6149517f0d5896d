#include "app/folders.h"
#include "fewdescriptors.h"
#include "mainwindowaccess.h"
#include "update/updatercore.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "simulatorprocess.h"
#include "update/fetchrequest.h"
#include "update/fileserver.h"

#include <QPlainTextEdit>
#include <QTcpSocket>
#include <QScopeGuard>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

const QByteArray kHeaderHead = "HTTP/1.1 200 OK\nDate: Mon, 17 Sep 2012 12:59:52 GMT\nServer: Apache/2.2.21 (Win32) "
                               "mod_ssl/2.2.21 OpenSSL/1.0.0e PHP/5.3.8 mod_perl/2.0.4 Perl/v5.10.1\nLast-Modified: "
                               "Fri, 14 Sep 2012 14:52:37 GMT\nETag: \"800000010f742-3a1a1d-4c9aa9322d740\"\n"
                               "Accept-Ranges: bytes\nContent-Length: ";
const QByteArray kHeaderTail =
    "\nKeep-Alive: timeout=5, max=100\nConnection: Keep-Alive\nContent-Type: application/octet-stream\n\n";

MarluneUnit unit(const QString &name, const QString &type, const QString &sn, quint32 kSeries, const QString &ip)
{
    MarluneUnit u;
    u.name = name;
    u.deviceType = type;
    u.sn = sn;
    u.KSeries = kSeries;
    u.ip = ip;
    u.subnet = QStringLiteral("255.255.0.0");
    u.mac = QStringLiteral("02:00:00:00:03:") + ip.section(QLatin1Char('.'), 3, 3).rightJustified(2, QLatin1Char('0'));
    return u;
}

// A unit's side of one fetch: connects from the unit's own address and collects the answer
// until the server closes the connection.
class Fetch : public QObject
{
public:
    Fetch(const QString &from, const QByteArray &request)
    {
        socket.bind(QHostAddress(from));
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            received += socket.readAll();
            if (firstRead == 0)
                firstRead = received.size();
        });
        connect(&socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
        connect(&socket, &QTcpSocket::connected, this, [this, request] {
            port = socket.localPort();
            if (!request.isNull())
                socket.write(request);
        });
        socket.connectToHost(QStringLiteral("10.77.0.1"), 50005);
    }
    bool waitClosed(int ms = 60000)
    {
        return QTest::qWaitFor([this] { return closed; }, ms);
    }
    QTcpSocket socket;
    QByteArray received;
    qsizetype firstRead = 0;
    bool closed = false;
    quint16 port = 0;
};

const QByteArray kGet = "GET /firmware/anything.bin HTTP/1.1\r\nHost: 10.77.0.1\r\n\r\n";

// A unit's fetch on a plain socket, for what a QTcpSocket cannot do (a small receive buffer, a
// thread of its own, closing one side): connected from the unit's address, the request sent.
// The descriptor, or -1 when either failed (closed then).
int rawFetch(const char *unitAddress, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, unitAddress, &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    address.sin_port = htons(50005);
    ::inet_pton(AF_INET, "10.77.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, kGet.constData(), size_t(kGet.size()), MSG_NOSIGNAL) == kGet.size())
        return fd;
    ::close(fd);
    return -1;
}


} // namespace

class TestFileServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void requestParser_data();
    void requestParser();
    void servesTheUnitsOwnPackage();
    void requestInPiecesIsServed();
    void emptyImage();
    void requestsThatGetNothing_data();
    void requestsThatGetNothing();
    void sameAddressTwiceUsesTheFirst();
    void recordedBySecondInterface();
    void missingAndUnreadableImages();
    void imageChangedAfterTheScanIsRefused_data();
    void imageChangedAfterTheScanIsRefused();
    void imageRewrittenWhileSentIsCutShort();
    void silentClientDoesNotHoldUpTheEventLoop();
    void brokenTransferThenNextUnitServed();
    void windowClosedWithFetchesInProgress();
    void unitThatStopsTakingDataIsGivenUp();
    void slowUnitIsNotGivenUp();
    void imageGoesOnWhileTheEventLoopIsBusy();
    void unitsConnectionIsKeptFull();
    void outOfDescriptorsThenServedAgain();
    void unitThatClosesItsSideGetsItsWholeImage();

private:
    QString log() const { return lines.join(QLatin1Char('\n')); }
    QByteArray image(const QString &name) const
    {
        QFile file(packages.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir packages;
    ScriptedOperator *questions = nullptr;
    // The core, not started: no tick and no discovery, only the file server and the pipeline it
    // asks; and the status-log lines it said.
    UpdaterCore *core = nullptr;
    QStringList lines;
};

void TestFileServer::initTestCase()
{
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_fs"), QStringLiteral("3/2/2015"), 1425384000,
                         QString(), QByteArray(), 300000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("wp_fs"), QStringLiteral("6/1/2014"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("vod_fs"), QStringLiteral("4/4/2016"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("kp_fs"), QStringLiteral("7/7/2015"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("dvr_big"), QStringLiteral("6/1/2015"), 1425384000,
                         QString(), QByteArray(), 32 * 1024 * 1024));
    // An empty image for third-generation units.
    QFile empty(packages.filePath(QStringLiteral("k3_empty.bin")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QFile ver(packages.filePath(QStringLiteral("k3_empty.ver")));
    QVERIFY(ver.open(QIODevice::WriteOnly));
    ver.write("SWVER:12/24/2015\nWEBVER:1425384000\n");
}

void TestFileServer::init()
{
    Folders::setApplicationFolder(packages.path());
    questions = new ScriptedOperator;
    lines.clear();
    core = new UpdaterCore;
    connect(core, &UpdaterCore::statusLine, this, [this](const QString &line) { lines.append(line); });
}

void TestFileServer::cleanup()
{
    delete core;
    delete questions;
}

void TestFileServer::requestParser_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("final");
    QTest::addColumn<FetchVerdict>("verdict");

    QTest::newRow("get-bin") << kGet << false << FetchVerdict::Fetch;
    QTest::newRow("unterminated-get-line") << QByteArray("GET /firmware.bin") << false << FetchVerdict::Fetch;
    QTest::newRow("bin-and-get-on-a-later-line") << QByteArray("HEAD / HTTP/1.1\r\nX: GET a.bin\r\n") << false
                                                 << FetchVerdict::Fetch;
    QTest::newRow("first-line-in-pieces") << QByteArray("GE") << false << FetchVerdict::Incomplete;
    QTest::newRow("nothing-yet") << QByteArray() << false << FetchVerdict::Incomplete;
    QTest::newRow("nothing-at-all") << QByteArray() << true << FetchVerdict::NotAFetch;
    QTest::newRow("piece-at-the-end") << QByteArray("GET /fi") << true << FetchVerdict::NotAFetch;
    QTest::newRow("get-in-lower-case") << QByteArray("get /x.bin HTTP/1.1\r\n") << false << FetchVerdict::NotAFetch;
    QTest::newRow("no-bin") << QByteArray("GET /firmware HTTP/1.1\r\n") << false << FetchVerdict::NotAFetch;
    QTest::newRow("get-and-bin-on-different-lines") << QByteArray("GET / HTTP/1.1\nHost: bin\n") << false
                                                    << FetchVerdict::NotAFetch;
    QTest::newRow("limit-without-a-line") << QByteArray(kMaxFetchRequestSize, 'x') << false << FetchVerdict::NotAFetch;
}

void TestFileServer::requestParser()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, final);
    QFETCH(FetchVerdict, verdict);
    QCOMPARE(parseFetchRequest(received, final), verdict);
}

void TestFileServer::servesTheUnitsOwnPackage()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};

    Fetch fetch(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(fetch.waitClosed());
    const QByteArray body = image(QStringLiteral("k220_fs.bin"));
    const QByteArray header = kHeaderHead + QByteArray::number(body.size()) + kHeaderTail;
    QCOMPARE(fetch.received, header + body);
    // The header leaves together with the first of the image, never in a segment of its own.
    QVERIFY2(fetch.firstRead > header.size(), QByteArray::number(fetch.firstRead));

    const QString port = QString::number(fetch.port);
    QVERIFY(log().contains(QStringLiteral("Lobby (10.77.1.5): New connection from 10.77.1.5: ") + port));
    QVERIFY(log().contains(QStringLiteral("Lobby (10.77.1.5): k220_fs.bin (300000 bytes) sent\n")));
    QVERIFY(log().endsWith(QLatin1String("Lobby (10.77.1.5): Connection closed.")));
    QCOMPARE(state.vUnitsUpdateFetched.size(), 1);
    QVERIFY(state.fetchTimeByMac.contains(state.vUnits.first().mac));
}

void TestFileServer::requestInPiecesIsServed()
{
    core->pipelineForTests().state().vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};
    Fetch fetch(QStringLiteral("10.77.1.5"), QByteArray("GE"));
    QVERIFY(fetch.socket.waitForConnected(30000));
    QTest::qWait(200);
    fetch.socket.write("T /firmware.bin HTTP/1.1\r\n\r\n");
    QVERIFY(fetch.waitClosed());
    QVERIFY(fetch.received.endsWith(image(QStringLiteral("k220_fs.bin"))));
}

void TestFileServer::emptyImage()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Stage", "DEC", "K3200A", 1, "10.77.1.6")};
    Fetch fetch(QStringLiteral("10.77.1.6"), kGet);
    QVERIFY(fetch.waitClosed());
    QCOMPARE(fetch.received, kHeaderHead + "0" + kHeaderTail);
    QVERIFY(log().contains(QStringLiteral("k3_empty.bin (0 bytes) sent")));
}

void TestFileServer::requestsThatGetNothing_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("reason"); // the status-log line that says why, for a fetch refused

    QTest::newRow("peer-not-listed") << "10.77.1.9" << kGet << "From Updater : No image for 10.77.1.9: it is not a listed unit.";
    QTest::newRow("get-in-lower-case") << "10.77.1.5" << QByteArray("get /x.bin HTTP/1.1\r\n\r\n") << "";
    QTest::newRow("no-bin-anywhere") << "10.77.1.5" << QByteArray("GET /firmware HTTP/1.1\r\n\r\n") << "";
    QTest::newRow("audio-without-ATA-or-K4")
        << "10.77.1.7" << kGet << "Audio (10.77.1.7): No image for 10.77.1.7: no package here is for this unit.";
    QTest::newRow("peer-goes-away-silently") << "10.77.1.5" << QByteArray() << "";
}

void TestFileServer::requestsThatGetNothing()
{
    QFETCH(QString, from);
    QFETCH(QByteArray, request);
    QFETCH(QString, reason);

    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5"), unit("Audio", "ATR", "AT1", 0, "10.77.1.7")};
    Fetch fetch(from, request);
    if (request.isNull()) {
        QVERIFY(fetch.socket.waitForConnected(30000));
        fetch.socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([this] { return log().endsWith(QLatin1String("Connection closed.")); }, 30000));
    } else {
        QVERIFY(fetch.waitClosed());
    }
    QVERIFY(fetch.received.isEmpty());
    QVERIFY(log().endsWith(QLatin1String("Connection closed.")));
    QVERIFY(!log().contains(QLatin1String("sent")));
    QCOMPARE(log().count(QLatin1String("No image for")), reason.isEmpty() ? 0 : 1);
    if (!reason.isEmpty())
        QVERIFY2(log().contains(reason), qPrintable(log()));
    QVERIFY(state.vUnitsUpdateFetched.isEmpty());
}

void TestFileServer::sameAddressTwiceUsesTheFirst()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("First", "WP", "JW1", 0, "10.77.1.5"), unit("Second", "ENC", "K2100A", 1, "10.77.1.5")};
    Fetch fetch(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(fetch.waitClosed());
    QVERIFY(fetch.received.endsWith(image(QStringLiteral("wp_fs.bin"))));
    QCOMPARE(state.vUnitsUpdateFetched.size(), 1);
    QCOMPARE(state.vUnitsUpdateFetched.first().name, QStringLiteral("First"));
}

void TestFileServer::recordedBySecondInterface()
{
    // The file is chosen by the unit's own address; the fetch is recorded for the first unit
    // whose address or second interface is the peer's.
    PipelineState &state = core->pipelineForTests().state();
    MarluneUnit server = unit("Server", "VOD", "K7200", 0, "10.77.1.20");
    server.eth1_ipAddr = QStringLiteral("10.77.1.5");
    state.vUnits = {server, unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};
    Fetch fetch(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(fetch.waitClosed());
    QVERIFY(fetch.received.endsWith(image(QStringLiteral("k220_fs.bin"))));
    QCOMPARE(state.vUnitsUpdateFetched.size(), 1);
    QCOMPARE(state.vUnitsUpdateFetched.first().name, QStringLiteral("Server"));
}

void TestFileServer::missingAndUnreadableImages()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};
    core->pipelineForTests().catalogue().k220.newFilename = QStringLiteral("k220_gone.bin");
    Fetch missing(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(missing.waitClosed());
    QVERIFY(missing.received.isEmpty());
    QVERIFY(log().contains(QDir::current().absoluteFilePath(QStringLiteral("k220_gone.bin")) + " DOES NOT EXIST."));

    QVERIFY(QDir(packages.path()).mkpath(QStringLiteral("k220_folder.bin")));
    core->pipelineForTests().catalogue().k220.newFilename = QStringLiteral("k220_folder.bin");
    Fetch unreadable(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(unreadable.waitClosed());
    QVERIFY(unreadable.received.isEmpty());
    QVERIFY(log().contains(QStringLiteral("Lobby (10.77.1.5): k220_folder.bin could NOT be opened.")));
    QVERIFY(state.vUnitsUpdateFetched.isEmpty());
}

// An image rewritten after the scan is refused to every unit that asks, nothing sent; the status
// log says so once.
void TestFileServer::imageChangedAfterTheScanIsRefused_data()
{
    QTest::addColumn<int>("secondsLater"); // the modification time given to the rewritten file

    // As a copy made a little later would be stamped.
    QTest::newRow("stamped-later") << 2;
    // As `cp -p` or `rsync -a` leave it: the size and the modification time put back.
    QTest::newRow("size-and-time-put-back") << 0;
}

void TestFileServer::imageChangedAfterTheScanIsRefused()
{
    QFETCH(int, secondsLater);
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Panel", "WPC", "K8300", 0, "10.77.1.5"), unit("Desk", "WPC", "K8301", 0, "10.77.1.6")};
    // Other bytes of the same size, rewritten in place, and the modification time set to the
    // nanosecond.
    const QString path = packages.filePath(QStringLiteral("kp_fs.bin"));
    const QByteArray before = image(QStringLiteral("kp_fs.bin"));
    struct stat scanned;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &scanned), 0);
    QFile rewritten(path);
    QVERIFY(rewritten.open(QIODevice::ReadWrite));
    QCOMPARE(rewritten.write(QByteArray(16, 'x')), 16);
    rewritten.close();
    timespec times[2] = {scanned.st_atim, scanned.st_mtim};
    times[1].tv_sec += secondsLater;
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    QCOMPARE(QFileInfo(path).size(), qint64(scanned.st_size));
    // The next tests serve it again: its bytes go back, and the core made for them scans anew.
    const auto restore = qScopeGuard([&] {
        QFile back(packages.filePath(QStringLiteral("kp_fs.bin")));
        if (back.open(QIODevice::WriteOnly))
            back.write(before);
    });

    QSignalSpy changed(core->findChild<FileServer *>(), &FileServer::fileChanged);
    Fetch first(QStringLiteral("10.77.1.5"), kGet);
    Fetch second(QStringLiteral("10.77.1.6"), kGet);
    QVERIFY(first.waitClosed() && second.waitClosed());
    QVERIFY(first.received.isEmpty() && second.received.isEmpty());
    QCOMPARE(changed.size(), 2);
    QSet<QString> peers;
    for (const QList<QVariant> &emitted : std::as_const(changed)) {
        peers << emitted.at(0).toString();
        QCOMPARE(emitted.at(1).toString(), QStringLiteral("kp_fs.bin"));
    }
    QCOMPARE(peers, (QSet<QString>{"10.77.1.5", "10.77.1.6"}));
    QCOMPARE(log().count(QStringLiteral(": kp_fs.bin changed on disk after the updater started; it is not served. "
                                        "Restart the updater to serve it.\n")),
             1);
    QVERIFY(!log().contains(QLatin1String("sent")));
    QVERIFY(state.vUnitsUpdateFetched.isEmpty());
}

void TestFileServer::silentClientDoesNotHoldUpTheEventLoop()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5"), unit("Wall", "WP", "JW1", 0, "10.77.1.6")};
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(100);

    QElapsedTimer clock;
    clock.start();
    Fetch silent(QStringLiteral("10.77.1.5"), QByteArray());
    QVERIFY(silent.socket.waitForConnected(30000));
    // Meanwhile another unit is served, and the event loop goes on.
    Fetch other(QStringLiteral("10.77.1.6"), kGet);
    // Before the silent one's 10-second wait is over, with room for a loaded machine.
    QVERIFY(other.waitClosed(9000));
    QVERIFY(other.received.endsWith(image(QStringLiteral("wp_fs.bin"))));
    QVERIFY(clock.elapsed() < 9000);

    // The silent one is given up after 10 seconds.
    QVERIFY(silent.waitClosed());
    QVERIFY(clock.elapsed() >= 9500);
    QVERIFY(silent.received.isEmpty());
    // About 100 ticks in those 10 seconds; a blocked event loop would show none.
    QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
}

void TestFileServer::brokenTransferThenNextUnitServed()
{
    PipelineState &state = core->pipelineForTests().state();
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    state.vUnits = {recorder, unit("Wall", "WP", "JW1", 0, "10.77.1.6")};

    {
        Fetch broken(QStringLiteral("10.77.1.8"), kGet);
        QVERIFY(QTest::qWaitFor([&] { return broken.received.size() > 1024 * 1024; }, 10000));
        broken.socket.abort();
    }
    QVERIFY(QTest::qWaitFor(
        [this] { return log().contains(QLatin1String("dvr_big.bin was not sent completely (")); }, 10000));
    QVERIFY(QTest::qWaitFor([this] { return log().endsWith(QLatin1String("Connection closed.")); }, 30000));
    QVERIFY(core->pipelineForTests().state().vUnitsUpdateFetched.isEmpty());

    Fetch next(QStringLiteral("10.77.1.6"), kGet);
    QVERIFY(next.waitClosed());
    QVERIFY(next.received.endsWith(image(QStringLiteral("wp_fs.bin"))));
    // Nothing of the broken transfer stays behind: its socket, file and transfer are gone.
    QTRY_COMPARE(core->findChildren<QTcpSocket *>().size(), 0);
}

void TestFileServer::windowClosedWithFetchesInProgress()
{
    // The program deletes its window at exit: one unit still owes its request, another is in the
    // middle of a transfer. Nothing of the file server may outlive the window or call into it.
    delete core;
    core = nullptr;
    auto *window = new MainWindow;
    stopTicks(*window);
    const auto log = [window] { return window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText(); };
    PipelineState &state = window->pipelineForTests().state();
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    state.vUnits = {recorder, unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};

    Fetch waiting(QStringLiteral("10.77.1.5"), QByteArray());
    Fetch midTransfer(QStringLiteral("10.77.1.8"), kGet);
    QVERIFY(QTest::qWaitFor([&] { return midTransfer.received.size() > 1024 * 1024; }, 10000));
    // The unit stops reading, so the transfer stays in the middle.
    midTransfer.socket.setReadBufferSize(64 * 1024);
    QObject::disconnect(&midTransfer.socket, &QTcpSocket::readyRead, nullptr, nullptr);
    QVERIFY(QTest::qWaitFor([&] { return log().contains(QLatin1String("New connection from 10.77.1.5")); }, 30000));

    delete window;
    QVERIFY(waiting.waitClosed(30000));
    QVERIFY(waiting.received.isEmpty());
}

// A unit that keeps sending after its request and then stops reading: what it sends is read
// away, not kept, and once it has taken nothing for the stall timeout the connection is closed
// and the log says how far the image got.
void TestFileServer::unitThatStopsTakingDataIsGivenUp()
{
    core->findChild<FileServer *>()->setStallTimeout(2000);
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    core->pipelineForTests().state().vUnits = {recorder};

    Fetch stuck(QStringLiteral("10.77.1.8"), kGet);
    QVERIFY(QTest::qWaitFor([&] { return stuck.received.size() > 1024 * 1024; }, 10000));
    stuck.socket.setReadBufferSize(64 * 1024);
    QObject::disconnect(&stuck.socket, &QTcpSocket::readyRead, nullptr, nullptr);
    stuck.socket.write(QByteArray(4 * 1024 * 1024, 'x'));
    QVERIFY(QTest::qWaitFor([&] { return stuck.socket.bytesToWrite() == 0; }, 20000));
    for (const QTcpSocket *serverSide : core->findChildren<QTcpSocket *>())
        QVERIFY2(serverSide->bytesAvailable() <= kMaxFetchRequestSize, qPrintable(QString::number(serverSide->bytesAvailable())));

    const QRegularExpression given(QStringLiteral("Recorder \\(10.77.1.8\\): dvr_big.bin was not sent completely "
                                                  "\\((\\d+) of 33554432 bytes taken\\): the unit took no data for 2 "
                                                  "seconds.\n[0-9:.]+ Recorder \\(10.77.1.8\\): Connection closed."));
    QVERIFY(QTest::qWaitFor([&] { return given.match(log()).hasMatch(); }, 30000));
    QVERIFY(given.match(log()).captured(1).toLongLong() >= 1024 * 1024);
    QVERIFY(!log().contains(QLatin1String("the connection broke off")));
    QTRY_COMPARE(core->findChildren<QTcpSocket *>().size(), 0);
    QVERIFY(core->pipelineForTests().state().vUnitsUpdateFetched.isEmpty());
}

// A unit that takes its image slowly but steadily, more slowly than its connection's send buffer
// drains in a stall timeout: it is still taking data, and is not given up.
void TestFileServer::slowUnitIsNotGivenUp()
{
    core->findChild<FileServer *>()->setStallTimeout(2000);
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    core->pipelineForTests().state().vUnits = {recorder};

    std::atomic<qint64> received{0};
    std::atomic<bool> reading{true};
    std::thread unitSide([&] {
        const int fd = rawFetch("10.77.1.8", 64 * 1024);
        char buffer[8 * 1024];
        ssize_t n = 0;
        // 80 KiB a second, for three stall timeouts.
        while (fd != -1 && reading && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            received += n;
            QThread::msleep(100);
        }
        ::close(fd);
    });
    const auto stopReading = qScopeGuard([&] {
        reading = false;
        unitSide.join();
    });
    QVERIFY(QTest::qWaitFor([&] { return received > 0; }, 10000));
    const qint64 start = received;
    QVERIFY(QTest::qWaitFor([&] { return received - start >= 480 * 1024; }, 60000));
    QVERIFY2(!log().contains(QLatin1String("the unit took no data")), qPrintable(log()));
}

// A unit reads its image on a thread of its own, at 16 MiB a second through a small receive
// buffer, while the main thread is held up for 1.5 seconds: the image goes on meanwhile, far
// beyond the few MiB the kernel could have had queued for it.
void TestFileServer::imageGoesOnWhileTheEventLoopIsBusy()
{
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    core->pipelineForTests().state().vUnits = {recorder};

    std::atomic<qint64> received{0};
    std::thread unitSide([&received] {
        const int fd = rawFetch("10.77.1.8", 128 * 1024);
        if (fd != -1) {
            // Paced by the clock, so a thread that was kept waiting catches up.
            QElapsedTimer clock;
            clock.start();
            char buffer[64 * 1024];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                received += n;
                while (received > clock.elapsed() * 16 * 1024 * 1024 / 1000)
                    QThread::msleep(2);
            }
        }
        ::close(fd);
    });
    const qint64 whole = kHeaderHead.size() + 8 + kHeaderTail.size() + 32 * 1024 * 1024;
    const bool started = QTest::qWaitFor([&] { return received > 1024 * 1024; }, 30000);
    const qint64 before = received;
    if (started)
        QThread::msleep(1500);
    const qint64 meanwhile = received - before;
    const bool ended = QTest::qWaitFor([&] { return received == whole; }, 60000);
    unitSide.join();
    QVERIFY(started);
    QVERIFY2(meanwhile >= 10 * 1024 * 1024, qPrintable(QString::number(meanwhile)));
    QVERIFY(ended);
}

// A unit that has not read yet: the sending thread fills its connection's send buffer, so that
// the kernel sends on as the unit acknowledges, without the thread, which would otherwise be
// woken for every few tens of KiB. Megabytes of the image wait unsent in the kernel.
void TestFileServer::unitsConnectionIsKeptFull()
{
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    core->pipelineForTests().state().vUnits = {recorder};

    const int fd = rawFetch("10.77.1.8");
    QVERIFY(fd != -1);
    const auto closeUnitSide = qScopeGuard([fd] { ::close(fd); });
    QTRY_COMPARE(core->findChildren<QTcpSocket *>().size(), 1);
    const int serverSide = int(core->findChildren<QTcpSocket *>().first()->socketDescriptor());
    const auto unsent = [serverSide] {
        int bytes = 0;
        return ::ioctl(serverSide, SIOCOUTQNSD, &bytes) == 0 ? bytes : -1;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(unsent() >= 512 * 1024, qPrintable(QString::number(unsent())), 10000);
}

// 300 connections opened to the file server without a request, with descriptors for far fewer:
// the server waits while there are none, says so once, and serves the next unit as soon as
// descriptors come back.
void TestFileServer::outOfDescriptorsThenServedAgain()
{
    PipelineState &state = core->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "10.77.1.5")};
    FewDescriptors few(48);
    {
        SimulatorProcess idle;
        QVERIFY(idle.run({QStringLiteral("--idle"), QStringLiteral("10.77.0.1:50005"), QStringLiteral("300"),
                          QStringLiteral("120")}));
        // "IDLE <open> open ...", once a second. Connected from its side are those the server
        // took and those its listening queue holds: 80 are more than it has descriptors for.
        const auto heldOpen = [&idle] {
            int most = 0;
            for (const QString &line : idle.lines())
                if (line.startsWith(QLatin1String("IDLE ")))
                    most = qMax(most, line.section(QLatin1Char(' '), 1, 1).toInt());
            return most;
        };
        QTRY_VERIFY_WITH_TIMEOUT(heldOpen() >= 80, 60000);
        QVERIFY(FewDescriptors::open() >= few.limit - 2);
    }
    // Their connections gone, the server lets go of theirs.
    QTRY_VERIFY_WITH_TIMEOUT(FewDescriptors::open() < few.limit - 16, 60000);
    Fetch fetch(QStringLiteral("10.77.1.5"), kGet);
    QVERIFY(fetch.waitClosed());
    QVERIFY(fetch.received.endsWith(image(QStringLiteral("k220_fs.bin"))));
    QCOMPARE(log().count(QLatin1String("ran out of file descriptors")), 1);
}

// 4 MiB into a unit's fetch of a 32 MiB image, 1 MiB in its middle is overwritten in place: the
// unit never gets the whole image (it sees a short one and rejects it), and the log says why.
void TestFileServer::imageRewrittenWhileSentIsCutShort()
{
    MarluneUnit recorder = unit("Recorder", "DVR", "JD1", 0, "10.77.1.8");
    recorder.fwversion = QStringLiteral("1/29/2014");
    core->pipelineForTests().state().vUnits = {recorder};
    const QString path = packages.filePath(QStringLiteral("dvr_big.bin"));
    const QByteArray before = image(QStringLiteral("dvr_big.bin"));
    const auto restore = qScopeGuard([&] {
        QFile back(path);
        if (back.open(QIODevice::WriteOnly))
            back.write(before);
    });

    std::atomic<qint64> received{0};
    std::atomic<bool> rewritten{false};
    std::atomic<bool> done{false};
    std::thread unitSide([&] {
        const int fd = rawFetch("10.77.1.8", 64 * 1024);
        if (fd != -1) {
            char buffer[64 * 1024];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                received += n;
                // Slowly, until the file has been rewritten.
                if (!rewritten)
                    QThread::msleep(5);
            }
        }
        ::close(fd);
        done = true;
    });
    const bool underWay = QTest::qWaitFor([&] { return received > 4 * 1024 * 1024; }, 30000);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(16 * 1024 * 1024));
        QCOMPARE(file.write(QByteArray(1024 * 1024, 'r')), 1024 * 1024);
    }
    rewritten = true;
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 60000);
    unitSide.join();
    QVERIFY(underWay && ended);
    const qint64 whole = kHeaderHead.size() + 8 + kHeaderTail.size() + 32 * 1024 * 1024;
    QVERIFY2(received < whole, qPrintable(QString::number(received)));
    QTRY_VERIFY(log().contains(QLatin1String("dvr_big.bin changed on disk while it was sent; the transfer was cut short")));
    QVERIFY(!log().contains(QLatin1String("dvr_big.bin (33554432 bytes) sent")));
}

// A unit that closes its own side of the connection right after its request (as a client that
// has nothing more to say may) still reads its whole image.
void TestFileServer::unitThatClosesItsSideGetsItsWholeImage()
{
    // A large image: the unit closes its side long before the last of it has gone.
    core->pipelineForTests().state().vUnits = {unit("Recorder", "DVR", "JD1", 0, "10.77.1.8")};
    std::atomic<bool> done{false};
    QByteArray received;
    std::thread unitSide([&] {
        const int fd = rawFetch("10.77.1.8");
        if (fd != -1 && ::shutdown(fd, SHUT_WR) == 0) {
            char buffer[64 * 1024];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                received.append(buffer, n);
        }
        ::close(fd);
        done = true;
    });
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 60000);
    unitSide.join();
    QVERIFY(ended);
    QVERIFY2(received.endsWith(image(QStringLiteral("dvr_big.bin"))), qPrintable(QString::number(received.size())));
    QTRY_VERIFY(log().contains(QLatin1String("dvr_big.bin (33554432 bytes) sent")));
}

QTEST_MAIN(TestFileServer)
#include "tst_fileserver.moc"

#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QQueue>
#include <QString>

class QThread;
class QTimer;
class TCPTest;

// Runs the TCP reachability tests of unit addresses, at most one per address every 5 seconds.
// Results arrive on the thread that owns this object. The tests run on kTestsAtOnce worker
// threads made with this object, each taking the next address waiting, in the order they were
// asked for: a redraw of a large fleet never starts a thousand threads, and no thread is made
// later, when the process may have no descriptor left for one. A test that could not be made for
// want of descriptors is made again a moment later.
class Reachability final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Reachability)

public:
    explicit Reachability(QObject *parent = nullptr);
    // Waits for the tests still running; their results go nowhere.
    ~Reachability() override;

    // Starts a test of ip on the units' port unless one was started there less than 5 seconds
    // ago. False when nothing was started.
    bool start(const QString &ip);

    // Why no test can run ("" while they can): no worker thread could be started.
    QString startFailure() const { return failure; }

    static constexpr int kTestsAtOnce = 16;
    static constexpr int kRetryMs = 1000;

Q_SIGNALS:
    void testFinished(QString ip, int port, bool result);

private:
    void startWaiting();
    void tested(int worker);
    void notRun(int worker, const QString &ip);

    QMap<QString, QDateTime> lastTestStart;
    QQueue<QString> waiting;
    QList<QThread *> threads;
    QList<TCPTest *> testers;
    QList<bool> busy;
    // Addresses whose test could not be made, tried again once this runs out.
    QStringList retry;
    QTimer *retryLater;
    bool descriptorsReported = false;
    QString failure;
};

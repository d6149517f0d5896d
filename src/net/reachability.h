#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class QThread;

// Runs the TCP reachability tests of unit addresses, each on a worker thread of its own, at most
// one per address every 5 seconds. Results arrive on the thread that owns this object. At most
// kTestsAtOnce run at once; the others wait their turn in the order they were asked for, so that a
// redraw of a large fleet does not start a thousand threads that starve the window.
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

    static constexpr int kTestsAtOnce = 16;

Q_SIGNALS:
    void testFinished(QString ip, int port, bool result);

private:
    void startWaiting();
    void launch(const QString &ip);

    QMap<QString, QDateTime> lastTestStart;
    QQueue<QString> waiting;
    int running = 0;
    QList<QPointer<QThread>> testThreads;
};

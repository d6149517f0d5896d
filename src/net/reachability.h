#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

class QThread;

// Runs the TCP reachability tests of unit addresses, each on a worker thread of its own, at most
// one per address every 5 seconds. Results arrive on the thread that owns this object.
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

Q_SIGNALS:
    void testFinished(QString ip, int port, bool result);

private:
    QMap<QString, QDateTime> lastTestStart;
    QList<QPointer<QThread>> testThreads;
};

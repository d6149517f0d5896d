#pragma once

#include <QObject>
#include <QString>

// One TCP reachability test of a unit, run on a worker thread so that its blocking connection
// waits never freeze the window: port, then port + 1, reporting the port it was given.
class TCPTest final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TCPTest)

public:
    explicit TCPTest(QObject *parent = nullptr) : QObject(parent) {}

    QString ip;
    int port = 50001;

public Q_SLOTS:
    void tcpPortCheck();

Q_SIGNALS:
    void testFinished(QString ip, int port, bool result);
    // The test could not be made: the process had no descriptor left for its socket. Nothing is
    // known of the unit, and testFinished is not emitted.
    void testNotRun(QString ip);
};

#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

class QTcpSocket;

// Holds a number of TCP connections open to one address and port that never send anything, and
// opens each again as soon as the server closes it. The first openings are spread out, 20 a
// second, so that a server that gives up on silent connections after a while keeps closing some
// and seeing them come back, rather than all at once. Stops by itself after a set time.
class IdleConnections final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(IdleConnections)

public:
    IdleConnections(const QHostAddress &target, quint16 port, int count, int seconds, QObject *parent = nullptr);

    // Starts opening the connections; always true (the same shape as the flood's).
    bool start(QString *error);
    void stop();

Q_SIGNALS:
    void event(const QString &line);
    void finished();

private:
    void open(QTcpSocket *socket);
    void openNext();
    void onConnected(QTcpSocket *socket);
    void onClosed(QTcpSocket *socket);
    void report();
    int openCount() const;

    static constexpr int kOpenIntervalMs = 50;
    // A connection the server refused or closed is opened again after this long.
    static constexpr int kReopenMs = 50;
    static constexpr int kReportMs = 1000;

    QHostAddress target;
    quint16 port;
    int count;
    int seconds;
    QList<QTcpSocket *> sockets;
    QTimer reportTimer;
    QTimer endTimer;
    QTimer openTimer;
    QSet<QTcpSocket *> reopening;
    QSet<QTcpSocket *> openedOnce;
    qint64 reopened = 0;
    bool stopped = false;
};

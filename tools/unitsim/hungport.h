#pragma once

#include <QList>
#include <QString>

class QHostAddress;

// A TCP port on which no connection ever completes, as on a unit whose network stack hung: a
// listening socket that nothing ever accepts from, whose accept queue is filled at once by
// connections the unit makes to itself and keeps open. With the queue full, the kernel drops
// every further SYN unanswered, so a client waits out its whole connect timeout; it is neither
// refused nor accepted.
class HungPort
{
public:
    HungPort() = default;
    ~HungPort();
    HungPort(const HungPort &) = delete;
    HungPort &operator=(const HungPort &) = delete;

    // Listens on address:port and fills the accept queue; false with the reason in *error.
    bool open(const QHostAddress &address, quint16 port, QString *error);

private:
    bool fillQueue(const QHostAddress &address, quint16 port, QString *error);
    bool readQueue(int *length, int *limit) const;
    void close();

    // The smallest queue that fills without SYN cookies: two connections fill it.
    static constexpr int kBacklog = 1;
    // More than the queue ever takes; a kernel that still has room after these has a queue of its own.
    static constexpr int kMostFillers = 4;
    static constexpr int kConnectTimeoutMs = 2000;
    static constexpr int kMostWaits = 1000; // of 1 ms each, for a connection to join the queue

    int listener = -1;
    QList<int> fillers; // the unit's own connections that hold the queue full
};

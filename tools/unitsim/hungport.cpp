#include "hungport.h"

#include <QHostAddress>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in socketAddress(const QHostAddress &address, quint16 port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address.toIPv4Address());
    return a;
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Connects a new socket from address to address:port within timeoutMs; the descriptor, or -1.
int connectTo(const QHostAddress &address, quint16 port, int timeoutMs, QString *error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = lastError();
        return -1;
    }
    const sockaddr_in local = socketAddress(address, 0);
    const sockaddr_in remote = socketAddress(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
        || (::connect(fd, reinterpret_cast<const sockaddr *>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
        *error = lastError();
        ::close(fd);
        return -1;
    }
    pollfd waiting = {fd, POLLOUT, 0};
    int result = 0;
    socklen_t length = sizeof result;
    if (::poll(&waiting, 1, timeoutMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0
        || result != 0) {
        *error = result != 0 ? QString::fromLocal8Bit(std::strerror(result)) : QStringLiteral("connect timed out");
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

HungPort::~HungPort()
{
    close();
}

bool HungPort::open(const QHostAddress &address, quint16 port, QString *error)
{
    close();
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const sockaddr_in local = socketAddress(address, port);
    if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(listener, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
        || ::listen(listener, kBacklog) != 0) {
        *error = lastError();
        close();
        return false;
    }
    if (!fillQueue(address, port, error)) {
        close();
        return false;
    }
    return true;
}

bool HungPort::fillQueue(const QHostAddress &address, quint16 port, QString *error)
{
    int waits = 0;
    for (;;) {
        int queued = 0;
        int limit = 0;
        if (!readQueue(&queued, &limit)) {
            *error = QStringLiteral("cannot read the accept queue: ") + lastError();
            return false;
        }
        if (queued > limit)
            return true; // full: the kernel drops every further SYN
        // A connection joins the queue once the kernel has taken in the last packet of its
        // handshake, which on loopback is at once or very nearly.
        if (queued < fillers.size()) {
            if (++waits > kMostWaits) {
                *error = QStringLiteral("connections to itself do not reach the accept queue");
                return false;
            }
            QThread::msleep(1);
            continue;
        }
        if (fillers.size() == kMostFillers) {
            *error = QStringLiteral("the accept queue still takes connections after %1").arg(kMostFillers);
            return false;
        }
        const int fd = connectTo(address, port, kConnectTimeoutMs, error);
        if (fd < 0)
            return false;
        fillers.append(fd);
    }
}

// For a listening socket the kernel reports the accept queue's length as tcpi_unacked and its
// limit as tcpi_sacked; it drops new SYNs once the length is past the limit.
bool HungPort::readQueue(int *length, int *limit) const
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    *length = int(info.tcpi_unacked);
    *limit = int(info.tcpi_sacked);
    return true;
}

void HungPort::close()
{
    for (const int fd : std::as_const(fillers))
        ::close(fd);
    fillers.clear();
    if (listener >= 0)
        ::close(listener);
    listener = -1;
}

#include "fileserver.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <utility>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

FileServer::FileServer(FetchConnection::Resolver resolver, FetchConnection::ImageCheck imageCheck, QObject *parent)
    : QObject(parent), resumeAccepting(new QTimer(this)), resolver(std::move(resolver)),
      imageCheck(std::move(imageCheck))
{
    resumeAccepting->setSingleShot(true);
    connect(resumeAccepting, &QTimer::timeout, this, [this] {
        if (incoming)
            incoming->setEnabled(true);
    });
}

FileServer::~FileServer()
{
    delete incoming;
    if (listening != -1)
        ::close(listening);
    qDeleteAll(std::exchange(pending, {}));
    // Before the budget goes: the transfers leave it as they end.
    qDeleteAll(findChildren<FetchConnection *>(Qt::FindDirectChildrenOnly));
}

bool FileServer::listen(const QHostAddress &address, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return false;
    // As any server that is restarted: a port whose last connections still linger is taken.
    const int one = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address.toIPv4Address());
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
        || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 || ::listen(fd, kListenQueue) != 0) {
        ::close(fd);
        return false;
    }
    listening = fd;
    incoming = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(incoming, &QSocketNotifier::activated, this, &FileServer::acceptPending);
    return true;
}

// Takes every connection waiting. Out of descriptors, the server stops accepting for a moment
// (the kernel keeps the units' connections waiting meanwhile) instead of trying again at once,
// which would keep a processor busy for as long as none come back.
void FileServer::acceptPending()
{
    // A few at a time: a fleet connecting at once must not hold the window's thread for long.
    // The socket stays readable while more wait, so the rest come in the next turns.
    for (int taken = 0; taken < kAcceptedPerTurn; ++taken) {
        const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd == -1) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                noteDescriptorsRanOut();
                incoming->setEnabled(false);
                resumeAccepting->start(kAcceptPauseMs);
            }
            return;
        }
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        pending.append(socket);
        Q_EMIT newConnection();
    }
}

void FileServer::noteDescriptorsRanOut()
{
    if (descriptorsShort)
        return;
    descriptorsShort = true;
    qint64 limit = -1;
    rlimit descriptors;
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0)
        limit = qint64(descriptors.rlim_cur);
    Q_EMIT descriptorsRanOut(limit);
}

void FileServer::newSession()
{
    while (!pending.isEmpty()) {
        QTcpSocket *socket = pending.takeFirst();
        auto *connection = new FetchConnection(socket, resolver, imageCheck, imageSender, stallTimeoutMs, this);
        connect(connection, &FetchConnection::descriptorsRanOut, this, &FileServer::noteDescriptorsRanOut);
        connect(connection, &FetchConnection::fileSent, this, [this] { descriptorsShort = false; });
        connect(connection, &FetchConnection::fileMissing, this, &FileServer::fileMissing);
        connect(connection, &FetchConnection::fileUnreadable, this, &FileServer::fileUnreadable);
        connect(connection, &FetchConnection::fileChanged, this, &FileServer::fileChanged);
        connect(connection, &FetchConnection::fileChangedWhileSent, this, &FileServer::fileChangedWhileSent);
        connect(connection, &FetchConnection::fileSent, this, &FileServer::fileSent);
        connect(connection, &FetchConnection::transferProgress, this, &FileServer::transferProgress);
        connect(connection, &FetchConnection::transferBrokeOff, this, &FileServer::transferBrokeOff);
        connect(connection, &FetchConnection::transferStalled, this, &FileServer::transferStalled);
        connect(connection, &FetchConnection::closed, this, &FileServer::connectionClosed);
        Q_EMIT connectionOpened(connection->peer(), socket->peerPort());
        connection->start();
    }
}

#pragma once

#include "versionscanner.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Fetches a firmware image from the updater's file server the way a unit does: one GET request
// from the unit's own address, the body read as it streams in and counted, never kept.
class ImageFetch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ImageFetch)

public:
    static constexpr quint16 ServerPort = 50005;

    ImageFetch(const QHostAddress &localAddress, const QHostAddress &server, const QString &imageName,
               QObject *parent = nullptr);

    void start();

Q_SIGNALS:
    // Exactly one of these, once.
    void succeeded(qint64 bytes, qint64 milliseconds, const QString &swversion, const QString &webversion);
    void failed(const QString &reason);

private:
    void onConnected();
    void onReadyRead();
    void onClosed();
    void onError();
    void onIdle();
    void judge();
    bool readHeader();
    void consumeBody();
    void finishFailed(const QString &reason);

    static constexpr int MaxHeader = 8 * 1024;
    static constexpr int ChunkSize = 4 * 1024;
    // Generous: the updater serves one connection at a time and may be busy with other units.
    static constexpr int ConnectTimeoutMs = 20000;
    static constexpr int IdleTimeoutMs = 60000;

    QTcpSocket *m_socket;
    QTimer m_idle;
    QElapsedTimer m_clock;
    QHostAddress m_local;
    QHostAddress m_server;
    QString m_imageName;
    QByteArray m_header;
    bool m_headerDone = false;
    qint64 m_contentLength = -1;
    qint64 m_received = 0;
    bool m_done = false;
    VersionScanner m_scanner;
};

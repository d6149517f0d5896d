#pragma once

#include <QByteArray>
#include <QString>

// The messages the updater sends to a unit, and how a TCP byte stream splits into them.
namespace WireMessage {

constexpr int kQuerySize = 10;         // 0x01, code, 0xCA 0xFE 0x12 0x34, 0xFF x4
constexpr int kSetupBufferSize = 1034; // 0x01 0xA0 0xCA 0xFE 0x12 0x34 ...
constexpr unsigned char kSetupCode = 0xA0;
// A TCP message that never completes is cut off here rather than buffered without end.
constexpr int kMaxMessageSize = 64 * 1024;

// A 10-byte query with the magic; *code receives its command code.
bool isQuery(const QByteArray &message, unsigned char *code = nullptr);
bool isSetupBuffer(const QByteArray &message);

// Takes the next complete message off the front of a TCP receive buffer, or returns empty when
// the buffer holds only the start of one. A query or the set-up buffer is complete at its fixed
// size; text is complete up to its last carriage return or line feed, so several commands sent
// together ("setSettings:resetedid\rsetSettings:resetedidanalog\r") stay one message; other
// bytes are one message as they come. With flush set, whatever the buffer holds is one message.
QByteArray takeMessage(QByteArray &buffer, bool flush);

// A message for the event log: printable text with "\r" and "\n" written as two characters each,
// anything else as "HEX <first 16 bytes> len=<n>".
QString describe(const QByteArray &message);

} // namespace WireMessage

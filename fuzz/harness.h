#pragma once

// Shared by the harnesses: each defines LLVMFuzzerTestOneInput, which libFuzzer (fuzz build) or
// replaymain.cpp (every other build) calls once per input.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace fuzz {

// The input as a byte array that shares the caller's buffer (the callee must not keep it).
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The debug lines of the code under test would cost more than the parse; drop them.
inline void silenceDebugLines()
{
    static const bool silenced = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return true;
    }();
    Q_UNUSED(silenced);
}

// A private folder made on first use and removed when the process ends, for harnesses whose
// entry point reads a file.
inline QString scratchFolder()
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        qFatal("no temporary folder");
    return folder.path();
}

} // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#include "wholefile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    const QFileInfo target(path);
    QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        *error = file.errorString();
        return false;
    }
    const QFileDevice::Permissions permissions =
        target.exists() ? QFile::permissions(path)
                        : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    file.setPermissions(permissions);

    // A full disk may take part of a write, or all of it into the cache and fail only when it is
    // flushed: each step is checked, and then the size the file really has.
    const qint64 written = file.write(bytes);
    if (written != bytes.size() || !file.flush()) {
        *error = file.errorString().isEmpty() ? QStringLiteral("only %1 of %2 bytes could be written").arg(written).arg(bytes.size())
                                              : file.errorString();
        return false;
    }
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0) {
        *error = systemError(errno);
        return false;
    }
    struct stat status;
    if (::fstat(file.handle(), &status) != 0 || qint64(status.st_size) != bytes.size()) {
        *error = QStringLiteral("the file on disk is not whole");
        return false;
    }
#endif
    file.close();
#ifdef Q_OS_UNIX
    // rename(2) puts the new file in place of the old one in one step.
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = systemError(errno);
        return false;
    }
#else
    QFile::remove(path);
    if (!file.rename(path)) {
        *error = file.errorString();
        return false;
    }
#endif
    file.setAutoRemove(false);
    return true;
}

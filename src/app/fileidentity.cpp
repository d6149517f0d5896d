#include "fileidentity.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
FileIdentity fromStatus(const struct stat &status)
{
    FileIdentity identity;
    identity.exists = true;
    identity.device = quint64(status.st_dev);
    identity.inode = quint64(status.st_ino);
    identity.size = qint64(status.st_size);
    identity.modifiedNs = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.changedNs = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return identity;
}
#endif

} // namespace

FileIdentity FileIdentity::of(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return fromStatus(status);
#else
    Q_UNUSED(path);
#endif
    return FileIdentity();
}

FileIdentity FileIdentity::of(int fd)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (fd >= 0 && ::fstat(fd, &status) == 0)
        return fromStatus(status);
#else
    Q_UNUSED(fd);
#endif
    return FileIdentity();
}

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return exists && other.exists && device == other.device && inode == other.inode && size == other.size
           && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
}

bool openRegularFile(QFile *file, const QString &path)
{
#ifdef Q_OS_UNIX
    // Without O_NONBLOCK, opening a pipe waits until something opens its other end.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file->setFileName(path);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        errno = EIO;
        return false;
    }
    return true;
#else
    file->setFileName(path);
    return file->open(QIODevice::ReadOnly);
#endif
}

bool isRegularFile(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
#else
    return QFileInfo(path).isFile();
#endif
}

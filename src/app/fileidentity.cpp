#include "fileidentity.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
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

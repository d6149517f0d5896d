#include "instancelock.h"

#include "debuglog.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kLogSource[] = "main";

namespace InstanceLock {

namespace {

// The lock this process made: its path and the file system's record of the file.
struct Taken
{
    QByteArray path;
    dev_t device = 0;
    ino_t inode = 0;
    bool valid = false;
};

Taken &taken()
{
    static Taken lock;
    return lock;
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString userName(uid_t uid)
{
    if (const passwd *entry = ::getpwuid(uid))
        return QString::fromLocal8Bit(entry->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

} // namespace

QString Entry::note(const QString &path) const
{
    if (!exists)
        return QString();
    if (otherUser)
        return QStringLiteral("The lock file %1 belongs to another user, %2: that user's updater may be running on "
                              "this machine.")
            .arg(path, owner);
    if (!regularFile)
        return QStringLiteral("The lock file %1 is not a plain file (a link or another kind of entry); it is never "
                              "written through.")
            .arg(path);
    return QString();
}

Entry inspect(const QString &path)
{
    Entry entry;
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return entry;
    entry.exists = true;
    entry.regularFile = S_ISREG(status.st_mode);
    entry.otherUser = status.st_uid != ::geteuid();
    if (entry.otherUser)
        entry.owner = userName(status.st_uid);
    return entry;
}

bool take(const QString &path, bool replace, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    if (replace && ::unlink(name.constData()) != 0 && errno != ENOENT) {
        const int reason = errno;
        *error = QStringLiteral("the lock file %1 cannot be removed: %2").arg(path, systemError(reason));
        if (const Entry entry = inspect(path); entry.otherUser)
            *error += QStringLiteral(" (it belongs to %1)").arg(entry.owner);
        return false;
    }
    // O_EXCL never opens an existing entry, and with O_CREAT it does not follow a link either.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd == -1) {
        const int reason = errno;
        *error = reason == EEXIST
                     ? QStringLiteral("another updater has just taken the lock file %1").arg(path)
                     : QStringLiteral("the lock file %1 cannot be made: %2").arg(path, systemError(reason));
        return false;
    }
    struct stat status;
    const bool known = ::fstat(fd, &status) == 0;
    ::close(fd);
    Taken &lock = taken();
    lock.path = name;
    lock.device = known ? status.st_dev : 0;
    lock.inode = known ? status.st_ino : 0;
    lock.valid = known;
    BLOG << "lock file taken" << path;
    return true;
}

bool held()
{
    const Taken &lock = taken();
    struct stat status;
    return lock.valid && ::lstat(lock.path.constData(), &status) == 0 && S_ISREG(status.st_mode)
           && status.st_dev == lock.device && status.st_ino == lock.inode;
}

void release()
{
    Taken &lock = taken();
    if (held() && ::unlink(lock.path.constData()) == 0)
        BLOG << "lock file removed";
    else if (lock.valid)
        BLOG << "lock file left alone: it is no longer the one this updater made";
    lock = Taken();
}

} // namespace InstanceLock

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

namespace {

InstanceLock *current = nullptr;

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

QString InstanceLock::Entry::note(const QString &path) const
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

InstanceLock::Entry InstanceLock::inspect(const QString &path)
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

InstanceLock::InstanceLock(const QString &path) : lockPath(path), entry(inspect(path))
{
    Q_ASSERT(!current);
    current = this;
}

InstanceLock::~InstanceLock()
{
    if (!leftBehind)
        release();
    current = nullptr;
}

InstanceLock *InstanceLock::ofThisProcess()
{
    return current;
}

bool InstanceLock::take(QString *error)
{
    const QByteArray name = QFile::encodeName(lockPath);
    if (entry.exists && ::unlink(name.constData()) != 0 && errno != ENOENT) {
        const int reason = errno;
        *error = QStringLiteral("the lock file %1 cannot be removed: %2").arg(lockPath, systemError(reason));
        if (const Entry now = inspect(lockPath); now.otherUser)
            *error += QStringLiteral(" (it belongs to %1)").arg(now.owner);
        return false;
    }
    // O_EXCL never opens an existing entry, and with O_CREAT it does not follow a link either.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd == -1) {
        const int reason = errno;
        *error = reason == EEXIST
                     ? QStringLiteral("another updater has just taken the lock file %1").arg(lockPath)
                     : QStringLiteral("the lock file %1 cannot be made: %2").arg(lockPath, systemError(reason));
        return false;
    }
    struct stat status;
    made = ::fstat(fd, &status) == 0;
    ::close(fd);
    device = made ? status.st_dev : 0;
    inode = made ? status.st_ino : 0;
    BLOG << "lock file taken" << lockPath;
    return true;
}

bool InstanceLock::held() const
{
    struct stat status;
    return made && ::lstat(QFile::encodeName(lockPath).constData(), &status) == 0 && S_ISREG(status.st_mode)
           && status.st_dev == device && status.st_ino == inode;
}

void InstanceLock::release()
{
    if (held() && ::unlink(QFile::encodeName(lockPath).constData()) == 0)
        BLOG << "lock file removed";
    else if (made)
        BLOG << "lock file left alone: it is no longer the one this updater made";
    made = false;
}

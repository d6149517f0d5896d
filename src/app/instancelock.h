#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <sys/types.h>

// The single-instance lock: an empty file whose presence means an updater (the window or the
// command-line tool) runs, or one did not quit cleanly. It lies in a folder under the temporary
// folder that every user of the machine may share, so it is handled with care:
// - what is at the path is looked at, never through (a symbolic link planted there is seen as a
//   link, not as the file it points to);
// - the lock is made exclusively and never through a link: an existing entry is removed first,
//   and only when the process means to replace it;
// - a process removes the lock only if the file there is still the one it made, so a run that
//   fails after finding another updater's lock leaves that lock in place.
//
// One object owns the lock of a run, from looking at what is there to letting go of it: the
// front-end's main makes it, decides (asking the operator, or reading --override-lock) whether
// to take it, and lets go of it at the end, or when it is destroyed. One per process.
class InstanceLock final
{
    Q_DISABLE_COPY_MOVE(InstanceLock)

public:
    // What is at the lock's path.
    struct Entry
    {
        bool exists = false;
        // A plain file (not a link, a folder, a pipe, ...).
        bool regularFile = false;
        // Made by another user of this machine (and then owner names them).
        bool otherUser = false;
        QString owner;

        // A sentence on whose lock this is, for the operator; "" for this user's own plain file.
        QString note(const QString &path) const;
    };
    static Entry inspect(const QString &path);

    // Looks at what is at the path now; takes nothing yet.
    explicit InstanceLock(const QString &path);
    // Lets go of the lock, as release() does, unless it is to be left behind.
    ~InstanceLock();

    const QString &path() const { return lockPath; }
    // What was at the path when this object was made.
    const Entry &found() const { return entry; }
    // found()'s note, "" when there is nothing to say.
    QString note() const { return entry.note(lockPath); }

    // Makes the lock, a new empty file, exclusively. What was found at the path (a stale lock, a
    // link, ...) is removed first; an entry that appeared since makes this fail. False, with
    // *error saying why, when the lock could not be made.
    bool take(QString *error);
    // The lock this object made is still at its path.
    bool held() const;
    // Removes the lock this object made, if the file at its path is still that one. A lock that
    // another process has since put in its place, or that is gone, is left alone. Once only.
    void release();
    // The lock stays when this object goes (a start that shows no window keeps it).
    void leaveBehind() { leftBehind = true; }

    // This process's lock object while one exists, else nullptr: the window's quit slot lets go
    // of the lock through it.
    static InstanceLock *ofThisProcess();

private:
    QString lockPath;
    Entry entry;
    // The file this object made, by the file system's record of it.
    bool made = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool leftBehind = false;
};

#pragma once

#include <QString>

// The single-instance lock: an empty file whose presence means an updater (the window or the
// command-line tool) runs, or one did not quit cleanly. It lies in a folder under the temporary
// folder that every user of the machine may share, so it is handled with care:
// - what is at the path is looked at, never through (a symbolic link planted there is seen as a
//   link, not as the file it points to);
// - the lock is made exclusively and never through a link: an existing entry is removed first,
//   and only when the process means to replace it;
// - at the end a process removes the lock only if the file there is still the one it made, so a
//   run that fails after finding another updater's lock leaves that lock in place.
// One lock per process: what was taken is remembered process-wide, for the window's quit slot.
namespace InstanceLock {

// What is at the lock's path now.
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

Entry inspect(const QString &path);

// Makes the lock, a new empty file, exclusively. With replace, whatever is at the path (a stale
// lock, a link, ...) is removed first; without it an existing entry makes this fail. False, with
// *error saying why, when the lock could not be made.
bool take(const QString &path, bool replace, QString *error);

// The lock this process made is still at its path.
bool held();

// Removes the lock this process made, if the file at its path is still that one. A lock that
// another process has since put in its place, or that is gone, is left alone.
void release();

} // namespace InstanceLock

#pragma once

#include <QString>

class QFile;
#include <QtGlobal>

// What tells one version of a file from another, from the file system's own record of it: its
// device and inode, size, and the times of its last modification and last change, to the
// nanosecond. A copy tool can put back a file's size and modification time, but not its inode
// or change time: any write or rename since shows here.
struct FileIdentity
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    // Of the file a path names now, or of an open file; a missing file gives exists == false.
    static FileIdentity of(const QString &path);
    static FileIdentity of(int fd);

    // Equal only for two existing files with the same record.
    bool operator==(const FileIdentity &other) const;
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

// Opens path for reading only if it is a regular file (a link to one will do): a pipe, a device
// or a socket with that name is never read, and opening one never waits for a writer. False, with
// errno set, when the file cannot be opened or is not a regular file (then EINVAL).
bool openRegularFile(QFile *file, const QString &path);
// The path names a regular file now (following links).
bool isRegularFile(const QString &path);

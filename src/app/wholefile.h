#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at path with bytes, whole or not at all: they are written to a new file
// beside it, every write and the flush to the disk are checked, and only a file of exactly the
// right size is renamed into place. On any failure the earlier file stays as it was, nothing is
// left behind, and *error says why. A new file gets the permissions of the one it replaces, or
// read and write for the owner and read for others when there was none.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *error);

#pragma once

#include <QByteArray>
#include <QString>

// The file write for files staged in a shared folder such as /tmp, where another user may have
// put a link or a file of their own at the path first.
namespace StagingFile {

// Creates the file, or replaces the contents of one that is ours, without following links.
// Refuses (false, path untouched) a link, a non-regular file, a file with other names or one
// owned by another user. A new file gets the default permissions of a new file.
bool write(const QString &path, const QByteArray &bytes);

// Removes a staged file of ours so that stale contents can't be installed; leaves others be.
void removeOwn(const QString &path);

} // namespace StagingFile

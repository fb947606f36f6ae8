#pragma once

#include <QString>

// Why an existing path cannot be opened as a video or a project: a folder, not a regular
// file (a pipe, a device, a socket), whose reading would block whoever tries, or a file
// this user may not read. Empty for a readable regular file, links followed, and for a
// path that does not exist (said elsewhere).
QString specialFileReason(const QString &path);

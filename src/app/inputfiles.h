#pragma once

#include <QString>

// Why an existing path cannot be opened as a video or a project: a folder, or not a regular
// file (a pipe, a device, a socket), whose reading would block whoever tries. Empty for a
// regular file, links followed, and for a path that does not exist (said elsewhere).
QString specialFileReason(const QString &path);

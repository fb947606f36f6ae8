#pragma once

#include <QString>

// Whether two paths name the same existing file (same device and inode), however
// they are spelt: "./a.mp4", a symbolic or hard link, another letter case.
bool refersToSameFile(const QString &first, const QString &second);

// Why an existing path cannot take an output file: it is a folder, a device, a pipe or a
// socket (a link counts as what it points at), which moving a file over would replace or
// which never holds a saved file. Empty for a regular file and for a path not there yet.
QString notAFileReason(const QString &path);

// ".NAME.XXXXXX<ending>" beside outputPath for QTemporaryFile or QTemporaryDir, NAME shortened
// so that the whole stays within the system's 255 bytes per name.
QString hiddenTemplateBeside(const QString &outputPath, const QString &ending);

// Reserves a hidden file beside outputPath for ffmpeg to write; empty on failure.
QString createTemporaryOutput(const QString &outputPath);

// Moves the finished temporary file over the output in one step; the output gets
// the permissions it had, or those of a newly created file.
bool replaceWithTemporary(const QString &temporaryPath, const QString &outputPath, QString *error);

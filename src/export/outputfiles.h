#pragma once

#include <QString>

// Whether two paths name the same existing file (same device and inode), however
// they are spelt: "./a.mp4", a symbolic or hard link, another letter case.
bool refersToSameFile(const QString &first, const QString &second);

// Reserves a hidden file beside outputPath for ffmpeg to write; empty on failure.
QString createTemporaryOutput(const QString &outputPath);

// Moves the finished temporary file over the output in one step; the output gets
// the permissions it had, or those of a newly created file.
bool replaceWithTemporary(const QString &temporaryPath, const QString &outputPath, QString *error);

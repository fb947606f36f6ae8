#pragma once

#include <QString>
#include <QStringList>

// What ffmpeg wrote on its standard error, reduced to why it failed. A failed encode ends in
// the encoder's statistics and "Conversion failed!", which fill any tail of the text while the
// reason ("No space left on device") came earlier.

// The lines that name an error, each once, in order (with a closing "Conversion failed!");
// when none does, the lines that are neither progress, listing nor statistics; else the
// statistics and the verdict; else every non-empty line.
QStringList meaningfulErrorLines(const QString &ffmpegOutput);

// The last of those lines, whole, within maxChars (a single longer line is kept by its end),
// each ended by '\n'.
QString errorDetails(const QString &ffmpegOutput, int maxChars);

// ffmpeg 5.1 exits with 0 when only the end of its output could not be written ("Error writing
// trailer", "Error closing file", as when the disk fills during the faststart pass): the file
// is cut short all the same.
bool outputLeftUnfinished(const QString &ffmpegOutput);

#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at path with bytes, or leaves it exactly as it was: the bytes go to a
// temporary file beside it, reach the disk, and only then take its name. Returns the system's
// reason when anything failed ("No space left on device"), empty when the file holds the bytes.
// The one way every file of ours is written, whatever layer writes it.
QString writeFileAtomically(const QString &path, const QByteArray &bytes);

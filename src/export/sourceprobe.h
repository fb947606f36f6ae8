#pragma once

#include "sourcefacts.h"

#include <QString>

// The source's facts for an export, read in the background while the window keeps painting;
// the defaults when the file cannot be read within a few seconds.
SourceFacts probeSource(const QString &path);

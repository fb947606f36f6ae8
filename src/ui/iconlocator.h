#pragma once

#include <QIcon>
#include <QString>

// Icon files are found by name: beside the working directory, beside the
// executable, in the installed data directory, or in the source tree.
QString locateIconFile(const QString &fileName);

// The application and window icon, built from every shipped size.
QIcon loadAppIcon();

#pragma once

#include <QString>

// Checks the file-name part of a path against what Windows can store; the folder
// part is not examined.
class FilenameValidator {
public:
    static bool isReservedName(const QString &name);
    static bool isValidFilename(const QString &path);
    // Empty when the path passes.
    static QString getValidationError(const QString &path);
};

#include "filenamevalidator.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

const QStringList &reservedNames()
{
    static const QStringList names{
        QStringLiteral("CON"),  QStringLiteral("PRN"),  QStringLiteral("AUX"),  QStringLiteral("NUL"),
        QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4"),
        QStringLiteral("COM5"), QStringLiteral("COM6"), QStringLiteral("COM7"), QStringLiteral("COM8"),
        QStringLiteral("COM9"), QStringLiteral("LPT1"), QStringLiteral("LPT2"), QStringLiteral("LPT3"),
        QStringLiteral("LPT4"), QStringLiteral("LPT5"), QStringLiteral("LPT6"), QStringLiteral("LPT7"),
        QStringLiteral("LPT8"), QStringLiteral("LPT9")};
    return names;
}

const QString &invalidCharacters()
{
    static const QString characters = QStringLiteral("<>:\"/\\|?*");
    return characters;
}

// A leading dot is not an extension separator (".con" keeps its dot).
QString withoutExtension(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

QChar firstInvalidCharacter(const QString &name)
{
    for (const QChar c : invalidCharacters()) {
        if (name.contains(c))
            return c;
    }
    return QChar();
}

bool endsWithDotOrSpace(const QString &name)
{
    return name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' '));
}

bool hasControlCharacter(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() <= 31)
            return true;
    }
    return false;
}

// A path ending in a separator, or in "." or "..", names a folder whatever follows.
bool namesAFolder(const QString &name)
{
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
}

// Linux allows 255 bytes per name (NAME_MAX), counted in the file system's encoding.
const int maxNameBytes = 255;

int nameBytes(const QString &name)
{
    return int(QFile::encodeName(name).size());
}

} // namespace

bool FilenameValidator::isReservedName(const QString &name)
{
    if (name.isEmpty())
        return true;
    return reservedNames().contains(withoutExtension(name).toUpper().trimmed());
}

bool FilenameValidator::isValidFilename(const QString &path)
{
    if (path.trimmed().isEmpty())
        return false;
    const QString name = fileNameOf(path);
    if (namesAFolder(name) || isReservedName(name) || nameBytes(name) > maxNameBytes)
        return false;
    if (!firstInvalidCharacter(name).isNull())
        return false;
    if (endsWithDotOrSpace(name))
        return false;
    return !hasControlCharacter(name);
}

QString FilenameValidator::getValidationError(const QString &path)
{
    if (path.trimmed().isEmpty())
        return QStringLiteral("Filename cannot be empty");
    const QString name = fileNameOf(path);
    if (namesAFolder(name))
        return QStringLiteral("'%1' names a folder, not a file; add a file name to save to").arg(path);
    if (nameBytes(name) > maxNameBytes) {
        return QStringLiteral("The file name is too long: %1 bytes, where the system allows at most %2")
            .arg(nameBytes(name))
            .arg(maxNameBytes);
    }
    if (isReservedName(name)) {
        return QStringLiteral("'%1' is a Windows reserved device name and cannot be used as a filename")
            .arg(withoutExtension(name).toUpper());
    }
    const QChar invalid = firstInvalidCharacter(name);
    if (!invalid.isNull())
        return QStringLiteral("Filename contains invalid character: '%1'").arg(invalid);
    if (endsWithDotOrSpace(name))
        return QStringLiteral("Filename cannot end with a dot or space");
    if (hasControlCharacter(name))
        return QStringLiteral("Filename contains invalid control characters");
    return QString();
}

#include "projectsavetarget.h"

#include "outputfiles.h"
#include "projectfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

EditMessage refusal(const QString &text)
{
    return {MessageKind::Critical, QStringLiteral("Cannot Save Project"),
            text + QStringLiteral("\n\nPlease choose a different name for the project.")};
}

} // namespace

std::optional<EditMessage> projectSaveRefusal(const QString &path, const QString &videoPath)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (refersToSameFile(path, videoPath))
        return refusal(QStringLiteral("%1 is the video being edited; saving the project there would replace it.")
                           .arg(shown));
    const QFileInfo info(path);
    // A folder cannot be replaced by a file: the save fails and says why.
    if (info.isDir())
        return std::nullopt;
    const QString notFile = notAFileReason(path);
    if (!notFile.isEmpty())
        return EditMessage{MessageKind::Critical, QStringLiteral("Cannot Save Project"), notFile + QLatin1Char('.')};
    if (!info.exists() || info.size() == 0)
        return std::nullopt;
    const QString notProject =
        QStringLiteral("%1 is not a Trimlet project; saving the project there would replace it.").arg(shown);
    // A larger file is no project, and is not read to find that out.
    if (info.size() > ProjectFile::MaxFileBytes)
        return refusal(notProject);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refusal(QStringLiteral("%1 cannot be read (%2), so it is not replaced.").arg(shown, file.errorString()));
    if (!ProjectFile::read(file.read(ProjectFile::MaxFileBytes + 1)).ok())
        return refusal(notProject);
    return std::nullopt;
}

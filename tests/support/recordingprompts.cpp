#include "recordingprompts.h"

#include <QDialog>

void RecordingPrompts::message(Kind kind, QWidget *, const QString &title, const QString &text)
{
    messages.append({kind, title, text});
}

QString RecordingPrompts::openFileName(QWidget *, const QString &caption, const QString &dir,
                                       const QString &filter)
{
    fileRequests.append({caption, dir, filter});
    return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
}

QString RecordingPrompts::saveFileName(QWidget *, const QString &caption, const QString &dir,
                                       const QString &filter)
{
    fileRequests.append({caption, dir, filter});
    return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
}

int RecordingPrompts::runDialog(QDialog &dialog)
{
    ++dialogsRun;
    return dialogHandler ? dialogHandler(dialog) : int(QDialog::Rejected);
}

void RecordingPrompts::notice(const QString &title, const QString &text)
{
    messages.append({Kind::Information, title, text, true});
}

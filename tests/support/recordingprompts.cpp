#include "recordingprompts.h"

#include <QDialog>
#include <QMessageBox>

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
    if (auto *box = qobject_cast<QMessageBox *>(&dialog)) {
        messages.append({Kind::Information, box->windowTitle(), box->text()});
        return messageBoxHandler ? messageBoxHandler(dialog) : int(QDialog::Accepted);
    }
    ++dialogsRun;
    return dialogHandler ? dialogHandler(dialog) : int(QDialog::Rejected);
}

int RecordingPrompts::ask(QWidget *, const QString &title, const QString &text, const QStringList &buttons)
{
    questions.append({title, text, buttons});
    return askAnswers.isEmpty() ? askDefault : askAnswers.takeFirst();
}

void RecordingPrompts::notice(const QString &title, const QString &text)
{
    messages.append({Kind::Information, title, text, true});
}

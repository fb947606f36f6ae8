#include "userprompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

void DefaultUserPrompts::message(Kind kind, QWidget *parent, const QString &title,
                                 const QString &text)
{
    switch (kind) {
    case Kind::Information:
        QMessageBox::information(parent, title, text);
        break;
    case Kind::Warning:
        QMessageBox::warning(parent, title, text);
        break;
    case Kind::Critical:
        QMessageBox::critical(parent, title, text);
        break;
    }
}

QString DefaultUserPrompts::openFileName(QWidget *parent, const QString &caption,
                                         const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString DefaultUserPrompts::saveFileName(QWidget *parent, const QString &caption,
                                         const QString &dir, const QString &filter)
{
    return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

int DefaultUserPrompts::runDialog(QDialog &dialog)
{
    return dialog.exec();
}

void DefaultUserPrompts::notice(const QString &title, const QString &text)
{
    if (noticeHandler)
        noticeHandler(title, text);
    else
        QMessageBox::information(nullptr, title, text);
}

#include "userprompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

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

int DefaultUserPrompts::ask(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> added;
    for (int i = 0; i < buttons.size(); ++i) {
        const QString &label = buttons[i];
        // Escape and the window's close button mean Cancel where there is one.
        const QMessageBox::ButtonRole role = label == QLatin1String("Cancel") ? QMessageBox::RejectRole
            : i == 0                                                          ? QMessageBox::AcceptRole
                                                                              : QMessageBox::ActionRole;
        added.append(box.addButton(label, role));
    }
    if (!added.isEmpty())
        box.setDefaultButton(static_cast<QPushButton *>(added.first()));
    box.exec();
    return int(added.indexOf(box.clickedButton()));
}

void DefaultUserPrompts::notice(const QString &title, const QString &text)
{
    if (noticeHandler)
        noticeHandler(title, text);
    else
        QMessageBox::information(nullptr, title, text);
}

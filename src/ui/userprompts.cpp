#include "userprompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

QString textForBox(const QString &text)
{
    constexpr int maxLineChars = 300;
    constexpr int maxLines = 40;
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > maxLines) {
        lines = lines.mid(0, maxLines);
        lines.append(QString(QChar(0x2026)));
    }
    for (QString &line : lines) {
        if (line.size() > maxLineChars)
            line = line.left(maxLineChars / 2) + QChar(0x2026) + line.right(maxLineChars / 2 - 1);
    }
    return lines.join(QLatin1Char('\n'));
}

void DefaultUserPrompts::message(Kind kind, QWidget *parent, const QString &title,
                                 const QString &shownText)
{
    const QString text = textForBox(shownText);
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
    QMessageBox box(QMessageBox::Question, title, textForBox(text), QMessageBox::NoButton, parent);
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

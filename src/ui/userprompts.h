#pragma once

#include "messagekind.h"

#include <QString>
#include <QStringList>
#include <functional>

class QDialog;
class QWidget;

// The one door for modal UI: every message box, file dialog and dialog run of the
// window goes through it, so tests can drive the window without a modal loop.
class UserPrompts {
public:
    using Kind = MessageKind;
    virtual ~UserPrompts() = default;
    virtual void message(Kind kind, QWidget *parent, const QString &title, const QString &text) = 0;
    virtual QString openFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter) = 0;
    virtual QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter) = 0;
    // Runs a modal dialog (title, effects, export, previews, About). The default calls exec();
    // a test sets the dialog's controls, found by their texts, and returns the result code.
    virtual int runDialog(QDialog &dialog) = 0;
    // A question with the given buttons, in order; returns the index of the one chosen, -1 when
    // the box was closed without a choice. (Unsaved edits, replacing a file, restoring an autosave.)
    virtual int ask(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons) = 0;
    // A confirmation that needs no answer ("Video Cut", "Clip Deleted", ...): shown in the window as a
    // notice that fades by itself and never takes focus.
    virtual void notice(const QString &title, const QString &text) = 0;
};

// The text as a box shows it: overlong lines cut in the middle and overlong texts cut short,
// so a hostile name cannot make the box lay out megabytes.
QString textForBox(const QString &text);

// Message boxes, QFileDialog and exec().
class DefaultUserPrompts : public UserPrompts {
public:
    void message(Kind kind, QWidget *parent, const QString &title, const QString &text) override;
    QString openFileName(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter) override;
    QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter) override;
    int runDialog(QDialog &dialog) override;
    int ask(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons) override;
    void notice(const QString &title, const QString &text) override;

    // Where notices appear; a message box without it.
    std::function<void(const QString &title, const QString &text)> noticeHandler;
};

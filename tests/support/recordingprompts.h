#pragma once

#include "userprompts.h"

#include <QList>
#include <QStringList>
#include <functional>

// Records every message and answers file dialogs and dialog runs from a script.
class RecordingPrompts : public UserPrompts {
public:
    struct Message {
        Kind kind;
        QString title;
        QString text;
        bool notice = false;    // shown as a fading notice, not a box
    };
    struct Question {
        QString title;
        QString text;
        QStringList buttons;
    };
    struct FileRequest {
        QString caption;
        QString dir;
        QString filter;
    };

    QList<Message> messages;
    QList<FileRequest> fileRequests;
    QStringList openAnswers;            // taken front first; empty answer when none left
    QStringList saveAnswers;
    std::function<int(QDialog &)> dialogHandler; // default: reject
    int dialogsRun = 0;
    QList<Question> questions;
    QList<int> askAnswers;              // taken front first; askDefault when none left
    int askDefault = -1;                // the box closed without a choice
    // Message boxes run as dialogs (those with a check box) are recorded with the messages
    // and answered here; default: accepted as they stand.
    std::function<int(QDialog &)> messageBoxHandler;

    void message(Kind kind, QWidget *, const QString &title, const QString &text) override;
    QString openFileName(QWidget *, const QString &caption, const QString &dir,
                         const QString &filter) override;
    QString saveFileName(QWidget *, const QString &caption, const QString &dir,
                         const QString &filter) override;
    int runDialog(QDialog &dialog) override;
    int ask(QWidget *, const QString &title, const QString &text, const QStringList &buttons) override;
    // Recorded with the messages (as information), so every text reads the same way.
    void notice(const QString &title, const QString &text) override;

    Message last() const { return messages.isEmpty() ? Message{Kind::Information, {}, {}} : messages.last(); }
    void clear() { messages.clear(); fileRequests.clear(); questions.clear(); }
};

#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Collects every log line while alive; the handler before it is restored afterwards.
// Workers and displays log from threads of their own, so the lines are guarded.
class MessageCapture {
public:
    MessageCapture()
    {
        clear();
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&mutex());
        return stored();
    }
    QStringList linesStartingWith(const QString &prefix) const
    {
        QMutexLocker locker(&mutex());
        QStringList found;
        for (const QString &line : stored()) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }
    void clear()
    {
        QMutexLocker locker(&mutex());
        stored().clear();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        QMutexLocker locker(&mutex());
        stored() << message;
    }
    static QStringList &stored()
    {
        static QStringList lines;
        return lines;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }

    QtMessageHandler m_previous = nullptr;
};

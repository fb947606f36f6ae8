#pragma once

#include <QLabel>

class QGraphicsOpacityEffect;
class QPropertyAnimation;
class QTimer;

// A confirmation shown over the top of the window for a few seconds, then faded out.
// It takes no focus and lets every click through.
class NoticeBanner : public QLabel {
    Q_OBJECT
public:
    explicit NoticeBanner(QWidget *parent);

    void showNotice(const QString &title, const QString &text);
    QString title() const { return currentTitle; }
    QString message() const { return currentText; }
    static constexpr int shownMs = 3500;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();

    QString currentTitle;
    QString currentText;
    QGraphicsOpacityEffect *opacity = nullptr;
    QPropertyAnimation *fade = nullptr;
    QTimer *hideTimer = nullptr;
};

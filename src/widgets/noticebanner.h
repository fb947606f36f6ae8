#pragma once

#include <QLabel>
#include <functional>

class QPushButton;
class QPropertyAnimation;
class QTimer;

// A confirmation shown over the top of the window for a few seconds, then faded out.
// It takes no focus and lets every click through unless it has a button.
class NoticeBanner : public QLabel {
    Q_OBJECT
public:
    explicit NoticeBanner(QWidget *parent);

    void showNotice(const QString &title, const QString &text);
    // A button on the notice shown now (a notice shown later drops it); the notice then
    // stays longer and takes clicks.
    void setAction(const QString &text, std::function<void()> action);
    QPushButton *actionButton() const { return button; }
    QString title() const { return currentTitle; }
    QString message() const { return currentText; }
    static constexpr int shownMs = 3500;
    static constexpr int shownWithActionMs = 8000;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();
    void setTakesClicks(bool takes);

    QString currentTitle;
    QString currentText;
    QPropertyAnimation *fade = nullptr;
    QTimer *hideTimer = nullptr;
    QPushButton *button = nullptr;
    std::function<void()> currentAction;
};

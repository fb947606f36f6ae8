#include "stillframepreview.h"

#include "stillframeeffects.h"
#include "userprompts.h"
#include "widgetslog.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

StillFramePreview::StillFramePreview(const QImage &image, QWidget *parent)
    : QDialog(parent)
    , shownImage(image)
{
    setWindowTitle(QStringLiteral("Effects Preview - Still Frame"));
    setMinimumSize(800, 600);
    setStyleSheet(QStringLiteral("background: #1a1a1a;"));
    setWindowFlag(Qt::WindowStaysOnTopHint);

    auto *layout = new QVBoxLayout(this);
    auto *note = new QLabel(QString::fromUtf8("⚠️ This is a preview of effects on a still frame.\n"
                                              "All effects will be applied to the full video during export."),
                            this);
    note->setAlignment(Qt::AlignCenter);
    note->setStyleSheet(QStringLiteral("color: #FFA500; font-size: 14px; padding: 10px;"));
    layout->addWidget(note);

    imageView = new QLabel(this);
    imageView->setObjectName(QStringLiteral("previewImage"));
    const QPixmap pixmap = QPixmap::fromImage(image).scaled(750, 500, Qt::KeepAspectRatio,
                                                            Qt::SmoothTransformation);
    qCDebug(widgetsLog) << "Preview pixmap created - null?" << (pixmap.isNull() ? "true" : "false")
             << "size:" << pixmap.size();
    imageView->setPixmap(pixmap);
    imageView->setAlignment(Qt::AlignCenter);
    imageView->setStyleSheet(QStringLiteral("border: 2px solid #5a9fd4;"));
    layout->addWidget(imageView);
    qCDebug(widgetsLog) << "Image label added to layout";

    auto *close = new QPushButton(QStringLiteral("Close Preview"), this);
    close->setMinimumHeight(40);
    close->setStyleSheet(QStringLiteral(
        "QPushButton { background: #5a9fd4; color: white; font-weight: bold; font-size: 14px;"
        " border-radius: 5px; padding: 10px; }"
        "QPushButton:hover { background: #6aafe4; }"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
}

void StillFramePreview::run(UserPrompts &prompts, QWidget *effectsDialog, const QImage &frame,
                            const StillFrameEffects &effects)
{
    qCDebug(widgetsLog) << "Preview Effects button clicked!";
    qCDebug(widgetsLog) << "Frame captured from video sink - null?" << (frame.isNull() ? "true" : "false")
             << "size:" << frame.size();
    if (frame.isNull()) {
        qCDebug(widgetsLog) << "Frame is null - showing error";
        prompts.message(UserPrompts::Kind::Warning, effectsDialog, QStringLiteral("Preview Error"),
                        QStringLiteral("Cannot capture video frame. Please make sure the video is loaded "
                                       "and playing.\n\nTip: Play the video for a few seconds first, then "
                                       "pause it, then open effects and click preview."));
        return;
    }

    qCDebug(widgetsLog) << "Processing frame with effects...";
    // Big frames take a while; the box is only drawn, never waited on.
    auto *processing = new QMessageBox(effectsDialog);
    processing->setWindowTitle(QStringLiteral("Processing..."));
    processing->setText(QStringLiteral("Applying effects to frame, please wait..."));
    processing->setStandardButtons(QMessageBox::NoButton);
    processing->setWindowModality(Qt::ApplicationModal);
    processing->show();
    QApplication::processEvents();

    const QImage result = effects.apply(frame);
    qCDebug(widgetsLog) << "All effects applied, creating preview dialog...";
    processing->close();
    delete processing;

    StillFramePreview preview(result, effectsDialog);
    qCDebug(widgetsLog) << "Showing preview dialog...";
    prompts.runDialog(preview);
    qCDebug(widgetsLog) << "Preview dialog closed";
}

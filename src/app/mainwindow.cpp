#include "mainwindow.h"

#include "applog.h"
#include "appsettings.h"
#include "atomicfile.h"
#include "editautosave.h"
#include "inputfiles.h"

#include "audiodetection.h"
#include "childprocess.h"
#include "audiowaveform.h"
#include "cliplist.h"
#include "cliplistpanel.h"
#include "dropshadow.h"
#include "effectsdialog.h"
#include "exportcontroller.h"
#include "exportdialog.h"
#include "exportrunner.h"
#include "mediaindex.h"
#include "peakloader.h"
#include "thumbnailprovider.h"
#include "noticebanner.h"
#include "openglwarmup.h"
#include "smartcutplan.h"
#include "ffmpeglocator.h"
#include "filenamevalidator.h"
#include "hardwareencoderdetector.h"
#include "iconlocator.h"
#include "modernbutton.h"
#include "modernslider.h"
#include "playbackrules.h"
#include "processedvideodisplay.h"
#include "projectfile.h"
#include "projectsavetarget.h"
#include "statustext.h"
#include "stillframepreview.h"
#include "timeformat.h"
#include "timelinewidget.h"
#include "titledialog.h"
#include "titleoverlay.h"
#include "titleoverlaylayout.h"
#include "videoglwidget.h"
#include "videoplayer.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QGraphicsBlurEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QMouseEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QVideoWidget>
#include <QMessageBox>
#include <QDesktopServices>
#include <QUrl>

#include <future>

namespace {

// Shared by the whole process: every 20th overlay update is logged.
int overlayCallCount = 0;

const char *const NoPartSelectedText =
    "Please select a video part first by clicking on it.\n\nThe selected part will have a blue border.";

const char *const WindowStyle = R"(
QMainWindow {
    background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #1a1a1a, stop:1 #2a2a2a);
}
QGroupBox {
    color: white; font-weight: 600; font-size: 14px;
    border: 2px solid #3a3a3a; border-radius: 12px; margin: 10px 0px; padding-top: 15px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2a2a2a, stop:1 #1a1a1a);
}
QGroupBox::title {
    subcontrol-origin: margin; left: 15px; padding: 0 8px; background: transparent;
}
QListWidget {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2a2a2a, stop:1 #1a1a1a);
    color: white; border: 1px solid #3a3a3a; border-radius: 8px; padding: 5px;
}
QListWidget::item {
    padding: 8px; border-bottom: 1px solid #333333; border-radius: 4px; margin: 2px;
}
QListWidget::item:selected {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6a9bd1, stop:1 #4a7ba7);
}
QLabel {
    color: white; font-family: 'Segoe UI', Arial, sans-serif;
}
QMessageBox, QDialog {
    background-color: #2a2a2a;
}
QMenuBar {
    background-color: #1a1a1a; color: white;
}
QMenuBar::item:selected, QMenu::item:selected {
    background-color: #4a7ba7;
}
QMenu {
    background-color: #2a2a2a; color: white; border: 1px solid #3a3a3a;
}
)";

const char *const WelcomeText =
    "Simple Video Editor for Everyone\n\nHOW TO USE:\n\n"
    "1. Drag your video here (or click 'Open Video')\n"
    "2. Play and pause where you want to cut\n"
    "3. Click 'Cut Here' to split into parts\n"
    "4. Click a part to select it (blue border)\n"
    "5. Click 'Delete Selected' to remove it\n"
    "6. Click 'Save Video' when done!\n\n"
    "That's it! No manual needed.";

QString actionButtonStyle(const char *top, const char *bottom, const char *hoverTop,
                          const char *hoverBottom)
{
    return QStringLiteral(
               "QPushButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2);"
               " color: white; font-size: 18px; font-weight: bold; border: none; border-radius: 12px;"
               " padding: 8px 24px; }"
               "QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %3, stop:1 %4); }")
        .arg(QLatin1String(top), QLatin1String(bottom), QLatin1String(hoverTop),
             QLatin1String(hoverBottom));
}

// Stands in the video area until the displays exist.
QWidget *blackPlaceholder(QWidget *parent)
{
    auto *placeholder = new QWidget(parent);
    placeholder->setAttribute(Qt::WA_StyledBackground);
    placeholder->setStyleSheet(QStringLiteral("background-color: black;"));
    placeholder->setFocusPolicy(Qt::NoFocus);
    return placeholder;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , defaultPrompts(std::make_unique<DefaultUserPrompts>())
{
    activePrompts = defaultPrompts.get();
    notices = new NoticeBanner(this);
    defaultPrompts->noticeHandler = [this](const QString &title, const QString &text) {
        notices->showNotice(title, text);
    };

    videoPlayer = new VideoPlayer(this);

    buildWidgetTree();
    buildShortcuts();

    titleOverlay = std::make_unique<TitleOverlay>();
    titleHideTimer = new QTimer(this);
    titleHideTimer->setSingleShot(true);
    connect(titleHideTimer, &QTimer::timeout, this, [this]() {
        titleHiddenByMinimise = false;
        if (titleOverlay)
            titleOverlay->hide();
    });
    // The encoder probe runs ffmpeg several times: the window shows first.
    encoderProbe = QThread::create([this] { probedEncoders = HardwareEncoderDetector::probeAtStartup(findFFmpeg()); });
    connect(encoderProbe, &QThread::finished, this, &MainWindow::onEncodersProbed);
    exportController = new ExportController([this]() -> UserPrompts & { return prompts(); }, this, this);

    connectPlayer();

    qCDebug(appLog) << "Video pipeline ready - GPU preview active";
    repeatTimer = new QTimer(this);
    repeatTimer->setInterval(200);
    connect(repeatTimer, &QTimer::timeout, this, &MainWindow::repeatSkip);

    setAcceptDrops(true);
    selectionStart = -1;
    selectionEnd = -1;
    timelineWidget->setSelectionStart(-1);
    timelineWidget->setSelectionEnd(-1);
    qApp->installEventFilter(this);
    setFocusPolicy(Qt::StrongFocus);
    setFocus();

    autosave = new EditAutosave(this);
    autosave->setSnapshot([this] {
        return [path = currentVideoPath, duration = videoDuration, clips = clipList, extras = projectExtras] {
            return ProjectFile::write(path, duration, clips, extras);
        };
    });
    connect(exportController, &ExportController::exportFinished, this, &MainWindow::onExportFinished);

    const QByteArray geometry = AppSettings::windowGeometry();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);

    QTimer::singleShot(1000, this, &MainWindow::greet);
}

// An edit left by a crash comes first; the welcome box waits for a start without one.
// The welcome box comes at the first start only; Help > How to Use has it afterwards.
void MainWindow::greet()
{
    // A video opened first greets before it plays; the timer's turn then finds it done.
    if (greeted)
        return;
    greeted = true;
    QStringList unreadable;
    const QList<EditAutosave::Orphan> orphans = EditAutosave::orphans(&unreadable);
    if (!unreadable.isEmpty()) {
        const QString what = unreadable.size() == 1
            ? QStringLiteral("An autosaved edit could not be read. It was kept as:")
            : QStringLiteral("%1 autosaved edits could not be read. They were kept as:").arg(unreadable.size());
        prompts().message(UserPrompts::Kind::Warning, this, QStringLiteral("Autosaved Edit Unreadable"),
                          what + QLatin1Char('\n') + unreadable.join(QLatin1Char('\n')));
    }
    if (!orphans.isEmpty()) {
        offerRestore(orphans.first());
    } else if (AppSettings::showWelcome()) {
        AppSettings::setShowWelcome(false);
        showWelcome();
    }
}

void MainWindow::showWelcome()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Welcome to Trimlet!"), QString::fromUtf8(WelcomeText),
                    QMessageBox::Ok, this);
    box.setInformativeText(QStringLiteral("You can read this again under Help > How to Use."));
    // Nothing plays unseen behind the box: the video goes on once it is closed.
    const bool wasPlaying = videoPlayer->isPlaying();
    if (wasPlaying)
        playPause();
    prompts().runDialog(box);
    if (wasPlaying && !videoPlayer->isPlaying())
        playPause();
}

void MainWindow::offerRestore(const EditAutosave::Orphan &orphan)
{
    const QString name = QFileInfo(orphan.videoPath).fileName();
    const int answer = prompts().ask(this, QStringLiteral("Restore Edit"),
                                     QStringLiteral("Trimlet closed unexpectedly. Restore your edit of %1?").arg(name),
                                     {QStringLiteral("Restore"), QStringLiteral("Discard")});
    if (answer == 0) {
        openProject(orphan.path, ProjectOrigin::Autosave);
        EditAutosave::removeOrphan(orphan);
    } else if (answer == 1) {
        EditAutosave::removeOrphan(orphan);
    }
    // Closed without an answer: offered again at the next start.
}

bool MainWindow::hasUnsavedChanges() const
{
    return !currentVideoPath.isEmpty() && !clipList.isEmpty() && clipList != cleanClips;
}

bool MainWindow::confirmCloseEdit()
{
    if (!hasUnsavedChanges())
        return true;
    const int answer = prompts().ask(
        this, QStringLiteral("Unsaved Changes"),
        QStringLiteral("Save changes to the edit of %1 before closing it?").arg(QFileInfo(currentVideoPath).fileName()),
        {QStringLiteral("Save Project..."), QStringLiteral("Discard"), QStringLiteral("Cancel")});
    if (answer == 0) {
        saveProject();
        return !hasUnsavedChanges(); // a save that was cancelled or failed keeps the edit open
    }
    return answer == 1;
}

void MainWindow::markEditSaved()
{
    cleanClips = clipList;
    editChanged();
}

void MainWindow::editChanged()
{
    if (hasUnsavedChanges())
        autosave->editChanged();
    else
        autosave->discard();
}

void MainWindow::onExportFinished(int result)
{
    if (result != int(ExportRunner::Result::Succeeded))
        return;
    cleanClips = exportedClips;
    editChanged();
    const QString folder = QFileInfo(exportOutputPath).absolutePath();
    notices->setAction(QStringLiteral("Show in Folder"),
                       [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
}

void MainWindow::rebuildRecentMenu()
{
    recentMenu->clear();
    for (const QString &path : AppSettings::recentFiles()) {
        QString label = QFileInfo(path).fileName();
        label.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction *action = recentMenu->addAction(label);
        action->setToolTip(path);
        action->setEnabled(QFileInfo(path).isFile());
        // Queued: what follows rebuilds this menu, which must not delete an action inside its own signal.
        connect(action, &QAction::triggered, this, [this, path] { openRecent(path); }, Qt::QueuedConnection);
    }
    if (!recentMenu->isEmpty())
        recentMenu->addSeparator();
    QAction *clear = recentMenu->addAction(QStringLiteral("Clear Recent"));
    connect(clear, &QAction::triggered, this, [this] {
        AppSettings::clearRecentFiles();
        rebuildRecentMenu();
    }, Qt::QueuedConnection);
    clear->setEnabled(!AppSettings::recentFiles().isEmpty());
}

void MainWindow::openRecent(const QString &path)
{
    if (!QFileInfo(path).isFile()) {
        AppSettings::removeRecentFile(path);
        rebuildRecentMenu();
        prompts().message(UserPrompts::Kind::Warning, this, QStringLiteral("File Not Found"),
                          QStringLiteral("This file is no longer there:\n%1\n\nIt was removed from the recent files.")
                              .arg(path));
        return;
    }
    if (confirmCloseEdit())
        openFile(path);
}

void MainWindow::rememberRecent(const QString &path)
{
    const bool project = QFileInfo(path).suffix().compare(QLatin1String("tlp"), Qt::CaseInsensitive) == 0;
    AppSettings::rememberFolderOf(project ? AppSettings::Folder::Project : AppSettings::Folder::Video, path);
    AppSettings::addRecentFile(path);
    rebuildRecentMenu();
}

MainWindow::~MainWindow()
{
    qApp->removeEventFilter(this);
    stopSourceAnalysis();
    if (encoderProbe) {
        encoderProbe->wait();
        delete encoderProbe;
    }
}

void MainWindow::onEncodersProbed()
{
    if (!encoderProbe)
        return;
    encoderProbe->wait();
    delete encoderProbe;
    encoderProbe = nullptr;
    encoderDetector = std::move(probedEncoders);
    if (statusLabel->isVisible())
        statusLabel->setText(readyStatusText());
}

// The probe's processes would compete with the window's first paint: it starts after it.
void MainWindow::startEncoderProbe()
{
    if (encoderProbe && !encoderProbe->isRunning() && !encoderProbe->isFinished())
        encoderProbe->start();
}

void MainWindow::waitForEncoders()
{
    if (!encoderProbe)
        return;
    // An export started this early waits for the probe, without freezing the window.
    QEventLoop loop;
    connect(encoderProbe, &QThread::finished, &loop, &QEventLoop::quit);
    if (!encoderProbe->isFinished()) {
        startEncoderProbe();
        loop.exec();
    }
    onEncodersProbed();
}

void MainWindow::stopSourceAnalysis()
{
    if (analysisCancel)
        analysisCancel->store(true);
    if (analysisThread) {
        analysisThread->wait();
        delete analysisThread;
        analysisThread = nullptr;
    }
}

// The scan of the loaded video tells; an export that comes before it asks ffmpeg.
void MainWindow::ensureSourceAudioKnown()
{
    if (sourceAudioKnown || currentVideoPath.isEmpty())
        return;
    // On a thread of its own: the window keeps painting while ffprobe reads the file.
    std::future<bool> check = std::async(std::launch::async, detectAudioStream, currentVideoPath);
    waitWithoutFreezing([&check] { return check.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                        60000);
    sourceHasAudio = check.get();
    sourceAudioKnown = true;
}

void MainWindow::startSourceAnalysis(const QString &path)
{
    stopSourceAnalysis();
    analysisCancel = std::make_shared<std::atomic<bool>>(false);
    const auto cancel = analysisCancel;
    analysisThread = QThread::create([path, cancel] { Media::MediaIndexCache::instance().get(path, cancel.get()); });
    // Some containers (Matroska, WebM) get no duration from the media back end: the file's
    // own is used then.
    connect(analysisThread, &QThread::finished, this, [this, path] {
        if (path != currentVideoPath)
            return;
        const auto index = Media::MediaIndexCache::instance().cached(path);
        if (index && Media::holdsStillPicture(*index)) {
            onLoadFailed(QStringLiteral("It holds a single picture, not a moving video."));
            return;
        }
        if (index && Media::isBareVideoStream(*index)) {
            onLoadFailed(QStringLiteral("It is a bare video stream without a container such as MP4, so its "
                                        "frames have no times to cut at."));
            return;
        }
        if (index && index->ok()) {
            sourceHasAudio = index->audio.index >= 0;
            sourceAudioKnown = true;
        }
        if (index && index->ok() && index->durationMs > 0)
            videoPlayer->setFileDuration(index->durationMs);
        if (const QString damage = index ? SmartCut::damagedFileNote(*index) : QString(); !damage.isEmpty())
            prompts().message(UserPrompts::Kind::Warning, this, QStringLiteral("Damaged Video"), damage);
    });
    analysisThread->start(QThread::LowPriority);
}

QLabel *MainWindow::titleOverlayWindow() const
{
    return titleOverlay.get();
}

void MainWindow::setUserPrompts(UserPrompts *prompts)
{
    activePrompts = prompts ? prompts : defaultPrompts.get();
}

UserPrompts &MainWindow::prompts() const
{
    return *activePrompts;
}

void MainWindow::buildWidgetTree()
{
    setWindowTitle(QStringLiteral("Trimlet - Simple Video Editor"));
    // Set before the children exist, so each is polished once as it is made, not all again.
    setStyleSheet(QString::fromUtf8(WindowStyle));
    // Never larger than the screen it opens on. Where its usual size and a title bar do not fit,
    // it opens maximised: the window manager then fits it, frame and all.
    const QSize usual(1400, 900);
    constexpr int titleBarAllowance = 40;
    const QRect available = screen() ? screen()->availableGeometry() : QRect(QPoint(), usual);
    resize(usual.boundedTo(available.size()));
    if (available.width() < usual.width() || available.height() < usual.height() + titleBarAllowance)
        setWindowState(Qt::WindowMaximized);

    QMenu *fileMenu = menuBar()->addMenu(QStringLiteral("File"));
    fileMenu->addAction(QStringLiteral("Open Video..."), QKeySequence(QStringLiteral("Ctrl+O")), this,
                        &MainWindow::openVideo);
    recentMenu = fileMenu->addMenu(QStringLiteral("Open Recent"));
    recentMenu->setObjectName(QStringLiteral("recentMenu"));
    recentMenu->setToolTipsVisible(true);
    // Files come and go while the program runs.
    connect(recentMenu, &QMenu::aboutToShow, this, &MainWindow::rebuildRecentMenu);
    rebuildRecentMenu();
    fileMenu->addAction(QStringLiteral("Open Project..."), QKeySequence(QStringLiteral("Ctrl+Shift+O")), this,
                        &MainWindow::loadProject);
    fileMenu->addAction(QStringLiteral("Save Project"), QKeySequence(QStringLiteral("Ctrl+S")), this,
                        &MainWindow::saveProjectInPlace);
    fileMenu->addAction(QStringLiteral("Save Project..."), QKeySequence(QStringLiteral("Ctrl+Shift+S")), this,
                        &MainWindow::saveProject);
    fileMenu->addSeparator();
    fileMenu->addAction(QStringLiteral("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")), this, &QWidget::close);

    // The editing keys live here, so the menu shows them.
    struct EditEntry {
        const char *text;
        const char *keys;
        void (MainWindow::*slot)();
        bool separatorAfter;
    };
    const EditEntry editEntries[] = {
        {"Undo", "Ctrl+Z", &MainWindow::undoLastAction, false},
        {"Redo", "Ctrl+Y", &MainWindow::redoLastAction, true},
        {"Cut Here", "Ctrl+K", &MainWindow::splitAtPlayhead, false},
        {"Delete Selected", "Delete", &MainWindow::deleteSelectedClips, false},
        {"Mark Part", "Enter", &MainWindow::markClip, true},
        {"Set Selection Start", "Ctrl+[", &MainWindow::setSelectionStart, false},
        {"Set Selection End", "Ctrl+]", &MainWindow::setSelectionEnd, false},
        {"Trim Start", "Q", &MainWindow::trimClipStart, false},
        {"Trim End", "W", &MainWindow::trimClipEnd, true},
        {"Zoom In", "+", &MainWindow::zoomTimelineIn, false},
        {"Zoom Out", "-", &MainWindow::zoomTimelineOut, false},
    };
    QMenu *editMenu = menuBar()->addMenu(QStringLiteral("Edit"));
    for (const EditEntry &entry : editEntries) {
        editMenu->addAction(QString::fromLatin1(entry.text), QKeySequence(QString::fromLatin1(entry.keys)), this,
                            entry.slot);
        if (entry.separatorAfter)
            editMenu->addSeparator();
    }

    QMenu *helpMenu = menuBar()->addMenu(QStringLiteral("Help"));
    helpMenu->addAction(QStringLiteral("How to Use"), this, &MainWindow::showWelcome);
    helpMenu->addAction(QStringLiteral("❤ Support This Project"), this, &MainWindow::showDonate);
    helpMenu->addSeparator();
    helpMenu->addAction(QStringLiteral("About Trimlet"), this, &MainWindow::showAbout);

    auto *central = new QWidget(this);
    auto *centralLayout = new QHBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    pageStack = new QStackedWidget(central);
    pageStack->setObjectName(QStringLiteral("pageStack"));
    centralLayout->addWidget(pageStack);
    setCentralWidget(central);

    auto *mainPage = new QWidget(pageStack);
    auto *mainLayout = new QHBoxLayout(mainPage);
    mainLayout->setContentsMargins(10, 10, 10, 10);
    auto *splitter = new QSplitter(Qt::Horizontal, mainPage);
    mainLayout->addWidget(splitter);

    auto *leftPanel = new QWidget(splitter);
    auto *leftLayout = new QVBoxLayout(leftPanel);
    leftLayout->setSpacing(15);

    // The shadow is a widget of its own under the video cell: a graphics effect on an
    // ancestor of the OpenGL displays renders them through a cached copy (the picture after
    // a seek while paused would never reach the screen), and it blurs again on every repaint.
    auto *videoCell = new QWidget(leftPanel);
    auto *cellLayout = new QGridLayout(videoCell);
    cellLayout->setContentsMargins(0, 0, 0, 0);
    const QString containerStyle = QStringLiteral(
        "#%1 { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #1a1a1a, stop:1 #2a2a2a);"
        " border: 2px solid #3a3a3a; border-radius: 15px; }");
    videoWrapper = new QWidget(videoCell);
    QWidget *videoContainer = videoWrapper;
    videoContainer->setObjectName(QStringLiteral("videoContainer"));
    // The video gives way first when the window is small (a 1024x600 screen).
    videoContainer->setMinimumSize(320, 180);
    videoContainer->setAttribute(Qt::WA_StyledBackground);
    videoContainer->setStyleSheet(containerStyle.arg(QStringLiteral("videoContainer")));
    cellLayout->addWidget(videoContainer, 0, 0);
    auto *containerLayout = new QVBoxLayout(videoContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    videoStack = new QStackedWidget(videoContainer);
    videoStack->setObjectName(QStringLiteral("videoStack"));
    videoStack->addWidget(blackPlaceholder(videoStack));
    // The displays draw in native windows, above every widget: without a video the stack makes
    // way for the drop hint, and keeps its place.
    QSizePolicy stackPolicy = videoStack->sizePolicy();
    stackPolicy.setRetainSizeWhenHidden(true);
    videoStack->setSizePolicy(stackPolicy);
    videoStack->hide();
    containerLayout->addWidget(videoStack);
    leftLayout->addWidget(videoCell);
    new DropShadow(videoCell, 20, QPoint(0, 5), QColor(0, 0, 0, 80), 15);

    audioWaveform = new AudioWaveform(leftPanel);
    audioWaveform->setMaximumHeight(60);
    audioWaveform->setStyleSheet(QStringLiteral(
        "background-color: #1a1a1a; border: 1px solid #3a3a3a; border-radius: 8px;"));
    leftLayout->addWidget(audioWaveform);

    timelineWidget = new TimelineWidget(leftPanel);
    timelineWidget->setMinimumHeight(120);
    connect(timelineWidget, &TimelineWidget::positionClicked, this, &MainWindow::handlePositionClicked);
    connect(timelineWidget, &TimelineWidget::clipClicked, this, &MainWindow::handleClipClicked);
    connect(timelineWidget, &TimelineWidget::partChosen, this, &MainWindow::choosePart);
    connect(timelineWidget, &TimelineWidget::durationChanged, audioWaveform, &AudioWaveform::setDuration);
    connect(audioWaveform, &AudioWaveform::positionClicked, this, &MainWindow::handlePositionClicked);
    // Owned by the widgets that draw them, so their threads end with the window.
    audioWaveform->setPeakLoader(new Media::PeakLoader(audioWaveform));
    audioWaveform->followTimeline(timelineWidget);
    timelineWidget->setThumbnailProvider(new Media::ThumbnailProvider(timelineWidget));
    leftLayout->addWidget(timelineWidget);

    timeLabel = new QLabel(QStringLiteral("00:00 / 00:00"), leftPanel);
    timeLabel->setObjectName(QStringLiteral("timeLabel"));
    timeLabel->setAlignment(Qt::AlignCenter);
    timeLabel->setStyleSheet(QStringLiteral(
        "QLabel { color: white; font-family: 'Segoe UI', Arial, sans-serif; font-size: 16px;"
        " font-weight: 500; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a3a3a,"
        " stop:1 #2a2a2a); border-radius: 8px; padding: 8px 16px; }"));
    leftLayout->addWidget(timeLabel);

    statusLabel = new QLabel(leftPanel);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setStyleSheet(QStringLiteral(
        "QLabel { color: #4CAF50; font-size: 11px; font-weight: 500; padding: 4px 10px;"
        " background-color: rgba(20, 20, 20, 0.7); border-radius: 4px;"
        " border: 1px solid rgba(76, 175, 80, 0.3); }"));
    statusLabel->hide();
    leftLayout->addWidget(statusLabel);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(10);
    auto *openButton = new ModernButton(QStringLiteral("Open Video"), leftPanel);
    openButton->setToolTip(QStringLiteral("Open video file (Ctrl+O)"));
    auto *prevButton = new ModernButton(QStringLiteral("◄ Prev"), leftPanel);
    prevButton->setToolTip(QStringLiteral("Previous frame (,)"));
    playButton = new ModernButton(QStringLiteral("Play"), leftPanel);
    playButton->setObjectName(QStringLiteral("playButton"));
    playButton->setToolTip(QStringLiteral("Play/Pause video (Space)"));
    auto *nextButton = new ModernButton(QStringLiteral("Next ►"), leftPanel);
    nextButton->setToolTip(QStringLiteral("Next frame (.)"));
    muteButton = new ModernButton(QStringLiteral("Volume"), leftPanel);
    muteButton->setObjectName(QStringLiteral("muteButton"));
    muteButton->setToolTip(QStringLiteral("Mute/Unmute audio (M)"));
    volumeSlider = new ModernSlider(Qt::Horizontal, leftPanel);
    volumeSlider->setObjectName(QStringLiteral("volumeSlider"));
    volumeSlider->setRange(0, 100);
    volumeSlider->setValue(100);
    volumeSlider->setMaximumWidth(120);
    volumeSlider->setFocusPolicy(Qt::NoFocus);
    volumeSlider->setToolTip(QStringLiteral("Adjust volume"));
    volumeSlider->setGlow(true);
    auto *fullScreenButton = new ModernButton(QStringLiteral("Fullscreen"), leftPanel);
    fullScreenButton->setToolTip(QStringLiteral("Toggle fullscreen (F11)"));
    // On a narrow window the row keeps every word whole: less padding, each as wide as its text.
    for (ModernButton *button : {openButton, prevButton, playButton, nextButton, muteButton, fullScreenButton}) {
        button->setStyleSheet(button->styleSheet().replace(QStringLiteral("padding: 8px 24px;"),
                                                           QStringLiteral("padding: 8px 12px;")));
        button->ensurePolished();
        const QFontMetrics metrics(button->font());
        int widest = metrics.horizontalAdvance(button->text());
        if (button == playButton)
            widest = qMax(widest, metrics.horizontalAdvance(QStringLiteral("Pause")));
        if (button == muteButton)
            widest = qMax(widest, metrics.horizontalAdvance(QStringLiteral("Unmute")));
        button->setMinimumWidth(qMax(button->minimumWidth(), widest + 28));
    }
    volumeSlider->setMinimumWidth(60);
    controls->addWidget(openButton);
    controls->addWidget(prevButton);
    controls->addWidget(playButton);
    controls->addWidget(nextButton);
    controls->addWidget(muteButton);
    controls->addWidget(volumeSlider);
    controls->addSpacing(20);
    controls->addWidget(fullScreenButton);
    leftLayout->addLayout(controls);

    connect(openButton, &QPushButton::clicked, this, &MainWindow::openVideo);
    connect(prevButton, &QPushButton::clicked, this, [this]() { frameByFrame(false); });
    connect(playButton, &QPushButton::clicked, this, &MainWindow::playPause);
    connect(nextButton, &QPushButton::clicked, this, [this]() { frameByFrame(true); });
    connect(muteButton, &QPushButton::clicked, this, &MainWindow::toggleMute);
    connect(volumeSlider, &QSlider::valueChanged, this, &MainWindow::adjustVolume);
    connect(fullScreenButton, &QPushButton::clicked, this, &MainWindow::toggleFullScreen);

    QWidget *editPanel = buildEditPanel();
    editPanel->setParent(splitter);
    splitter->addWidget(leftPanel);
    splitter->addWidget(editPanel);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 1);
    pageStack->addWidget(mainPage);

    auto *fullScreenPage = new QWidget(pageStack);
    auto *fullScreenLayout = new QVBoxLayout(fullScreenPage);
    fullScreenLayout->setContentsMargins(0, 0, 0, 0);
    fullScreenVideoStack = new QStackedWidget(fullScreenPage);
    fullScreenVideoStack->setObjectName(QStringLiteral("fullScreenVideoStack"));
    fullScreenVideoStack->addWidget(blackPlaceholder(fullScreenVideoStack));
    fullScreenLayout->addWidget(fullScreenVideoStack);
    pageStack->addWidget(fullScreenPage);
    pageStack->setCurrentIndex(0);

    dropHintLabel = new QLabel(QStringLiteral("Drop your video here or click to browse"), this);
    dropHintLabel->setObjectName(QStringLiteral("dropHintLabel"));
    dropHintLabel->setAlignment(Qt::AlignCenter);
    dropHintLabel->setStyleSheet(QStringLiteral(
        "QLabel { color: #888888; font-size: 18px; font-weight: 300; background: transparent;"
        " padding: 20px; }"));
    dropHintLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
}

QWidget *MainWindow::buildEditPanel()
{
    auto *panel = new QWidget;
    panel->setMinimumWidth(260);
    panel->setMaximumWidth(400);
    auto *layout = new QVBoxLayout(panel);

    auto *editHeading = new QLabel(QStringLiteral("EDIT YOUR VIDEO:"), panel);
    editHeading->setStyleSheet(QStringLiteral("color: #ffffff; font-size: 16px; font-weight: bold; padding: 10px;"));
    layout->addWidget(editHeading);

    struct ActionButton {
        const char *text;
        const char *top, *bottom, *hoverTop, *hoverBottom;
        void (MainWindow::*slot)();
        const char *toolTip;
    };
    const ActionButton buttons[] = {
        {"Cut Here", "#4A90E2", "#3A70C2", "#5AA0F2", "#4A80D2", &MainWindow::splitAtPlayhead,
         "Cut the video at the playhead (Ctrl+K)"},
        {"Delete Selected", "#E74C3C", "#C73C2C", "#F75C4C", "#D74C3C", &MainWindow::deleteSelectedClips,
         "Delete the selected parts (Delete)"},
        {"Title", "#9B59B6", "#8E44AD", "#AB69C6", "#9E54BD", &MainWindow::setClipTitle,
         "Give the selected part a title"},
        {"Add Effects", "#F39C12", "#E67E22", "#FFAC22", "#F68E32", &MainWindow::setClipEffects,
         "Add visual effects to the selected part"},
        {"Save Video", "#27AE60", "#179E50", "#37BE70", "#27AE60", &MainWindow::exportVideo,
         "Save the edited video (Ctrl+E)"},
    };
    for (const ActionButton &entry : buttons) {
        auto *button = new ModernButton(QString::fromUtf8(entry.text), panel);
        button->setToolTip(QString::fromUtf8(entry.toolTip));
        button->setMinimumHeight(46);
        button->setStyleSheet(actionButtonStyle(entry.top, entry.bottom, entry.hoverTop, entry.hoverBottom));
        connect(button, &QPushButton::clicked, this, entry.slot);
        layout->addWidget(button);
    }

    auto *partsHeading = new QLabel(QStringLiteral("YOUR VIDEO PARTS:"), panel);
    partsHeading->setStyleSheet(QStringLiteral(
        "color: #ffffff; font-size: 16px; font-weight: bold; padding: 10px; margin-top: 20px;"));
    layout->addWidget(partsHeading);

    clipListView = new QListWidget(panel);
    clipListView->setMinimumHeight(100);
    clipListView->setFocusPolicy(Qt::StrongFocus);
    // The list's selection is the parts' selection: a click, Control or Shift with a click, the
    // arrows and Space choose parts here exactly as on the timeline.
    clipListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    clipListView->setStyleSheet(QStringLiteral(
        "QListWidget { background-color: #2a2a2a; border: 2px solid #3a3a3a; border-radius: 12px;"
        " padding: 10px; font-size: 14px; }"
        "QListWidget::item { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a3a3a, stop:1 #2a2a2a);"
        " border: 2px solid #4a4a4a; border-radius: 8px; padding: 15px; margin: 5px; color: white; }"
        "QListWidget::item:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4a4a4a, stop:1 #3a3a3a);"
        " border: 2px solid #5a5a5a; }"
        "QListWidget::item:selected { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4A90E2, stop:1 #3A70C2);"
        " border: 3px solid #5AA0F2; }"
        "QListWidget:focus { border: 2px dashed #5AA0F2; }"));
    layout->addWidget(clipListView);
    clipListPanel = std::make_unique<ClipListPanel>(clipListView);
    connect(clipListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::takeListSelection);
    connect(clipListView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &MainWindow::takeListSelection);
    layout->addStretch();
    return panel;
}

void MainWindow::buildShortcuts()
{
    struct Binding {
        const char *keys;
        void (MainWindow::*slot)();
    };
    // The editing keys are the Edit menu's; these have no menu entry.
    const Binding bindings[] = {
        {"Space", &MainWindow::playPause},
        {"M", &MainWindow::toggleMute},
        {"F11", &MainWindow::toggleFullScreen},
        {"Ctrl+E", &MainWindow::exportVideo},
        {"Ctrl+I", &MainWindow::trimClipStart},
        {",", &MainWindow::stepFrameBack},
        {".", &MainWindow::stepFrameForward},
        {"Ctrl+Shift+Z", &MainWindow::redoLastAction},
    };
    for (const Binding &binding : bindings) {
        auto *shortcut = new QShortcut(QKeySequence(QString::fromLatin1(binding.keys)), this);
        connect(shortcut, &QShortcut::activated, this, binding.slot);
    }
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (isFullScreen)
            toggleFullScreen();
    });
}

// The first OpenGL context of the process costs more than the rest of the start-up
// together (100-150 ms with a software renderer), so the displays come after the
// window's first paint, or with the first video if that is sooner. Qt then re-creates the
// window's native window once (a raster window becomes an OpenGL one); the driver, started
// just before, keeps that gap short.
void MainWindow::ensureDisplays()
{
    if (videoWidget || !videoStack->findChildren<QLabel *>(QStringLiteral("noPreview")).isEmpty())
        return;
    warmUpOpenGL();
    if (!openGLComposes()) {
        qCWarning(appLog) << "No video preview: this display's OpenGL runs no shader programs";
        auto *notice = new QLabel(QStringLiteral("No video preview: this display's OpenGL cannot show it.\n"
                                                 "Cutting and saving work as usual."),
                                  videoStack);
        notice->setObjectName(QStringLiteral("noPreview"));
        notice->setAlignment(Qt::AlignCenter);
        notice->setWordWrap(true);
        notice->setStyleSheet(QStringLiteral("background-color: black; color: #bbbbbb;"));
        videoStack->addWidget(notice);
        videoStack->setCurrentWidget(notice);
        return;
    }
    const bool wasActive = isActiveWindow();
    videoWidget = new VideoGLWidget(videoStack);
    processedDisplay = new ProcessedVideoDisplay(videoStack);
    addDisplays(videoStack, videoWidget, processedDisplay);
    // Its context and program now, while no video waits: the stack may be hidden until one loads.
    videoWidget->prepare();
    // A graphics effect on the wrapper draws the displays from a cached copy; without
    // this, a frame that arrives while paused (after a seek) would never reach the screen.
    // After the displays have the frame.
    const auto refreshWrapperEffect = [this]() {
        if (videoWrapper && videoWrapper->graphicsEffect())
            videoWrapper->update();
    };
    connect(videoPlayer, &VideoPlayer::frameReady, this, refreshWrapperEffect);
    connect(videoPlayer, &VideoPlayer::frameProcessed, this, refreshWrapperEffect);
    applyProcessingMode(videoPlayer->isFrameProcessingEnabled());
    // The new native window does not inherit the old one's keyboard focus: asked for again
    // when the window had it, or when it was asked for (no window of the program is active
    // yet) and not yet given.
    if (isVisible() && (wasActive || !QApplication::activeWindow()))
        activateWindow();
}

// Two more OpenGL contexts that most sessions never show: made on the first full screen.
void MainWindow::ensureFullScreenDisplays()
{
    ensureDisplays();
    if (fullScreenVideoWidget || !videoWidget)
        return;
    fullScreenVideoWidget = new VideoGLWidget(fullScreenVideoStack);
    fullScreenProcessedDisplay = new ProcessedVideoDisplay(fullScreenVideoStack);
    for (QWidget *display : {static_cast<QWidget *>(fullScreenVideoWidget),
                             static_cast<QWidget *>(fullScreenProcessedDisplay)}) {
        display->setStyleSheet(QStringLiteral("background-color: black;"));
        display->setFocusPolicy(Qt::NoFocus);
    }
    addDisplays(fullScreenVideoStack, fullScreenVideoWidget, fullScreenProcessedDisplay);
}

// In place of the stack's placeholder, fed from now on and with what the player shows now:
// paused, that frame would otherwise be the only one.
void MainWindow::addDisplays(QStackedWidget *stack, VideoGLWidget *raw, ProcessedVideoDisplay *processed)
{
    QWidget *placeholder = stack->widget(0);
    stack->removeWidget(placeholder);
    placeholder->deleteLater();
    stack->addWidget(raw);
    stack->addWidget(processed);
    connect(videoPlayer, &VideoPlayer::pixelAspectChanged, raw, &VideoGLWidget::setPixelAspect);
    connect(videoPlayer, &VideoPlayer::pixelAspectChanged, processed, &ProcessedVideoDisplay::setPixelAspect);
    connect(videoPlayer, &VideoPlayer::frameReady, raw, &VideoGLWidget::setVideoFrame);
    connect(videoPlayer, &VideoPlayer::frameProcessed, processed, &ProcessedVideoDisplay::setProcessedFrame);
    raw->setPixelAspect(videoPlayer->shownPixelAspect());
    processed->setPixelAspect(videoPlayer->shownPixelAspect());
    if (videoPlayer->lastFrame().isValid())
        raw->setVideoFrame(videoPlayer->lastFrame());
    if (videoPlayer->isFrameProcessingEnabled()) {
        const QImage shown = videoPlayer->currentFrame();
        if (!shown.isNull())
            processed->setProcessedFrame(shown);
    }
}

// The media back end (FFmpeg's libraries, the sound server) comes after the first paint too.
void MainWindow::ensurePlayer()
{
    if (hiddenVideoOutput)
        return;
    hiddenVideoOutput = new QVideoWidget(this);
    hiddenVideoOutput->setFixedSize(1, 1);
    hiddenVideoOutput->hide();
    videoPlayer->prepareBackend();
    videoPlayer->checkBackend();
    videoPlayer->setVideoOutput(hiddenVideoOutput);
}

void MainWindow::connectPlayer()
{
    connect(videoPlayer, &VideoPlayer::processingModeChanged, this, &MainWindow::applyProcessingMode);
    connect(videoPlayer, &VideoPlayer::timeChanged, this, &MainWindow::positionChanged);
    connect(videoPlayer, &VideoPlayer::lengthChanged, this, &MainWindow::durationChanged);
    connect(videoPlayer, &VideoPlayer::performanceMetricsChanged, this, &MainWindow::updatePerformanceDisplay);
    connect(videoPlayer, &VideoPlayer::mediaReady, this, &MainWindow::onMediaReady);
    connect(videoPlayer, &VideoPlayer::loadFailed, this, &MainWindow::onLoadFailed);
    connect(videoPlayer, &VideoPlayer::endOfMedia, this, &MainWindow::onEndOfMedia);
    videoPlayer->followEdit([this] { return clipList; });
    connect(videoPlayer, &VideoPlayer::partEntered, this, &MainWindow::updateTitleOverlay);
    // Comes before the frame goes to the effects: a paused frame of another part gets its look.
    // Paused, the playhead and the time display show the frame on screen, not the player's
    // position, which lags it after a pause.
    connect(videoPlayer, &VideoPlayer::frameReady, this, [this] {
        if (videoPlayer->isPlaying())
            return;
        followLookOfShownPart(false);
        showEditTime(shownSourceTime());
    });
    connect(videoPlayer, &VideoPlayer::editFinished, this, [this] {
        playButton->setText(QStringLiteral("Play"));
        updateTitleOverlay();
    });
}

void MainWindow::applyProcessingMode(bool enabled)
{
    ensureDisplays();
    if (!videoWidget)
        return;
    if (enabled) {
        videoStack->setCurrentWidget(processedDisplay);
        if (fullScreenProcessedDisplay)
            fullScreenVideoStack->setCurrentWidget(fullScreenProcessedDisplay);
    } else {
        videoStack->setCurrentWidget(videoWidget);
        if (fullScreenVideoWidget)
            fullScreenVideoStack->setCurrentWidget(fullScreenVideoWidget);
    }
}

// ---- file and window

void MainWindow::openVideo()
{
    if (!confirmCloseEdit())
        return;
    const QString path = prompts().openFileName(this, QStringLiteral("Open Video File"),
                                                AppSettings::lastFolder(AppSettings::Folder::Video),
                                                ProjectFile::videoFilter());
    if (path.isEmpty())
        return;
    AppSettings::rememberFolderOf(AppSettings::Folder::Video, path);
    loadVideo(path);
}

void MainWindow::loadVideo(const QString &path)
{
    // Refused before anything reads it: a pipe would block the player forever.
    const QString special = specialFileReason(path);
    if (!special.isEmpty()) {
        prompts().message(UserPrompts::Kind::Critical, this, QStringLiteral("Cannot Open Video"),
                          QStringLiteral("Trimlet cannot play \"%1\".\n\n%2").arg(QFileInfo(path).fileName(), special));
        return;
    }
    ensurePlayer();
    // Clips of another video must never come back through undo.
    if (path != currentVideoPath)
        editHistory.clear();
    projectFilePath.clear();
    projectExtras = QJsonObject();

    currentVideoPath = path;
    // Known from the packet scan below; asked of ffmpeg only if an export comes first.
    sourceHasAudio = true;
    sourceAudioKnown = false;
    // The analyses below wait for the player's own opening of the file: on a machine with two
    // cores, begun before it they doubled the time the window froze while it read the header.
    stopSourceAnalysis();
    audioWaveform->peakLoader()->clear();
    timelineWidget->thumbnailProvider()->clear();

    // The edit is reset before the player loads: the back end may report the new
    // duration while loading, and that report creates the first clip.
    clipList.clear();
    selectionStart = -1;
    selectionEnd = -1;
    timelineWidget->setSelectionStart(-1);
    timelineWidget->setSelectionEnd(-1);
    editedDuration = 0;
    refreshClipList();
    timelineWidget->setClips(clipList);

    // Nothing of the previous video may stay on screen or in the preview path.
    titleHideTimer->stop();
    titleOverlay->hide();
    titleHiddenByMinimise = false;
    currentClipIndex = -1;
    clearWrapperEffects();
    videoPlayer->setFrameProcessingEnabled(false);

    dropHintLabel->hide();
    videoStack->show();
    setWindowTitle(QStringLiteral("Trimlet - %1").arg(QFileInfo(path).fileName()));
    statusLabel->setText(readyStatusText());
    statusLabel->show();

    cleanClips.clear();
    editChanged();

    awaitingLoad = true;
    videoPlayer->loadMedia(path);
    if (currentVideoPath != path)
        return; // the load failed at once and the window went back to no video
    startSourceAnalysis(path);
    audioWaveform->peakLoader()->load(path);
    timelineWidget->thumbnailProvider()->setSource(path);
    if (rememberLoadedVideo)
        rememberRecent(path);

    setFocus();
    activateWindow();
    if (!greeted && AppSettings::showWelcome() && EditAutosave::orphans().isEmpty())
        greet();
    playPause();
    makeDisplaysWhenPlayStarts();
}

// The first OpenGL context takes longer than the back end needs to open a file and decode
// its first frame: the displays are made once the play is on its way, so both go on at once.
// The frame comes through the event loop, after them.
void MainWindow::makeDisplaysWhenPlayStarts()
{
    if (videoWidget)
        return;
    displaysWaitForPlay = true;
    // Queued behind the play the player queues when it reports the file loaded.
    const auto make = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                displaysWaitForPlay = false;
                ensureDisplays();
            },
            Qt::QueuedConnection);
    };
    connect(videoPlayer, &VideoPlayer::mediaReady, this, make, Qt::SingleShotConnection);
    connect(videoPlayer, &VideoPlayer::loadFailed, this, make, Qt::SingleShotConnection);
    // A load that neither ends nor fails soon.
    QTimer::singleShot(1000, this, make);
}

QString MainWindow::readyStatusText() const
{
    if (encoderProbe)
        return QStringLiteral("Checking encoders…");
    return StatusText::ready(encoderDetector ? encoderDetector->availableEncoders() : QStringList());
}

void MainWindow::onMediaReady()
{
    if (!awaitingLoad || currentVideoPath.isEmpty())
        return;
    // The duration can be known before the streams are: only a finished load tells that
    // there is no picture.
    const QMediaPlayer::MediaStatus status = videoPlayer->mediaPlayer()->mediaStatus();
    const bool loaded = status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia
        || status == QMediaPlayer::BufferingMedia || status == QMediaPlayer::EndOfMedia;
    if (videoPlayer->hasVideoStream() || (loaded && videoPlayer->duration() > 0)) {
        awaitingLoad = false;
        if (!videoPlayer->hasVideoStream())
            onLoadFailed(QStringLiteral("The file has no video stream."));
    }
}

void MainWindow::onLoadFailed(const QString &errorText)
{
    if (currentVideoPath.isEmpty())
        return;
    const QString name = QFileInfo(currentVideoPath).fileName();
    awaitingLoad = false;
    resetToNoVideo();
    prompts().message(UserPrompts::Kind::Critical, this, QStringLiteral("Cannot Open Video"),
                      QStringLiteral("Trimlet cannot play \"%1\".\n\n%2").arg(name, errorText));
}

void MainWindow::resetToNoVideo()
{
    videoPlayer->pause();
    currentVideoPath.clear();
    audioWaveform->peakLoader()->clear();
    timelineWidget->thumbnailProvider()->clear();
    clipList.clear();
    selectionStart = -1;
    selectionEnd = -1;
    timelineWidget->setSelectionStart(-1);
    timelineWidget->setSelectionEnd(-1);
    videoDuration = 0;
    editedDuration = 0;
    timelineWidget->setDuration(0);
    timelineWidget->setPosition(0);
    timelineWidget->setClips(clipList);
    refreshClipList();
    playButton->setText(QStringLiteral("Play"));
    timeLabel->setText(QStringLiteral("00:00 / 00:00"));
    statusLabel->hide();
    setWindowTitle(QStringLiteral("Trimlet - Simple Video Editor"));
    videoStack->hide();
    dropHintLabel->show();
    dropHintLabel->raise();
}

void MainWindow::toggleFullScreen()
{
    isFullScreen = !isFullScreen;
    const bool processing = videoPlayer->isFrameProcessingEnabled();
    if (isFullScreen) {
        ensureFullScreenDisplays();
        pageStack->setCurrentIndex(1);
        applyProcessingMode(processing);
        showFullScreen();
        qCDebug(appLog) << "Fullscreen mode - playback active";
    } else {
        pageStack->setCurrentIndex(0);
        applyProcessingMode(processing);
        showNormal();
        qCDebug(appLog) << "Normal mode - playback active";
    }
}

void MainWindow::updatePerformanceDisplay(double, bool isLagging)
{
    if (!statusLabel)
        return;
    statusLabel->setStyleSheet(StatusText::performanceStyle(isLagging));
    statusLabel->setText(StatusText::performance(isLagging));
}

void MainWindow::showAbout()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("About Trimlet"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *name = new QLabel(QStringLiteral("Trimlet"), &dialog);
    name->setStyleSheet(QStringLiteral("font-size: 24px; font-weight: bold;"));
    layout->addWidget(name);
    layout->addWidget(new QLabel(QStringLiteral("Version 1.0.0"), &dialog));
    auto *description = new QLabel(
        QStringLiteral("A simple video cutter for everyone: open a video, cut it into parts, "
                       "remove what you don't want, add a title or effects, and save the result."),
        &dialog);
    description->setWordWrap(true);
    layout->addWidget(description);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons);
    dialog.setStyleSheet(QStringLiteral("QDialog { background-color: #2a2a2a; } QLabel { color: white; }"));
    prompts().runDialog(dialog);
}

void MainWindow::showDonate()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Support Trimlet"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *text = new QLabel(
        QStringLiteral("❤ Trimlet is free and made by a small team.\n\n"
                       "If it saves you time, tell a friend about it, report problems you find, "
                       "or support its development through the project's web page."),
        &dialog);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.setStyleSheet(QStringLiteral("QDialog { background-color: #2a2a2a; } QLabel { color: white; }"));
    prompts().runDialog(dialog);
}

// ---- transport

void MainWindow::updateTimeLabel()
{
    const qint64 current = sourceToTimelineOrSame(clipList, videoPlayer->position());
    const qint64 total = clipList.isEmpty() ? videoDuration : editedDuration;
    timeLabel->setText(QStringLiteral("%1 / %2").arg(formatTime(current), formatTime(total)));
}

// The total in the time label follows the edit, also while paused; a playhead whose stretch
// was removed goes to the join, so the picture, the playhead and the label show one moment.
void MainWindow::showPositionInEdit()
{
    const qint64 position = videoPlayer->position();
    const qint64 kept = Playback::positionInEdit(clipList, position);
    if (kept != position && !videoPlayer->isPlaying() && videoPlayer->duration() > 0)
        videoPlayer->setPosition(kept);
    const qint64 current = sourceToTimelineOrSame(clipList, kept);
    const qint64 total = clipList.isEmpty() ? videoDuration : editedDuration;
    timelineWidget->setPosition(current);
    timeLabel->setText(QStringLiteral("%1 / %2").arg(formatTime(current), formatTime(total)));
}

void MainWindow::playPause()
{
    if (videoPlayer->isPlaying()) {
        videoPlayer->pause();
        playButton->setText(QStringLiteral("Play"));
        return;
    }
    if (currentVideoPath.isEmpty()) {
        prompts().message(UserPrompts::Kind::Information, this, QStringLiteral("No Video"),
                          QStringLiteral("Please load a video first."));
        return;
    }
    if (videoPlayer->duration() < 1) {
        qCDebug(appLog) << "Video still loading; queuing playback once media is ready";
        videoPlayer->play();
        playButton->setText(QStringLiteral("Pause"));
        return;
    }
    const qint64 position = videoPlayer->position();
    const qint64 start = Playback::playStartPosition(clipList, position);
    if (start != position)
        videoPlayer->setPosition(start);
    videoPlayer->play();
    playButton->setText(QStringLiteral("Pause"));
}

void MainWindow::positionChanged(qint64 position)
{
    timelineWidget->setPosition(sourceToTimelineOrSame(clipList, position));
    updateTimeLabel();

    // The player shows the edit frame by frame and says when a part is entered.
    if (videoPlayer->isPlaying() && !clipList.isEmpty() && !videoPlayer->isJumpingInEdit())
        updateTitleOverlay();
}

// When the last part runs to the end of the file no frame lies past it: the end
// of the file ends the edit's playback the way a frame past the last part does.
void MainWindow::onEndOfMedia()
{
    if (clipList.isEmpty())
        return;
    videoPlayer->pause();
    playButton->setText(QStringLiteral("Play"));
    videoPlayer->setPosition(clipList.first().originalStart);
    updateTitleOverlay();
}

// A paused seek to t shows the first frame starting at or after t, so a frame is reached by
// seeking to its start in whole milliseconds, rounded down. Steps pressed faster than frames
// come count from the step still on its way, and only the latest is sought.
void MainWindow::frameByFrame(bool forward)
{
    if (currentVideoPath.isEmpty() || videoDuration < 1)
        return;
    if (videoPlayer->isPlaying()) {
        videoPlayer->pause();
        playButton->setText(QStringLiteral("Play"));
    }
    const qint64 shownUs = videoPlayer->shownFrameStartUs();
    const qint64 baseUs = shownUs >= 0 && !videoPlayer->isSeekPending() ? shownUs
                                                                         : videoPlayer->targetPosition() * 1000;
    seekAndShow(Playback::frameStepTarget(baseUs, videoPlayer->shownFrameDurationUs(), videoDuration, forward));
}

void MainWindow::stepFrameBack()
{
    frameByFrame(false);
}

void MainWindow::stepFrameForward()
{
    frameByFrame(true);
}

void MainWindow::seekAndShow(qint64 target)
{
    videoPlayer->seekCoalesced(target);
    if (!videoPlayer->isPlaying())
        showEditTime(target);
}

void MainWindow::showEditTime(qint64 source)
{
    const qint64 t = sourceToTimelineOrSame(clipList, source);
    const qint64 total = clipList.isEmpty() ? videoDuration : editedDuration;
    timeLabel->setText(QStringLiteral("%1 / %2").arg(formatTime(t), formatTime(total)));
    timelineWidget->setPosition(t);
    audioWaveform->setPosition(t);
}

// While a seek is on its way its target counts: a frame decoded before it may still show for a
// moment, but the one asked for follows.
qint64 MainWindow::shownSourceTime() const
{
    const qint64 us = videoPlayer->shownFrameStartUs();
    return us >= 0 && !videoPlayer->isSeekPending() ? us / 1000 : videoPlayer->targetPosition();
}

void MainWindow::skip(int direction)
{
    if (direction != 1 && direction != 2)
        return;
    if (videoPlayer->duration() < 1)
        return;
    const bool playing = videoPlayer->isPlaying();
    const qint64 target = Playback::skipTarget(clipList, videoPlayer->targetPosition(), videoPlayer->duration(),
                                               playing, direction == 1);
    videoPlayer->seekCoalesced(target);
    if (!playing) {
        const qint64 t = sourceToTimelineOrSame(clipList, target);
        timeLabel->setText(formatTime(t));
        timelineWidget->setPosition(t);
        audioWaveform->setPosition(t);
    }
}

void MainWindow::repeatSkip()
{
    skip(skipDirection);
}

void MainWindow::toggleMute()
{
    if (videoPlayer->isMuted()) {
        videoPlayer->setMuted(false);
        muteButton->setText(QStringLiteral("Vol"));
    } else {
        videoPlayer->setMuted(true);
        muteButton->setText(QStringLiteral("Mute"));
    }
}

void MainWindow::adjustVolume(int value)
{
    videoPlayer->setVolume(value);
}

void MainWindow::zoomTimelineIn()
{
    timelineWidget->zoomIn();
}

void MainWindow::zoomTimelineOut()
{
    timelineWidget->zoomOut();
}

// ---- clip list

void MainWindow::recalculateTimeline()
{
    editedDuration = ::recalculateTimeline(clipList);
    timelineWidget->setDuration(editedDuration);
    timelineWidget->setClips(clipList);
    refreshClipList();
}

void MainWindow::recalculateOrReset()
{
    if (!clipList.isEmpty()) {
        recalculateTimeline();
        return;
    }
    editedDuration = videoDuration;
    timelineWidget->setDuration(videoDuration);
}

int MainWindow::shownCurrentPart() const
{
    const int i = selectedClipIndex;
    return i >= 0 && i < clipList.size() && clipList[i].isMarked ? i : -1;
}

void MainWindow::refreshClipList()
{
    clipListPanel->show(clipList, shownCurrentPart());
    timelineWidget->setCurrentPart(shownCurrentPart());
}

void MainWindow::refreshViews()
{
    refreshClipList();
    timelineWidget->setClips(clipList);
    showPositionInEdit();
    followLookOfShownPart(true);
    editChanged();
}

void MainWindow::durationChanged(qint64 duration)
{
    videoDuration = duration;
    timelineWidget->setDuration(duration);
    if (!clipList.isEmpty() || duration < 1)
        return;
    clipList.append(makeFirstClip(duration));
    cleanClips = clipList;
    editedDuration = duration;
    refreshViews();
}

void MainWindow::handleClipClicked(int index)
{
    choosePart(index, QApplication::keyboardModifiers().testFlag(Qt::ControlModifier));
}

void MainWindow::choosePart(int index, bool toggle)
{
    if (!applyClipClick(clipList, index, toggle))
        return;
    selectedClipIndex = index;
    partsChosen();
}

// Parts and a range are never highlighted together: what shows as selected is what Delete takes.
void MainWindow::partsChosen()
{
    if (selectionStart >= 0 && selectionEnd >= 0 && firstMarkedClipIndex(clipList) >= 0) {
        selectionStart = -1;
        selectionEnd = -1;
        timelineWidget->clearSelection();
    }
    refreshClipList();
    timelineWidget->setClips(clipList);
}

void MainWindow::takeListSelection()
{
    if (clipListPanel->isShowing() || clipListView->count() != clipList.size())
        return;
    const QItemSelectionModel *selection = clipListView->selectionModel();
    bool changed = false;
    for (int i = 0; i < clipList.size(); ++i) {
        const bool selected = selection->isRowSelected(i);
        if (clipList[i].isMarked != selected) {
            clipList[i].isMarked = selected;
            changed = true;
        }
    }
    const int current = clipListView->currentRow();
    const int chosen = current >= 0 && current < clipList.size() && clipList[current].isMarked
        ? current
        : firstMarkedClipIndex(clipList);
    if (!changed && chosen == selectedClipIndex)
        return;
    selectedClipIndex = chosen;
    // The list is in the middle of its own mouse or key handling: its rows are restyled after.
    QTimer::singleShot(0, this, [this] {
        if (clipListView->count() == clipList.size())
            partsChosen();
    });
    timelineWidget->setClips(clipList);
    timelineWidget->setCurrentPart(shownCurrentPart());
}

void MainWindow::handlePositionClicked(qint64 position)
{
    videoPlayer->setPosition(clipList.isEmpty() ? position
                                                : timelineToSource(clipList, position, editedDuration));
}

// ---- editing

EditState MainWindow::editState() const
{
    EditState state;
    state.clips = clipList;
    state.playerPosition = shownSourceTime();
    state.selectionStart = selectionStart;
    state.selectionEnd = selectionEnd;
    state.selectedClipIndex = selectedClipIndex;
    state.videoDuration = videoDuration;
    state.editedDuration = editedDuration;
    return state;
}

void MainWindow::showMessage(const EditMessage &message)
{
    prompts().message(message.kind, this, message.title, message.text);
}

void MainWindow::showConfirmation(const EditMessage &message)
{
    // Only news that all went well fades by itself; anything else waits for the user.
    if (message.kind == UserPrompts::Kind::Information)
        prompts().notice(message.title, message.text);
    else
        showMessage(message);
}

void MainWindow::applyEdit(const EditOutcome &outcome)
{
    if (outcome.changed) {
        saveUndoState();
        clipList = outcome.clips;
        if (outcome.selectedClipIndex)
            selectedClipIndex = *outcome.selectedClipIndex;
        if (outcome.clearSelection) {
            selectionStart = -1;
            selectionEnd = -1;
            timelineWidget->clearSelection();
        }
        if (outcome.recalculated)
            recalculateOrReset();
        refreshViews();
    }
    if (outcome.message) {
        if (outcome.changed)
            showConfirmation(*outcome.message);
        else
            showMessage(*outcome.message);
    }
}

void MainWindow::splitAtPlayhead()
{
    applyEdit(Edit::splitAtPlayhead(editState()));
}

void MainWindow::setSelectionStart()
{
    if (currentVideoPath.isEmpty())
        return;
    selectionStart = sourceToTimelineOrSame(clipList, shownSourceTime());
    timelineWidget->setSelectionStart(selectionStart);
    rangeChosen();
}

void MainWindow::setSelectionEnd()
{
    if (currentVideoPath.isEmpty())
        return;
    selectionEnd = sourceToTimelineOrSame(clipList, shownSourceTime());
    timelineWidget->setSelectionEnd(selectionEnd);
    rangeChosen();
}

void MainWindow::rangeChosen()
{
    if (selectionStart < 0 || selectionEnd < 0 || firstMarkedClipIndex(clipList) < 0)
        return;
    for (Clip &clip : clipList)
        clip.isMarked = false;
    selectedClipIndex = -1;
    refreshClipList();
    timelineWidget->setClips(clipList);
}

void MainWindow::markClip()
{
    applyEdit(Edit::markClip(editState()));
}

void MainWindow::deleteSelectedClips()
{
    applyEdit(Edit::deleteSelection(editState()));
}

void MainWindow::deleteUnmarkedClips()
{
    applyEdit(Edit::deleteUnmarkedClips(editState()));
}

void MainWindow::deleteMarkedClips()
{
    applyEdit(Edit::deleteMarkedClips(editState()));
}

void MainWindow::trimClipStart()
{
    applyEdit(Edit::trimClipStart(editState()));
}

void MainWindow::trimClipEnd()
{
    applyEdit(Edit::trimClipEnd(editState()));
}

void MainWindow::previewSelection()
{
    if (selectionStart == -1)
        return;
    videoPlayer->setPosition(timelineToSourceOrSame(clipList, selectionStart, editedDuration));
}

// ---- history

void MainWindow::saveUndoState()
{
    editHistory.saveUndoState(clipList);
}

void MainWindow::restoreFromHistory(const ClipList &restored)
{
    clipList = restored;
    // The ruler and the time label follow the restored list.
    editedDuration = clipList.isEmpty() ? videoDuration : clipList.last().endTime;
    timelineWidget->setDuration(editedDuration);
    refreshViews();
}

void MainWindow::undoLastAction()
{
    const std::optional<ClipList> restored = editHistory.undo(clipList);
    if (!restored) {
        prompts().message(UserPrompts::Kind::Information, this, QStringLiteral("Undo"),
                          QStringLiteral("Nothing to undo."));
        return;
    }
    restoreFromHistory(*restored);
}

void MainWindow::redoLastAction()
{
    const std::optional<ClipList> restored = editHistory.redo(clipList);
    if (!restored) {
        prompts().message(UserPrompts::Kind::Information, this, QStringLiteral("Redo"),
                          QStringLiteral("Nothing to redo."));
        return;
    }
    restoreFromHistory(*restored);
}

// ---- title overlay and wrapper effects

void MainWindow::updateTitleOverlay()
{
    const qint64 position = videoPlayer->position();
    // On the cut between touching parts the position still reads as the first; the frames know.
    const int followed = videoPlayer->isPlaying() ? videoPlayer->editPart() : -1;
    const int index = followed >= 0 && followed < clipList.size() ? followed : clipIndexAtSource(clipList, position);
    if (overlayCallCount++ % 20 == 0) {
        qCDebug(appLog) << "updateTitleOverlay - pos:" << position << "clipIndex:" << index
                 << "current:" << currentClipIndex;
    }
    if (index != -1 && index == currentClipIndex)
        return;

    if (index != -1) {
        qCDebug(appLog) << "ENTERED NEW CLIP:" << index;
        currentClipIndex = index;
        const Clip &clip = clipList[index];
        showTitleOverlay(clip);
        if (!clip.hasEffects) {
            clearWrapperEffects();
        } else {
            qCDebug(appLog) << "Clip has effects - applying blur:" << clip.blurIntensity
                     << "opacity:" << clip.opacity;
            applyWrapperEffects(clip);
        }
        // The processed preview follows the clip under the playhead, so each part
        // shows with its own effects (none for a part without any).
        videoPlayer->updateClipEffects(clip);
        return;
    }

    currentClipIndex = -1;
    titleOverlay->hide();
    clearWrapperEffects();
    videoPlayer->setFrameProcessingEnabled(false);
}

QWidget *MainWindow::overlayReference() const
{
    // The display actually on screen; the player's own video output stays hidden at 1 x 1.
    QStackedWidget *stack = pageStack->currentIndex() == 1 ? fullScreenVideoStack : videoStack;
    return stack->currentWidget();
}

void MainWindow::showTitleOverlay(const Clip &clip)
{
    qCDebug(appLog) << "showTitleOverlay called - showTitle:" << (clip.showTitle ? "true" : "false")
             << "text:" << clip.titleText;
    if (!clip.showTitle || clip.titleText.isEmpty()) {
        qCDebug(appLog) << "Skipping - no title to show";
        return;
    }
    QWidget *reference = overlayReference();
    if (!reference || reference->width() < 100)
        return;

    titleHideTimer->stop();
    const QRect area(reference->mapToGlobal(QPoint(0, 0)), reference->size());
    if (!titleOverlay->layOut(clip, area))
        return;
    const QRect geometry = titleOverlay->geometry();
    qCDebug(appLog) << "Showing overlay at position:" << geometry.x() << geometry.y() << "size:"
             << geometry.width() << geometry.height();
    titleHiddenByMinimise = false;
    if (isMinimized()) {
        titleHiddenByMinimise = true;
    } else {
        titleOverlay->show();
        titleOverlay->raise();
        titleOverlay->setVisible(true);
        titleOverlay->repaint();
    }
    qCDebug(appLog) << "Overlay shown - isVisible:" << (titleOverlay->isVisible() ? "true" : "false");
    titleHideTimer->start(titleDisplayDurationMs(clip));
}

void MainWindow::relayoutTitleOverlay()
{
    if (!titleOverlay || !titleOverlay->isVisible())
        return;
    if (currentClipIndex < 0 || currentClipIndex >= clipList.size())
        return;
    QWidget *reference = overlayReference();
    if (!reference)
        return;
    const QRect area(reference->mapToGlobal(QPoint(0, 0)), reference->size());
    if (titleOverlay->layOut(clipList[currentClipIndex], area))
        titleOverlay->raise();
}

void MainWindow::applyWrapperEffects(const Clip &clip)
{
    if (!videoWrapper)
        return;
    clearWrapperEffects();
    if (!clip.hasEffects)
        return;
    qCDebug(appLog) << "Applying effects to video wrapper - blur:" << clip.blurIntensity
             << "opacity:" << clip.opacity;
    if (clip.blurIntensity > 0) {
        auto *blur = new QGraphicsBlurEffect(videoWrapper);
        const qreal radius = clip.blurIntensity * 0.5;
        blur->setBlurRadius(radius);
        blur->setBlurHints(QGraphicsBlurEffect::QualityHint);
        videoWrapper->setGraphicsEffect(blur);
        qCDebug(appLog) << "Blur applied to wrapper with radius:" << radius;
    }
    qCDebug(appLog) << "Effects applied to video wrapper successfully";
}

void MainWindow::clearWrapperEffects()
{
    if (!videoWrapper)
        return;
    videoWrapper->setGraphicsEffect(nullptr);
    qCDebug(appLog) << "Cleared all effects from video wrapper";
}

// ---- title and effects dialogs

int MainWindow::firstMarkedClipOrTell()
{
    const int index = firstMarkedClipIndex(clipList);
    if (index < 0) {
        prompts().message(UserPrompts::Kind::Information, this, QStringLiteral("No Part Selected"),
                          QString::fromUtf8(NoPartSelectedText));
    }
    return index;
}

void MainWindow::pushClipToPreview(const Clip &clip)
{
    videoPlayer->updateClipEffects(clip);
    // While paused no new frame would come to show the new look (or fill a display just
    // switched to): decode the one on screen again.
    if (!videoPlayer->isPlaying() && !currentVideoPath.isEmpty())
        videoPlayer->setPosition(shownSourceTime());
}

// The preview shows the look of the part whose frame is on screen, paused as well as playing,
// and takes up a part's new settings after an edit, an undo or a dialog.
void MainWindow::followLookOfShownPart(bool showAgain)
{
    if (currentVideoPath.isEmpty() || clipList.isEmpty())
        return;
    const bool playing = videoPlayer->isPlaying();
    const int followed = playing ? videoPlayer->editPart() : -1;
    const int index = followed >= 0 && followed < clipList.size() ? followed
                                                                  : clipIndexHoldingFrame(clipList, shownSourceTime());
    if (index < 0) {
        if (videoPlayer->isFrameProcessingEnabled()) {
            clearWrapperEffects();
            videoPlayer->updateClipEffects(Clip());
        }
        return;
    }
    const Clip &clip = clipList[index];
    if (sameLook(clip, videoPlayer->clipForEffects()))
        return;
    if (clip.hasEffects)
        applyWrapperEffects(clip);
    else
        clearWrapperEffects();
    if (showAgain)
        pushClipToPreview(clip);
    else
        videoPlayer->updateClipEffects(clip);
}

void MainWindow::setClipTitle()
{
    const int index = firstMarkedClipOrTell();
    if (index < 0)
        return;

    TitleDialog dialog(clipList[index], this);
    if (prompts().runDialog(dialog) != QDialog::Accepted)
        return;

    saveUndoState();
    Clip &clip = clipList[index];
    switch (dialog.applyTo(clip)) {
    case TitleDialog::Outcome::TitleRemoved:
        titleHideTimer->stop();
        titleOverlay->hide();
        prompts().notice(QStringLiteral("Title Removed"), QStringLiteral("Title removed from %1").arg(clip.name));
        break;
    case TitleDialog::Outcome::TitleSet:
        prompts().notice(QStringLiteral("Title Set"),
                         QStringLiteral("Title '%1' added to %2\n\nThe title will appear when you PLAY "
                                        "this part of the video.")
                             .arg(clip.titleText, clip.name));
        break;
    case TitleDialog::Outcome::TitleSwitchedOff:
        break;
    }
    qCDebug(appLog) << "Clip data after dialog - index:" << index << "showTitle:" << clip.showTitle
             << "titleText:" << clip.titleText;

    if (clip.containsSource(videoPlayer->position())) {
        if (clip.showTitle) {
            qCDebug(appLog) << "Currently playing this clip - enabling title rendering (hasEffects:"
                     << clip.hasEffects << ")";
            currentClipIndex = index;
        } else {
            qCDebug(appLog) << "Title removed from currently playing clip - updating effects";
        }
        pushClipToPreview(clip);
    }
    refreshViews();
}

void MainWindow::runStillFramePreview(QWidget *effectsDialog, const StillFrameEffects &effects)
{
    StillFramePreview::run(prompts(), effectsDialog, videoPlayer->currentFrame(), effects);
}

void MainWindow::setClipEffects()
{
    const int index = firstMarkedClipOrTell();
    if (index < 0)
        return;

    EffectsDialog dialog(clipList[index], this);
    connect(&dialog, &EffectsDialog::previewRequested, this,
            [this, &dialog](const StillFrameEffects &effects) { runStillFramePreview(&dialog, effects); });
    if (prompts().runDialog(dialog) != QDialog::Accepted)
        return;

    saveUndoState();
    Clip &clip = clipList[index];
    dialog.applyTo(clip);
    // The part already entered is not entered again when play resumes: its new look goes on now.
    if (index == currentClipIndex)
        applyWrapperEffects(clip);
    if (clip.containsSource(videoPlayer->position())) {
        qCDebug(appLog) << "Currently playing this clip - pushing effects to WYSIWYG pipeline";
        pushClipToPreview(clip);
    }
    prompts().notice(QStringLiteral("Effects Applied"),
                      QStringLiteral("Effects applied to %1\n\nYou see them as the video plays, and the "
                                     "saved video will have them too.")
                          .arg(clip.name));
    refreshViews();
}

// ---- export

void MainWindow::exportVideo()
{
    waitForEncoders();
    if (clipList.isEmpty()) {
        prompts().message(UserPrompts::Kind::Information, this, QStringLiteral("No Video"),
                          QStringLiteral("Please load a video first.\n\nDrag a video file here to get started!"));
        return;
    }
    ExportDialog dialog(prompts(), currentVideoPath, int(clipList.size()), editedDuration, this);
    dialog.setProjectPath(projectFilePath);
    dialog.suggestFolder(AppSettings::lastFolder(AppSettings::Folder::Export));
    dialog.chooseQuality(AppSettings::exportQuality());
    const QString videoPath = currentVideoPath;
    const ClipList clips = clipList;
    dialog.setOriginalQualityNote([videoPath, clips](bool withSound) {
        const auto index = Media::MediaIndexCache::instance().cached(videoPath);
        return SmartCut::originalQualitySummary(index.get(), clips, withSound);
    });
    if (prompts().runDialog(dialog) != QDialog::Accepted)
        return;

    const ExportSettings settings = dialog.settings();
    exportOutputPath = settings.outputPath;
    AppSettings::rememberFolderOf(AppSettings::Folder::Export, exportOutputPath);
    AppSettings::setExportQuality(dialog.qualityKey());
    ensureSourceAudioKnown();
    const ExportDecision decision = decideExport(settings, sourceHasAudio);
    switch (decision.action) {
    case ExportDecision::Action::Refuse:
        prompts().message(decision.kind, this, decision.title, decision.text);
        break;
    case ExportDecision::Action::ExportAudio:
        exportAudioOnly(exportOutputPath, settings.audioFormat, settings.audioBitrate);
        break;
    case ExportDecision::Action::ExportVideo:
        if (settings.originalQuality) {
            exportOriginalQuality(exportOutputPath, settings.audioMode);
            break;
        }
        exportWithFFmpeg(exportOutputPath, settings.targetWidth, settings.targetHeight, settings.crf,
                         settings.audioMode);
        break;
    }
}

bool MainWindow::exportWithFFmpeg(const QString &outputPath, int targetWidth, int targetHeight, int crf,
                                  int audioMode)
{
    ensureSourceAudioKnown();
    exportOutputPath = outputPath;
    exportedClips = clipList;
    waitForEncoders();
    ExportSource source;
    source.videoPath = currentVideoPath;
    source.projectPath = projectFilePath;
    source.clips = clipList;
    source.encoderDetector = encoderDetector.get();
    return exportController->exportWithFFmpeg(source, outputPath, targetWidth, targetHeight, crf, audioMode,
                                              sourceHasAudio);
}

bool MainWindow::exportOriginalQuality(const QString &outputPath, int audioMode)
{
    ensureSourceAudioKnown();
    exportOutputPath = outputPath;
    exportedClips = clipList;
    waitForEncoders();
    ExportSource source;
    source.videoPath = currentVideoPath;
    source.projectPath = projectFilePath;
    source.clips = clipList;
    source.encoderDetector = encoderDetector.get();
    return exportController->exportOriginalQuality(source, outputPath, audioMode, sourceHasAudio);
}

bool MainWindow::exportAudioOnly(const QString &outputPath, const QString &format, const QString &bitrate)
{
    ensureSourceAudioKnown();
    exportOutputPath = outputPath;
    exportedClips = clipList;
    ExportSource source;
    source.videoPath = currentVideoPath;
    source.projectPath = projectFilePath;
    source.clips = clipList;
    return exportController->exportAudioOnly(source, outputPath, format, bitrate, sourceHasAudio);
}

// ---- project file

void MainWindow::saveProject()
{
    if (currentVideoPath.isEmpty()) {
        showMessage(ProjectFile::noVideoMessage());
        return;
    }
    // Suggested beside the video, named after it, unless the edit already has a project.
    const QFileInfo video(currentVideoPath);
    const QString lastFolder = AppSettings::lastFolder(AppSettings::Folder::Project);
    const QString suggestion = !projectFilePath.isEmpty() ? projectFilePath
        : QDir(lastFolder.isEmpty() ? video.absolutePath() : lastFolder)
              .filePath(video.completeBaseName() + QStringLiteral(".tlp"));
    QString path = prompts().saveFileName(this, QStringLiteral("Save Project"), suggestion, ProjectFile::fileFilter());
    if (path.isEmpty())
        return;
    // Without the extension the open dialog's filter would not show the file.
    if (!QFileInfo(path).fileName().contains(QLatin1Char('.')))
        path += QStringLiteral(".tlp");
    writeProject(path);
}

void MainWindow::saveProjectInPlace()
{
    if (currentVideoPath.isEmpty()) {
        showMessage(ProjectFile::noVideoMessage());
        return;
    }
    if (projectFilePath.isEmpty())
        saveProject();
    else
        writeProject(projectFilePath);
}

bool MainWindow::writeProject(const QString &path)
{
    if (const std::optional<EditMessage> refusal = projectSaveRefusal(path, currentVideoPath)) {
        showMessage(*refusal);
        return false;
    }
    const QString problem = FilenameValidator::getValidationError(path);
    if (!problem.isEmpty()) {
        showMessage(ProjectFile::invalidFileNameMessage(problem));
        return false;
    }

    // A failed write leaves an existing project as it was, and the edit unsaved.
    const QString writeError =
        writeFileAtomically(path, ProjectFile::write(currentVideoPath, videoDuration, clipList, projectExtras));
    if (!writeError.isEmpty()) {
        showMessage(ProjectFile::saveFailedMessage(writeError));
        return false;
    }
    projectFilePath = QFileInfo(path).absoluteFilePath();
    AppSettings::rememberFolderOf(AppSettings::Folder::Project, projectFilePath);
    rememberRecent(projectFilePath);
    markEditSaved();
    showConfirmation(ProjectFile::savedMessage(projectFilePath));
    return true;
}

void MainWindow::loadProject()
{
    if (!confirmCloseEdit())
        return;
    const QString path = prompts().openFileName(this, QStringLiteral("Load Project"),
                                                AppSettings::lastFolder(AppSettings::Folder::Project),
                                                ProjectFile::fileFilter());
    if (path.isEmpty())
        return;
    AppSettings::rememberFolderOf(AppSettings::Folder::Project, path);
    loadProjectFile(path);
}

void MainWindow::openFile(const QString &path)
{
    if (QFileInfo(path).suffix().compare(QLatin1String("tlp"), Qt::CaseInsensitive) == 0)
        loadProjectFile(path);
    else
        loadVideo(path);
}

void MainWindow::loadProjectFile(const QString &projectPath)
{
    openProject(projectPath, ProjectOrigin::UserFile);
}

void MainWindow::openProject(const QString &projectPath, ProjectOrigin origin)
{
    const QString special = specialFileReason(projectPath);
    if (!special.isEmpty()) {
        showMessage(ProjectFile::loadFailedMessage(special));
        return;
    }
    QFile file(projectPath);
    if (!file.open(QIODevice::ReadOnly)) {
        showMessage(ProjectFile::loadFailedMessage(file.errorString()));
        return;
    }
    // Anything larger is not a project (a video picked by mistake): read only enough to know.
    const ProjectFile::ReadResult project = ProjectFile::read(file.read(ProjectFile::MaxFileBytes + 1));
    file.close();
    if (project.warning)
        showMessage(*project.warning);
    if (project.error) {
        showMessage(*project.error);
        return;
    }

    // A relative path (a hand-written project) is taken from the project's own folder first.
    QString videoPath = project.videoPath;
    const QString besideProject = QFileInfo(projectPath).absoluteDir().filePath(videoPath);
    if (QFileInfo(videoPath).isRelative() && QFileInfo::exists(besideProject))
        videoPath = besideProject;
    if (!QFileInfo::exists(videoPath)) {
        showMessage(ProjectFile::videoNotFoundMessage(videoPath));
        videoPath = prompts().openFileName(this, QStringLiteral("Locate Video File"),
                                           QFileInfo(videoPath).absolutePath(), ProjectFile::videoFilter());
        if (videoPath.isEmpty())
            return;
    }

    rememberLoadedVideo = false; // the project is what the recent list shows
    loadVideo(videoPath);
    rememberLoadedVideo = true;
    if (currentVideoPath != videoPath)
        return; // the video failed at once, said why and left no video to edit

    // Kept as stored (not sorted, not laid out): the views and playback rules cope with
    // whatever ranges the file holds. The edited length, the ruler and the time label
    // follow the loaded list, as after an undo, rather than reading 00:00.
    clipList = project.clips;
    projectExtras = project.extras;
    editedDuration = clipList.isEmpty() ? videoDuration : std::max<qint64>(0, clipList.last().endTime);
    timelineWidget->setDuration(editedDuration);
    if (origin == ProjectOrigin::Autosave) {
        // Not a project of the user's: the edit stays unsaved, and this program's own copy
        // holds it from now on.
        cleanClips.clear();
        refreshViews();
        autosave->writeNow();
        const int parts = int(clipList.size());
        showConfirmation({UserPrompts::Kind::Information, QStringLiteral("Edit Restored"),
                          QStringLiteral("Your edit of %1 is back: %2 %3.")
                              .arg(QFileInfo(videoPath).fileName())
                              .arg(parts)
                              .arg(parts == 1 ? QStringLiteral("part") : QStringLiteral("parts"))});
        return;
    }
    cleanClips = clipList;
    refreshViews();
    projectFilePath = QFileInfo(projectPath).absoluteFilePath();
    rememberRecent(projectFilePath);
    showConfirmation(ProjectFile::loadedMessage(projectFilePath, int(clipList.size())));
}

// ---- keys, drops, resize

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (key == Qt::Key_Right || key == Qt::Key_Left) {
        if (!event->isAutoRepeat()) {
            skipDirection = key == Qt::Key_Right ? 1 : 2;
            skip(skipDirection);
            repeatTimer->start();
        }
        event->accept();
        return;
    }
    if (key == Qt::Key_Space) {
        playPause();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((key == Qt::Key_Right || key == Qt::Key_Left) && !event->isAutoRepeat()) {
        repeatTimer->stop();
        skipDirection = 0;
        event->accept();
        return;
    }
    QMainWindow::keyReleaseEvent(event);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::Paint && !encoderProbeScheduled && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->window() == this) {
        encoderProbeScheduled = true;
        // Each in a turn of its own, so the window goes on painting between them. A video
        // being opened makes the displays itself, after its play has started.
        // Decoding the icon's six sizes and sending them to the window system can wait.
        QTimer::singleShot(0, this, [this] {
            const QIcon icon = loadAppIcon();
            setWindowIcon(icon);
            QApplication::setWindowIcon(icon);
        });
        QTimer::singleShot(0, this, [this] {
            if (!displaysWaitForPlay)
                warmUpOpenGL();
        });
        QTimer::singleShot(0, this, [this] {
            if (!displaysWaitForPlay)
                ensureDisplays();
        });
        QTimer::singleShot(0, this, &MainWindow::ensurePlayer);
        // A video being opened paints these fonts itself, soon; the window must not wait for them.
        QTimer::singleShot(0, this, [this] {
            if (awaitingLoad)
                return;
            timelineWidget->warmUpText();
            audioWaveform->warmUpText();
        });
        // The probe's test encodes take a core for a while: a video being opened shows its
        // first frame before them.
        if (awaitingLoad) {
            connect(videoPlayer, &VideoPlayer::frameReady, this, [this] {
                QTimer::singleShot(500, this, &MainWindow::startEncoderProbe);
            }, Qt::SingleShotConnection);
            QTimer::singleShot(3000, this, &MainWindow::startEncoderProbe);
        } else {
            QTimer::singleShot(0, this, &MainWindow::startEncoderProbe);
        }
    }
    if (watched == clipListView && (type == QEvent::ShortcutOverride || type == QEvent::KeyPress)) {
        // In the parts list Enter and Space choose the part they are on, not their shortcuts.
        auto *keyEvent = static_cast<QKeyEvent *>(event);
        const int key = keyEvent->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            keyEvent->accept();
            if (type == QEvent::KeyPress && clipListView->currentRow() >= 0)
                choosePart(clipListView->currentRow(), keyEvent->modifiers().testFlag(Qt::ControlModifier));
            return true;
        }
    }
    // The timeline with the focus moves between parts with the arrows. (A key reaches the
    // window's native window before the focus widget, so the focus decides, not the receiver.)
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && QApplication::focusWidget() != timelineWidget) {
        auto *keyEvent = static_cast<QKeyEvent *>(event);
        if (keyEvent->key() == Qt::Key_Left || keyEvent->key() == Qt::Key_Right) {
            if (type == QEvent::KeyPress)
                keyPressEvent(keyEvent);
            else
                keyReleaseEvent(keyEvent);
            return true;
        }
    } else if (type == QEvent::MouseButtonPress) {
        if (watched->parent() == videoStack || watched->parent() == fullScreenVideoStack) {
            setFocus();
            activateWindow();
        }
    } else if (type == QEvent::MouseButtonRelease && currentVideoPath.isEmpty()
               && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton
               && (watched == videoWrapper || watched->parent() == videoStack)) {
        // The empty video area says "click to browse".
        QTimer::singleShot(0, this, &MainWindow::openVideo);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty())
        return;
    const QUrl &url = urls.first();
    if (!url.isLocalFile())
        return;
    event->acceptProposedAction();
    const QString path = url.toLocalFile();
    // Asked once the drop has ended, so the question is not shown inside the drag.
    QTimer::singleShot(0, this, [this, path] {
        if (confirmCloseEdit())
            openFile(path);
    });
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (dropHintLabel)
        dropHintLabel->setGeometry(rect());
    relayoutTitleOverlay();
}

void MainWindow::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    // The overlay is a window of its own and would otherwise stay where it was.
    relayoutTitleOverlay();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !titleOverlay)
        return;
    if (isMinimized()) {
        if (titleOverlay->isVisible()) {
            titleOverlay->hide();
            titleHiddenByMinimise = true;
        }
    } else if (titleHiddenByMinimise) {
        titleHiddenByMinimise = false;
        if (titleHideTimer->isActive()) {
            titleOverlay->show();
            relayoutTitleOverlay();
        }
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!confirmCloseEdit()) {
        event->ignore();
        return;
    }
    AppSettings::setWindowGeometry(saveGeometry());
    autosave->discard();
    titleHideTimer->stop();
    titleOverlay->hide();
    QMainWindow::closeEvent(event);
}

#pragma once

#include "clip.h"
#include "edithistory.h"
#include "editautosave.h"
#include "editoperations.h"
#include "userprompts.h"

#include <QJsonObject>
#include <QMainWindow>
#include <QProcess>
#include <atomic>
#include <memory>

class AudioWaveform;
class ClipListPanel;
class ExportController;
class HardwareEncoderDetector;
class ModernButton;
class NoticeBanner;
class ModernSlider;
class ProcessedVideoDisplay;
class QLabel;
class QListWidget;
class QMenu;
class QStackedWidget;
class QThread;
class QTimer;
class QVideoWidget;
struct StillFrameEffects;
class TimelineWidget;
class TitleOverlay;
class VideoGLWidget;
class VideoPlayer;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Not owned; nullptr restores the message boxes and file dialogs.
    void setUserPrompts(UserPrompts *prompts);
    UserPrompts &prompts() const;

    void loadVideo(const QString &path);
    // The load of a chosen project file, also reached from the command line.
    void loadProjectFile(const QString &projectPath);
    // A project for a ".tlp" path, a video otherwise.
    void openFile(const QString &path);

    const ClipList &clips() const { return clipList; }
    VideoPlayer *player() const { return videoPlayer; }
    TimelineWidget *timeline() const { return timelineWidget; }
    QListWidget *clipListWidget() const { return clipListView; }
    AudioWaveform *waveform() const { return audioWaveform; }

    QString currentVideo() const { return currentVideoPath; }
    qint64 currentSelectionStart() const { return selectionStart; }
    int currentSelectedClipIndex() const { return selectedClipIndex; }
    qint64 currentVideoDuration() const { return videoDuration; }
    qint64 currentEditedDuration() const { return editedDuration; }
    // Null until the probe that starts with the window has finished.
    const HardwareEncoderDetector *encoders() const { return encoderDetector.get(); }
    ExportController *exporter() const { return exportController; }
    NoticeBanner *noticeBanner() const { return notices; }
    QString currentExportOutputPath() const { return exportOutputPath; }
    // Changes since the edit was loaded, saved to a project or exported.
    bool hasUnsavedChanges() const;
    // The start-up greeting (restore offer or welcome) has had its turn.
    bool hasGreeted() const { return greeted; }
    EditAutosave *editAutosave() const { return autosave; }
    QMenu *recentFilesMenu() const { return recentMenu; }

    // Start an export of the edit; true when ffmpeg was started.
    bool exportWithFFmpeg(const QString &outputPath, int targetWidth, int targetHeight, int crf, int audioMode);
    bool exportAudioOnly(const QString &outputPath, const QString &format, const QString &bitrate);
    bool exportOriginalQuality(const QString &outputPath, int audioMode);
    bool isFullScreenMode() const { return isFullScreen; }
    const EditHistory &history() const { return editHistory; }

    // The clip whose title and wrapper effects follow the playhead; -1 for none.
    int playingClipIndex() const { return currentClipIndex; }
    QLabel *titleOverlayWindow() const;
    QTimer *titleOverlayTimer() const { return titleHideTimer; }
    QWidget *videoWrapperWidget() const { return videoWrapper; }

public slots:
    void openVideo();
    void toggleFullScreen();
    void updatePerformanceDisplay(double fps, bool isLagging);
    void showAbout();
    void showDonate();
    void showWelcome();

    void playPause();
    void toggleMute();
    void adjustVolume(int value);
    void frameByFrame(bool forward);
    void stepFrameBack();
    void stepFrameForward();
    void positionChanged(qint64 position);
    void zoomTimelineIn();
    void zoomTimelineOut();

    void durationChanged(qint64 duration);
    void handleClipClicked(int index);
    void handlePositionClicked(qint64 position);
    // Selects a part as a click on it does; toggle adds or removes it as a Control-click does.
    void choosePart(int index, bool toggle);

    void setSelectionStart();
    void setSelectionEnd();
    void markClip();
    void splitAtPlayhead();
    void trimClipStart();
    void trimClipEnd();
    void deleteSelectedClips();
    void deleteMarkedClips();
    void deleteUnmarkedClips();
    void previewSelection();

    void undoLastAction();
    void redoLastAction();

    void setClipTitle();
    void setClipEffects();
    void exportVideo();

    void saveProject();
    // Saves to the project the edit came from or was last saved to; asks where otherwise.
    void saveProjectInPlace();
    void loadProject();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    enum class ProjectOrigin { UserFile, Autosave };
    void openProject(const QString &projectPath, ProjectOrigin origin);
    void greet();
    void offerRestore(const EditAutosave::Orphan &orphan);
    // Asks about unsaved changes; false when the user keeps the edit open.
    bool confirmCloseEdit();
    void markEditSaved();
    void editChanged();
    void onExportFinished(int result);
    void rebuildRecentMenu();
    void openRecent(const QString &path);
    void rememberRecent(const QString &path);
    void ensureSourceAudioKnown();
    void buildWidgetTree();
    QWidget *buildEditPanel();
    void buildShortcuts();
    void ensureDisplays();
    void ensurePlayer();
    void connectPlayer();
    void startEncoderProbe();
    void applyProcessingMode(bool enabled);

    void updateTitleOverlay();
    void showTitleOverlay(const Clip &clip);
    void relayoutTitleOverlay();
    QWidget *overlayReference() const;
    void applyWrapperEffects(const Clip &clip);
    void clearWrapperEffects();
    int firstMarkedClipOrTell();
    void pushClipToPreview(const Clip &clip);
    void runStillFramePreview(QWidget *effectsDialog, const StillFrameEffects &effects);

    void recalculateTimeline();
    void recalculateOrReset();
    void saveUndoState();
    void refreshClipList();
    void refreshViews();
    void restoreFromHistory(const ClipList &restored);
    EditState editState() const;
    void applyEdit(const EditOutcome &outcome);
    void showMessage(const EditMessage &message);
    // A confirmation as a notice; a warning or an error as a message box.
    void showConfirmation(const EditMessage &message);

    void updateTimeLabel();
    // The source time of the frame on screen: what every edit at the playhead uses.
    qint64 shownSourceTime() const;
    void seekAndShow(qint64 target);
    void showEditTime(qint64 source);
    // The selected part that trims act on, or -1 when none shows as selected.
    int shownCurrentPart() const;
    void partsChosen();
    void rangeChosen();
    void takeListSelection();
    void followLookOfShownPart(bool showAgain);
    void showPositionInEdit();
    void skip(int direction);
    void repeatSkip();
    void onMediaReady();
    void onLoadFailed(const QString &errorText);
    void onEndOfMedia();
    void resetToNoVideo();
    QString readyStatusText() const;

    VideoPlayer *videoPlayer = nullptr;

    ClipList clipList;
    QString currentVideoPath;
    qint64 selectionStart = -1;
    qint64 selectionEnd = -1;
    int selectedClipIndex = -1;
    qint64 videoDuration = 0;
    qint64 editedDuration = 0;

    EditHistory editHistory;

    TimelineWidget *timelineWidget = nullptr;
    AudioWaveform *audioWaveform = nullptr;
    QListWidget *clipListView = nullptr;
    std::unique_ptr<ClipListPanel> clipListPanel;
    QStackedWidget *videoStack = nullptr;
    VideoGLWidget *videoWidget = nullptr;
    ProcessedVideoDisplay *processedDisplay = nullptr;
    QStackedWidget *fullScreenVideoStack = nullptr;
    VideoGLWidget *fullScreenVideoWidget = nullptr;
    ProcessedVideoDisplay *fullScreenProcessedDisplay = nullptr;
    bool encoderProbeScheduled = false;
    EditAutosave *autosave = nullptr;
    ClipList cleanClips;               // the edit as last loaded, saved or exported
    ClipList exportedClips;            // the edit of the export running
    QMenu *recentMenu = nullptr;
    bool rememberLoadedVideo = true;
    bool greeted = false;
    bool sourceAudioKnown = false;
    QStackedWidget *pageStack = nullptr;
    ModernButton *playButton = nullptr;
    ModernButton *muteButton = nullptr;
    ModernSlider *volumeSlider = nullptr;
    QLabel *timeLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *dropHintLabel = nullptr;
    QVideoWidget *hiddenVideoOutput = nullptr;
    QWidget *videoWrapper = nullptr;

    int currentClipIndex = -1;
    // A top-level window: owned here, not through a Qt parent.
    std::unique_ptr<TitleOverlay> titleOverlay;
    QTimer *titleHideTimer = nullptr;
    // Hidden because the window was minimised; shown again on restore while its time lasts.
    bool titleHiddenByMinimise = false;
    QTimer *repeatTimer = nullptr;
    int skipDirection = 0;
    bool sourceHasAudio = true;
    bool isFullScreen = false;
    // Set between asking the player to load a file and its first answer.
    bool awaitingLoad = false;
    bool displaysWaitForPlay = false;
    void makeDisplaysWhenPlayStarts();
    void ensureFullScreenDisplays();
    void addDisplays(QStackedWidget *stack, VideoGLWidget *raw, ProcessedVideoDisplay *processed);

    std::unique_ptr<HardwareEncoderDetector> encoderDetector;
    // Probed on this thread at start; handed over when it finishes.
    QThread *encoderProbe = nullptr;
    std::unique_ptr<HardwareEncoderDetector> probedEncoders;
    void onEncodersProbed();
    void waitForEncoders();
    ExportController *exportController = nullptr;
    QString exportOutputPath;
    QString projectFilePath;    // the project file of this edit, once opened or saved
    QJsonObject projectExtras;  // what a newer version stored in it that this one does not know
    bool writeProject(const QString &path);
    // Reads the loaded video's packet index in the background for the original-quality export.
    void startSourceAnalysis(const QString &path);
    void stopSourceAnalysis();
    QThread *analysisThread = nullptr;
    std::shared_ptr<std::atomic<bool>> analysisCancel;

    std::unique_ptr<DefaultUserPrompts> defaultPrompts;
    NoticeBanner *notices = nullptr;
    UserPrompts *activePrompts = nullptr;
};

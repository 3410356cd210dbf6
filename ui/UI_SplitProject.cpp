#include "UI_SplitProject.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "UI_MergeWidget.h"
#include "UI_MyMessageBox.h"
#include "UI_SplitWidget.h"
#include "WidgetLook.h"

namespace {

const char* const kTabStyle =
    "QTabWidget::tab-bar {alignment: center;height:50px;} \t\t\t\t\t\t\t   "
    "QTabWidget::pane{ border-top: 2px solid #C2C7CB;position: absolute;top: -0.1em;} "
    "\t\t\t\t\t\t\t   "
    "QTabBar::tab {background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,stop: 0 #E1E1E1, "
    "stop: 0.4 #DDDDDD,stop: 0.5 #D8D8D8, stop: 1.0 #D3D3D3);border: 2px solid #C4C4C3;"
    "\tborder-bottom-color: #C2C7CB; border-top-left-radius: 4px;border-top-right-radius: 4px;"
    "\tmin-width: 8ex;padding: 10px;}\t\t\t\t\t\t\t   "
    "QTabBar::tab:selected, QTabBar::tab:hover {background: qlineargradient(x1: 0, y1: 0, "
    "x2: 0, y2: 1,stop: 0 #fafafa, stop: 0.4 #f4f4f4,stop: 0.5 #e7e7e7, stop: 1.0 #fafafa);}"
    "\t\t\t\t\t\t\t   "
    "QTabBar::tab:selected {border-color: #9B9B9B;\tborder-bottom-color: #C2C7CB; }";

const char* const kAboutText =
    "Orvellan Partwise is a smart utility which can help you split big files into small "
    "pieces so that they can be easily shared. After the split, you can rejoin or merge the "
    "splitted files as a whole one.\n\nHere is a list of file size limits supported by some "
    "popular online file sharing sites for your reference:";

constexpr int kWidth = 780;
constexpr int kHeight = 480;

}  // namespace

UI_SplitProject::UI_SplitProject(QWidget* parent) : QWidget(parent) {
    useArial(this, 10);

    resize(kWidth, kHeight);
    setMinimumSize(kWidth, kHeight);
    setMaximumSize(kWidth, kHeight);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    setAutoFillBackground(true);

    splitPage = new QWidget;
    splitPage->setObjectName("splitPage");
    mergePage = new QWidget;
    mergePage->setObjectName("mergePage");
    referencePage = new QWidget;
    referencePage->setObjectName("referencePage");
    splitWidget = new UI_SplitWidget(splitPage);
    splitWidget->setObjectName("splitWidget");
    mergeWidget = new UI_MergeWidget(mergePage);
    mergeWidget->setObjectName("mergeWidget");
    splitWidget->mainWindow = this;
    mergeWidget->mainWindow = this;

    tabWidget = new QTabWidget(this);
    tabWidget->setObjectName("tabWidget");
    tabWidget->addTab(splitPage, "Split File");
    tabWidget->addTab(mergePage, "Join File ");
    tabWidget->addTab(referencePage, "  Reference   ");
    tabWidget->setStyleSheet(kTabStyle);

    setWindowTitle("Orvellan Free Partwise");

    aboutLabel = new QLabel(referencePage);
    aboutLabel->setObjectName("aboutLabel");
    tableImageLabel = new QLabel(referencePage);
    tableImageLabel->setObjectName("tableImageLabel");
    aboutLabel->setText(kAboutText);
    aboutLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    aboutLabel->setWordWrap(true);

    versionLabel = new QLabel(this);
    versionLabel->setObjectName("versionLabel");
    versionLabel->setText("Version 1.1");
    versionLabel->setStyleSheet("QLabel { color: #6c6c6c;font: 9pt;}");

    tabWidget->setGeometry(50, 20, kWidth - 100, kHeight - 60);
    const int tabWidth = tabWidget->geometry().width();
    const int tabHeight = tabWidget->geometry().height();
    splitPage->setGeometry(0, 0, tabWidth, tabHeight);
    mergePage->setGeometry(0, 0, tabWidth, tabHeight);
    versionLabel->setGeometry(kWidth - 80, kHeight - 30, 100, 20);
    splitWidget->placeWidgets(0, 30, tabWidth, tabHeight);
    mergeWidget->placeWidgets(0, 30, tabWidth, tabHeight);
    aboutLabel->setGeometry(10, 40, tabWidth - 10, 80);
    tableImageLabel->setGeometry(10, 120, 552, tabHeight - 165);

    QPalette tablePalette = palette();
    const QPixmap table = QPixmap(":/image/ref_tables.png")
                              .scaled(tableImageLabel->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    tablePalette.setBrush(QPalette::Window, QBrush(table));
    tableImageLabel->setPalette(tablePalette);
    tableImageLabel->setAutoFillBackground(true);

    setWindowIcon(QIcon(":/image/program.ico"));
}

UI_SplitProject::~UI_SplitProject() = default;

void UI_SplitProject::setEngineBusy(bool engineBusy) {
    // The check of every byte yields to any other engine action.
    if (engineBusy) mergeWidget->stopFullCheck();
    busy = engineBusy;
    // The note about closing is out of date once the job is over.
    if (!busy && busyNote) busyNote->close();
    // The window stays live while the engine works; the cursor says it is busy.
    if (busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
    splitWidget->setEngineBusy(engineBusy);
    mergeWidget->setEngineBusy(engineBusy);
}

void UI_SplitProject::stopAndQuit(int signo) {
    if (stopRequested) return;
    stopRequested = true;
    stopSigno = signo;
    mergeWidget->stopFullCheck();
    splitWidget->cancelJob();
    mergeWidget->cancelJob();
    // Ends a modal dialog's loop too. The tabs wait for their threads when
    // the window goes: a cancelled split or join cleans up before it ends.
    QCoreApplication::exit(0);
}

void UI_SplitProject::pressStartWhenReady() {
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        if (busy) return;
        const char* name = tabWidget->currentWidget() == mergePage ? "m_merge_Button" : "m_split_Button";
        auto* button = findChild<QPushButton*>(QString::fromLatin1(name));
        if (button == nullptr || !button->isEnabled()) return;
        poll->stop();
        poll->deleteLater();
        button->click();
    });
    poll->start(20);
}

void UI_SplitProject::openPath(const QString& path) {
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString chunkFolder = UI_MergeWidget::chunkFolderOf(absolute);
    if (!chunkFolder.isEmpty()) {
        tabWidget->setCurrentWidget(mergePage);
        mergeWidget->listChunkFolder(chunkFolder);
    } else if (QFileInfo::exists(absolute)) {
        tabWidget->setCurrentWidget(splitPage);
        splitWidget->chooseSource(absolute);
    }
}

void UI_SplitProject::mousePressEvent(QMouseEvent* event) {
    dragging = 1;
    pressX = event->position().toPoint().x();
    pressY = event->position().toPoint().y();
}

void UI_SplitProject::mouseReleaseEvent(QMouseEvent*) { dragging = 0; }

void UI_SplitProject::mouseMoveEvent(QMouseEvent* event) {
    if (dragging != 1) return;
    const QPoint at = event->position().toPoint();
    setGeometry(geometry().translated(at.x() - pressX, at.y() - pressY));
}

void UI_SplitProject::closeEvent(QCloseEvent* event) {
    // Quitting under a running job would leave a half-written chunk set or
    // output behind; its progress window's Cancel stops it and cleans up.
    if (busy) {
        event->ignore();
        if (busyNote)
            busyNote->raise();
        else
            busyNote =
                named(showNote(this, "A split or join is still running: cancel it, or wait until it has finished."),
                      "busyNote");
        return;
    }
    mergeWidget->stopFullCheck();
    event->accept();
}

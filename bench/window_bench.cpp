// Times the window on large inputs, offscreen: listing chunk sets of 1,000,
// 20,000 and 200,000 chunks on the Join tab and checking every byte of them
// in the background, joining the 200,000-chunk set and deleting its chunks,
// and adding a folder of 100,000 files on the Split tab. Each figure runs
// from the request to the painted window; beside it, the longest time the
// window's thread went without serving its event loop, which is what a user
// sees as a freeze, and the resident memory the listed window holds beyond
// the empty one.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "UI_MergeWidget.h"
#include "UI_SplitProject.h"
#include "partwise/splitter.h"

namespace {

struct Figure {
    double seconds = 0;
    double longestPause = 0;
    double heldMiB = 0;
    double checkedSeconds = 0;  // until every byte was checked
    double checkingPause = 0;   // the longest while every byte was checked
};

// Notes the longest time between two beats of a 5 ms timer.
class PauseWatch {
public:
    PauseWatch() {
        QObject::connect(&heart, &QTimer::timeout,
                         [this] { longest = std::max(longest, static_cast<double>(beat.restart()) / 1000.0); });
        beat.start();
        heart.start(5);
    }
    double longest = 0;

private:
    QElapsedTimer beat;
    QTimer heart;
};

void serveUntil(const std::function<bool()>& done) {
    while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

// This process's resident memory, from /proc.
double residentMiB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// Opens path in a fresh window as "partwise PATH" would, and waits for the
// result to be painted.
Figure timeOpening(const QString& path) {
    UI_SplitProject window;
    window.show();
    QApplication::processEvents();
    const double residentBefore = residentMiB();

    PauseWatch pauses;
    QElapsedTimer clock;
    clock.start();
    window.openPath(path);
    serveUntil([&] { return !window.engineBusy(); });
    window.grab();  // lays out and paints the listed rows
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double held = residentMiB() - residentBefore;
    const double listingPause = pauses.longest;
    pauses.longest = 0;
    const auto* tab = window.findChild<UI_MergeWidget*>("mergeWidget");
    serveUntil([&] { return !tab->checkingEveryByte(); });
    return {seconds, listingPause, held, static_cast<double>(clock.nsecsElapsed()) / 1e9, pauses.longest};
}

// Joins the set in chunkFolder into outFolder with "Delete source files
// after joining" ticked: from "Join" to the last chunk deleted.
Figure timeJoinAndDelete(const QString& chunkFolder, const QString& outFolder) {
    UI_SplitProject window;
    window.show();
    window.openPath(chunkFolder);
    serveUntil([&] { return !window.engineBusy(); });
    auto* tab = window.findChild<UI_MergeWidget*>("mergeWidget");
    tab->findChild<QLineEdit*>("outPathLineEdit")->setText(outFolder);
    tab->findChild<QCheckBox*>("deleteSourceCheckBox")->setChecked(true);
    const QAbstractItemModel* rows = tab->findChild<QAbstractItemModel*>("chunkModel");
    // The completion dialog waits for "Finish": it gets it as soon as it shows.
    QTimer finisher;
    QObject::connect(&finisher, &QTimer::timeout, [tab] {
        if (auto* done = tab->findChild<QWidget*>("joinCompleteDialog"); done && done->isVisible()) done->hide();
    });
    finisher.start(20);
    ::sync();
    PauseWatch pauses;
    QElapsedTimer clock;
    clock.start();
    tab->findChild<QPushButton*>("m_merge_Button")->click();
    // The list empties when the deletion starts; the window is free once it has ended.
    serveUntil([&] { return rows->rowCount() == 0 && !window.engineBusy(); });
    return {static_cast<double>(clock.nsecsElapsed()) / 1e9, pauses.longest, 0, 0, 0};
}

Figure medianOf3(const QString& path) {
    // The data was just written: its write-back must not slow the timed runs.
    ::sync();
    std::vector<Figure> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(timeOpening(path));
    std::sort(runs.begin(), runs.end(), [](const Figure& a, const Figure& b) { return a.seconds < b.seconds; });
    return runs[1];
}

// A chunk set of count one-byte chunks.
QString makeChunkSet(const QString& root, int count) {
    const QString folder = QString("%1/set%2").arg(root).arg(count);
    QDir().mkpath(folder);
    const QString source = folder + QString("/c%1.bin").arg(count);
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(count, 'x')) != count) qFatal("cannot write");
    file.close();
    partwise::SplitJob job;
    std::memset(&job, 0, sizeof job);
    std::strcpy(job.sourcePath, QFile::encodeName(source).constData());
    std::strcpy(job.outputFolder, QFile::encodeName(folder).constData());
    job.totalSize = count;
    job.chunkSize = 1;
    if (partwise::RunSplit(job) != 0) qFatal("cannot split %s", qPrintable(source));
    return folder + QString("/c%1_spt").arg(count);
}

QString makeFolder(const QString& root, int count) {
    const QString folder = root + "/files";
    for (int i = 0; i < count; ++i) {
        if (i % 1000 == 0) QDir().mkpath(folder + QString("/d%1").arg(i / 1000));
        const std::string path = QFile::encodeName(folder + QString("/d%1/f%2").arg(i / 1000).arg(i)).toStdString();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, "data", 4) != 4 || ::close(fd) != 0) qFatal("cannot write %s", path.c_str());
    }
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(image);
    QTemporaryDir temp(qEnvironmentVariable("BENCH_DIR", QDir::tempPath()) + "/partwise-window-bench.XXXXXX");
    if (!temp.isValid()) qFatal("cannot make a temporary folder");

    std::printf("Listing a chunk set on the Join tab (median of 3; window offscreen):\n");
    std::printf("%10s  %10s  %14s  %22s  %10s  %16s  %14s\n", "chunks", "seconds", "x previous", "longest pause (s)",
                "held (MiB)", "every byte (s)", "its pause (s)");
    int previousCount = 0;
    double previousSeconds = 0;
    for (int count : {1000, 20000, 200000}) {
        const Figure figure = medianOf3(makeChunkSet(temp.path(), count));
        char ratio[40] = "";
        if (previousCount > 0)
            std::snprintf(ratio, sizeof ratio, "%.1f (%dx)", figure.seconds / previousSeconds, count / previousCount);
        std::printf("%10d  %10.3f  %14s  %22.3f  %10.1f  %16.3f  %14.3f\n", count, figure.seconds, ratio,
                    figure.longestPause, figure.heldMiB, figure.checkedSeconds, figure.checkingPause);
        std::fflush(stdout);
        previousCount = count;
        previousSeconds = figure.seconds;
    }

    std::vector<Figure> deletions;
    for (int i = 0; i < 3; ++i) {
        const QString out = temp.filePath(QString("joined%1").arg(i));
        QDir().mkpath(out);
        QDir(temp.filePath("set200000")).removeRecursively();
        deletions.push_back(timeJoinAndDelete(makeChunkSet(temp.path(), 200000), out));
        QDir(out).removeRecursively();
    }
    std::sort(deletions.begin(), deletions.end(),
              [](const Figure& a, const Figure& b) { return a.seconds < b.seconds; });
    std::printf("\nJoining a set of 200,000 chunks and deleting its chunks (median of 3):\n");
    std::printf("%10s  %10.3f  %14s  %22.3f\n", "chunks", deletions[1].seconds, "", deletions[1].longestPause);
    std::fflush(stdout);

    const Figure folder = medianOf3(makeFolder(temp.path(), 100000));
    std::printf("\nAdding a folder of 100,000 files on the Split tab (median of 3):\n");
    std::printf("%10s  %10.3f  %14s  %22.3f\n", "files", folder.seconds, "", folder.longestPause);
    std::fflush(stdout);  // before the removal of the data, which takes a while
    Q_CLEANUP_RESOURCE(image);
    return 0;
}

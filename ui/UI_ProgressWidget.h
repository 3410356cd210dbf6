#pragma once
// The frameless "Splitting..." / "Joining..." window: caption, percentage,
// bar, the speed and time left, and "Cancel". Shown without blocking while a
// job runs; it cannot be dragged, and Escape does not hide it.
#include <QDialog>
#include <QElapsedTimer>

#include <cstdint>

#include "partwise/progress.h"

class QLabel;
class QProgressBar;
class QPushButton;

class UI_ProgressWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_ProgressWidget(QWidget* parent = nullptr);

    void setCaption(const QString& caption);
    // Sets the rectangle and lays out the children; the size stays free.
    void placeDialog(int x, int y, int w, int h);
    // The label shows any value; the bar ignores values outside 0 to 100.
    void setPercent(int value);
    // For a new job: 0%, no speed yet, "Cancel" offered, the clock at 0.
    void startJob();
    // One sample of the counters; the speed and time left show once they
    // mean something. While the job waits for the disk, that is said instead.
    void showRate(int64_t bytesDone, int64_t totalBytes, bool flushing = false);
    // As a press of "Cancel", when it is still offered.
    void cancel();

signals:
    // "Cancel" was pressed; it is offered once per job.
    void cancelRequested();
    // The window manager was asked to close it (its close box, Alt+F4):
    // meant for the window, which says that a job runs.
    void closeAsked();

public slots:
    // Escape: a running job is stopped only through "Cancel".
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QProgressBar* progressBar;
    QLabel* captionLabel;
    QLabel* percentLabel;
    QLabel* rateLabel;
    QPushButton* cancelButton;
    QElapsedTimer clock;
    partwise::RateEstimate rate;
};

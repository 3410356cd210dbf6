#pragma once
// The frameless "Splitting..." / "Joining..." window: caption, percentage and
// bar. Shown without blocking while a job runs; it cannot be dragged.
#include <QDialog>

class QLabel;
class QProgressBar;

class UI_ProgressWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_ProgressWidget(QWidget* parent = nullptr);

    void setCaption(const QString& caption);
    // Sets the rectangle and lays out the children; the size stays free.
    void placeDialog(int x, int y, int w, int h);
    // The label shows any value; the bar ignores values outside 0 to 100.
    void setPercent(int value);

private:
    QProgressBar* progressBar;
    QLabel* captionLabel;
    QLabel* percentLabel;
};

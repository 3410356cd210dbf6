#pragma once
// The frameless message box: title line, optional icon, word-wrapped text,
// "OK" and "Cancel". The owner reads `result` after run(): 1 for "OK", 0 for
// "Cancel" or any other way of closing it. Dragging its body moves it.
#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QPixmap;
class QPushButton;

class UI_MyMessageBox : public QDialog {
    Q_OBJECT
public:
    explicit UI_MyMessageBox(QWidget* parent = nullptr);

    // Sets the rectangle and fixes the size; call before setContent, which
    // lays out for that size.
    void placeDialog(int x, int y, int w, int h);
    void setContent(const QString& title, const QString& text, bool showOk, bool showCancel);
    // Paints the icon label's background with pixmap, unscaled.
    void setIconPixmap(const QPixmap& pixmap);
    // Another text for "OK"; after setContent.
    void setOkText(const QString& text);
    // Makes "Cancel" the button that Enter presses.
    void setCancelDefault();
    // Runs the box modally and returns `result`. When a test has queued an
    // answer, the box is answered with it at once and never shown.
    int run();

    bool iconLayout = false;
    int result = 0;

    // Each call answers one more box, in order; reset() drops what is left.
    static void setNextAnswer(int answer);
    static void reset();
    // The texts of the boxes answered from the queue since the last reset().
    static QStringList answeredTexts();

private slots:
    void okButton_slots();
    void cancelButton_slots();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QLabel* titleLabel;
    QLabel* iconLabel;
    QLabel* textLabel;
    QPushButton* okButton;
    QPushButton* cancelButton;
    int dragging = 0;
    int pressX = 0;
    int pressY = 0;
};

// A warning box of 240 x 140 over parent (the main window); returns the
// box's result.
int showMessage(QWidget* parent, const QString& title, const QString& text, bool showOk, bool showCancel);

// A warning box wide enough for a failed job's reason, which names a path.
void showFailure(QWidget* parent, const QString& title, const QString& reason);

// The same box with "OK" and "Cancel", "Cancel" the default, before a step
// that would destroy data. True only for "OK".
bool confirmLoss(QWidget* parent, const QString& title, const QString& text);

// The same wide box with "OK" (or okText) and "Cancel", "OK" the default;
// true after "OK".
bool askToGoOn(QWidget* parent, const QString& question, const QString& okText = QString());

// A warning box with "OK" that does not block: it is shown at once and
// deletes itself when closed, by "OK" or by its owner.
UI_MyMessageBox* showNote(QWidget* parent, const QString& text);

class EngineJobThread;
// For a job's finished(): after a failure shows title and the engine's
// reason (or whenNoReason), after a cancel "Cancelled", and returns true;
// after a success returns false.
bool showJobFailure(QWidget* parent, const EngineJobThread& job, const QString& title, const QString& whenNoReason);

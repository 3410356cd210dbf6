#pragma once
// The frameless completion window: "Open Folder" shows folderPath in the
// desktop's file manager, "Finish" hides the window (ending a modal run).
// Dragging its body moves it.
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

class UI_DialogWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_DialogWidget(QWidget* parent = nullptr);

    void setCaption(const QString& caption);
    // Sets the rectangle, fixes the size and lays out the children.
    void placeDialog(int x, int y, int w, int h);

    // The folder "Open Folder" opens; the owner sets it before each showing.
    QString folderPath;

private slots:
    void okButton_slots();
    void openButton_slots();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QLabel* captionLabel;
    QPushButton* openButton;
    QPushButton* okButton;
    int dragging = 0;
    int pressX = 0;
    int pressY = 0;
};

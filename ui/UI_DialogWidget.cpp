#include "UI_DialogWidget.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

#include "WidgetLook.h"

UI_DialogWidget::UI_DialogWidget(QWidget* parent) : QDialog(parent) {
    setUpDialog(this);  // "Splitting Completed!" fits its 120-pixel caption in arial

    captionLabel = new QLabel(this);
    captionLabel->setObjectName("captionLabel");
    openButton = new QPushButton("Open Folder", this);
    openButton->setObjectName("openButton");
    okButton = new QPushButton("Finish", this);
    okButton->setObjectName("okButton");

    connect(openButton, &QPushButton::clicked, this, &UI_DialogWidget::openButton_slots);
    connect(okButton, &QPushButton::clicked, this, &UI_DialogWidget::okButton_slots);
}

void UI_DialogWidget::setCaption(const QString& caption) { captionLabel->setText(caption); }

void UI_DialogWidget::placeDialog(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    setFixedSize(w, h);
    captionLabel->setGeometry((w - 120) / 2, 0, 120, 20);
    openButton->setGeometry(20, 40, 100, 30);
    okButton->setGeometry(140, 40, 100, 30);
}

void UI_DialogWidget::okButton_slots() { hide(); }

void UI_DialogWidget::openButton_slots() {
    // Stays open: only "Finish" closes the window.
    QDesktopServices::openUrl(QUrl::fromLocalFile(folderPath));
}

void UI_DialogWidget::mousePressEvent(QMouseEvent* event) {
    dragging = 1;
    pressX = event->position().toPoint().x();
    pressY = event->position().toPoint().y();
}

void UI_DialogWidget::mouseReleaseEvent(QMouseEvent*) { dragging = 0; }

void UI_DialogWidget::mouseMoveEvent(QMouseEvent* event) {
    if (dragging != 1) return;
    const QPoint at = event->position().toPoint();
    const QRect now = geometry();
    placeDialog(at.x() + now.x() - pressX, at.y() + now.y() - pressY, now.width(), now.height());
}

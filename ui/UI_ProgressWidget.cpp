#include "UI_ProgressWidget.h"

#include <QIcon>
#include <QLabel>
#include <QProgressBar>

#include "WidgetLook.h"

UI_ProgressWidget::UI_ProgressWidget(QWidget* parent) : QDialog(parent) {
    setUpDialog(this);

    captionLabel = new QLabel(this);
    captionLabel->setObjectName("captionLabel");
    percentLabel = new QLabel(this);
    percentLabel->setObjectName("percentLabel");
    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");

    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAutoFillBackground(true);
    progressBar->setTextVisible(false);

    setWindowIcon(QIcon(":/image/program.ico"));
}

void UI_ProgressWidget::setCaption(const QString& caption) { captionLabel->setText(caption); }

void UI_ProgressWidget::placeDialog(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    captionLabel->setGeometry((w - 120) / 2, 0, 120, 20);
    percentLabel->setGeometry((w - 60) / 2, 20, 60, 20);
    progressBar->setGeometry(0, 40, w, 20);
}

void UI_ProgressWidget::setPercent(int value) {
    percentLabel->setText(QString::number(value, 10) + "%");
    progressBar->setValue(value);
}

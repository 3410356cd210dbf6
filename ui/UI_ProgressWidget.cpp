#include "UI_ProgressWidget.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "WidgetLook.h"

UI_ProgressWidget::UI_ProgressWidget(QWidget* parent) : QDialog(parent) {
    setUpDialog(this);

    captionLabel = named(new QLabel(this), "captionLabel");
    percentLabel = named(new QLabel(this), "percentLabel");
    progressBar = named(new QProgressBar(this), "progressBar");
    rateLabel = named(new QLabel(this), "rateLabel");
    cancelButton = named(new QPushButton("Cancel", this), "cancelButton");

    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAutoFillBackground(true);
    progressBar->setTextVisible(false);
    // Enter in the dialog must not cancel: only a deliberate press does.
    cancelButton->setAutoDefault(false);
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        cancelButton->setEnabled(false);
        emit cancelRequested();
    });

    setWindowIcon(QIcon(":/image/program.ico"));
}

void UI_ProgressWidget::closeEvent(QCloseEvent* event) {
    // Only the tab hides it, when its job has ended.
    event->ignore();
    if (event->spontaneous()) emit closeAsked();
}

void UI_ProgressWidget::cancel() {
    if (cancelButton->isEnabled()) cancelButton->click();
}

void UI_ProgressWidget::setCaption(const QString& caption) { captionLabel->setText(caption); }

void UI_ProgressWidget::placeDialog(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    captionLabel->setGeometry((w - 120) / 2, 0, 120, 20);
    percentLabel->setGeometry((w - 60) / 2, 20, 60, 20);
    progressBar->setGeometry(0, 40, w, 20);
    rateLabel->setGeometry(0, 66, w - 110, 26);
    cancelButton->setGeometry(w - 100, 66, 100, 26);
}

void UI_ProgressWidget::setPercent(int value) {
    percentLabel->setText(QString::number(value, 10) + "%");
    progressBar->setValue(value);
}

void UI_ProgressWidget::startJob() {
    setPercent(0);
    rate = partwise::RateEstimate();
    rateLabel->clear();
    cancelButton->setEnabled(true);
    clock.start();
}

void UI_ProgressWidget::showRate(int64_t bytesDone, int64_t totalBytes, bool flushing) {
    rate.Sample(static_cast<double>(clock.elapsed()) / 1000.0, bytesDone);
    rateLabel->setText(flushing ? QString::fromUtf8(partwise::kFlushingText)
                                : QString::fromStdString(rate.Text(totalBytes)));
}

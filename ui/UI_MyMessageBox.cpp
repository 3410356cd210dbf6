#include "UI_MyMessageBox.h"

#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QQueue>

#include <memory>

#include "EngineJobThread.h"
#include "WidgetLook.h"

namespace {

QQueue<int> queuedAnswers;
QStringList answered;

// A warning box over parent, placed by the dialog anchor.
std::unique_ptr<UI_MyMessageBox> makeWarningBox(QWidget* parent, const QString& title, const QString& text, bool showOk,
                                                bool showCancel, int width, int height, int anchorWidth,
                                                bool cancelDefault = false) {
    const QPoint at = parent ? parent->pos() : QPoint();
    const QSize size = parent ? parent->size() : QSize();
    QMessageBox iconSource;
    iconSource.setIcon(QMessageBox::Warning);

    auto box = std::make_unique<UI_MyMessageBox>();
    box->iconLayout = true;
    box->placeDialog(at.x() + (size.width() - anchorWidth) / 2, at.y() + size.height() / 2, width, height);
    box->setContent(title, text, showOk, showCancel);
    box->setIconPixmap(iconSource.iconPixmap());
    if (cancelDefault) box->setCancelDefault();
    return box;
}

// QLabel wraps only at blanks; a zero-width space after each "/" lets a long
// path wrap at its separators instead of running off the box.
QString wrappingPaths(QString text) { return text.replace('/', QStringLiteral("/\u200B")); }

}  // namespace

UI_MyMessageBox::UI_MyMessageBox(QWidget* parent) : QDialog(parent) {
    setUpDialog(this, 10);

    titleLabel = new QLabel(this);
    titleLabel->setObjectName("titleLabel");
    iconLabel = new QLabel(this);
    iconLabel->setObjectName("iconLabel");
    textLabel = new QLabel(this);
    textLabel->setObjectName("textLabel");
    textLabel->setWordWrap(true);
    textLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    okButton = new QPushButton("OK", this);
    okButton->setObjectName("okButton");
    cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("cancelButton");

    connect(okButton, &QPushButton::clicked, this, &UI_MyMessageBox::okButton_slots);
    connect(cancelButton, &QPushButton::clicked, this, &UI_MyMessageBox::cancelButton_slots);

    setWindowIcon(QIcon(":/image/program.ico"));
}

void UI_MyMessageBox::placeDialog(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    setFixedSize(w, h);
}

void UI_MyMessageBox::setContent(const QString& title, const QString& text, bool showOk, bool showCancel) {
    const int w = width();
    const int h = height();
    titleLabel->setText(title);
    textLabel->setText(text);
    okButton->setVisible(showOk);
    cancelButton->setVisible(showCancel);

    titleLabel->setGeometry(0, 0, w, 20);
    if (iconLayout)
        textLabel->setGeometry(50, 40, w - 50, 100);
    else
        textLabel->setGeometry(10, 10, w - 20, 100);
    iconLabel->setGeometry(10, 25, 30, 30);
    okButton->setGeometry(w - 120, h - 40, 100, 30);
    cancelButton->setGeometry(w - 240, h - 40, 100, 30);
    if (showOk != showCancel) (showOk ? okButton : cancelButton)->setGeometry((w - 100) / 2, h - 40, 100, 30);
}

void UI_MyMessageBox::setCancelDefault() {
    okButton->setAutoDefault(false);
    cancelButton->setDefault(true);
    cancelButton->setFocus();
}

void UI_MyMessageBox::setOkText(const QString& text) {
    okButton->setText(text);
    // A longer text widens the button to the left, "Cancel" moving along.
    const int extra = qMax(0, okButton->sizeHint().width() + 10 - okButton->width());
    okButton->setGeometry(okButton->geometry().adjusted(-extra, 0, 0, 0));
    cancelButton->move(cancelButton->x() - extra, cancelButton->y());
}

void UI_MyMessageBox::setIconPixmap(const QPixmap& pixmap) {
    QPalette iconPalette = palette();
    iconPalette.setBrush(QPalette::Window, QBrush(pixmap));
    iconLabel->setPalette(iconPalette);
    iconLabel->setAutoFillBackground(true);
}

int UI_MyMessageBox::run() {
    if (!queuedAnswers.isEmpty()) {
        result = queuedAnswers.dequeue();
        answered << textLabel->text();
        return result;
    }
    exec();
    return result;
}

void UI_MyMessageBox::setNextAnswer(int answer) { queuedAnswers.enqueue(answer); }

void UI_MyMessageBox::reset() {
    queuedAnswers.clear();
    answered.clear();
}

QStringList UI_MyMessageBox::answeredTexts() { return answered; }

void UI_MyMessageBox::okButton_slots() {
    result = 1;
    close();
}

void UI_MyMessageBox::cancelButton_slots() {
    result = 0;
    close();
}

void UI_MyMessageBox::mousePressEvent(QMouseEvent* event) {
    dragging = 1;
    pressX = event->position().toPoint().x();
    pressY = event->position().toPoint().y();
}

void UI_MyMessageBox::mouseReleaseEvent(QMouseEvent*) { dragging = 0; }

void UI_MyMessageBox::mouseMoveEvent(QMouseEvent* event) {
    if (dragging != 1) return;
    const QPoint at = event->position().toPoint();
    const QRect now = geometry();
    setGeometry(at.x() + now.x() - pressX, at.y() + now.y() - pressY, now.width(), now.height());
    setFixedSize(now.width(), now.height());
}

int showMessage(QWidget* parent, const QString& title, const QString& text, bool showOk, bool showCancel) {
    return makeWarningBox(parent, title, text, showOk, showCancel, 240, 140, 240)->run();
}

void showFailure(QWidget* parent, const QString& title, const QString& reason) {
    makeWarningBox(parent, QString(), wrappingPaths(title + ":\n" + reason), true, false, 440, 170, 440)->run();
}

bool confirmLoss(QWidget* parent, const QString& title, const QString& text) {
    return makeWarningBox(parent, QString(), wrappingPaths(title + ":\n" + text), true, true, 440, 170, 440, true)
               ->run() == 1;
}

bool askToGoOn(QWidget* parent, const QString& question, const QString& okText) {
    const auto box = makeWarningBox(parent, QString(), wrappingPaths(question), true, true, 440, 170, 440);
    if (!okText.isEmpty()) box->setOkText(okText);
    return box->run() == 1;
}

UI_MyMessageBox* showNote(QWidget* parent, const QString& text) {
    UI_MyMessageBox* note = makeWarningBox(parent, QString(), text, true, false, 240, 140, 240).release();
    note->setAttribute(Qt::WA_DeleteOnClose);
    note->show();
    return note;
}

bool showJobFailure(QWidget* parent, const EngineJobThread& job, const QString& title, const QString& whenNoReason) {
    if (job.result() == 0) return false;
    if (job.cancelled()) {
        showMessage(parent, QString(), "Cancelled", true, false);
        return true;
    }
    const QString reason = job.errorText();
    showFailure(parent, title, reason.isEmpty() ? whenNoReason : reason);
    return true;
}

#include "myLineEdit.h"

myLineEdit::myLineEdit(QWidget* parent) : QLineEdit(parent) {}

void myLineEdit::mousePressEvent(QMouseEvent* event) { QLineEdit::mousePressEvent(event); }

void myLineEdit::mouseReleaseEvent(QMouseEvent* event) {
    QLineEdit::mouseReleaseEvent(event);
    emit clicked();
}

void myLineEdit::mouseMoveEvent(QMouseEvent* event) { QLineEdit::mouseMoveEvent(event); }

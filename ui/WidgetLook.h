#pragma once
// The set-up every window class shares: object names for the tests and the
// look of the window's fixed layouts.
#include <QDialog>

class QComboBox;
#include <QFont>
#include <QWidget>

template <class T>
T* named(T* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

// The layouts are measured for "arial" (fonts-liberation2 stands in): the
// system's default face is wider and captions would not fit their fixed
// widths. A pointSize of 0 keeps the size.
inline void useArial(QWidget* widget, int pointSize = 0) {
    QFont face = widget->font();
    face.setFamily("arial");
    if (pointSize > 0) face.setPointSize(pointSize);
    widget->setFont(face);
}

// The frameless dialogs: arial, no title-bar buttons, a painted background
// (they are dragged by their body) and a 1-pixel edge of their own.
void setUpDialog(QDialog* dialog, int pointSize = 0);

// Gives a narrow combo box's text the room its slim arrow leaves.
void useSlimArrow(QComboBox* box);

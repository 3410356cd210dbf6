#pragma once
// Every file and folder question of the window goes through here, so that a
// test can answer it without a native dialog.
#include <QString>

class QWidget;

namespace FileChooser {

// The chosen file, or "" when the user cancelled.
QString openFile(QWidget* parent, const QString& caption, const QString& startFolder, const QString& filter);
// The chosen folder, or "" when the user cancelled. Symbolic links are kept.
QString existingFolder(QWidget* parent, const QString& caption, const QString& startFolder);

// Each call answers one more question, in order, without showing a dialog;
// "" answers as a cancel. reset() drops what is left.
void setNextAnswer(const QString& path);
void reset();

}  // namespace FileChooser

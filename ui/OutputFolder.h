#pragma once
// The output folder of a split or a join, checked when the job is started.
#include <QString>

class QWidget;

// True when folder is an absolute path to a folder that exists, or that did
// not and was created (with its parents) after the user agreed. A relative
// path is refused with a message rather than taken from the program's working
// folder; a refusal, a "Cancel" or a failure to create returns false.
bool readyOutputFolder(QWidget* mainWindow, const QString& folder);

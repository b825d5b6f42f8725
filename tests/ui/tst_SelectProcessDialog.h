#pragma once

#include "DialogTestSupport.h"

#include <QObject>

class TestSelectProcessDialog : public QObject
{
    Q_OBJECT

private slots:
    void selectingARowFillsItsPath();
    void returnsExactlyTheTypedText();
    void browsingFillsTheNativePathAndCancelKeepsTheText();

private:
    // The file dialog keeps its state in the settings: in the test's own
    // folder, not in one a test before it has removed (which it would make
    // again) nor in the user's.
    TemporaryStore store;
};

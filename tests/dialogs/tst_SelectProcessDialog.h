#pragma once

#include <QObject>

class TestSelectProcessDialog : public QObject
{
    Q_OBJECT

private slots:
    void selectingARowFillsItsPath();
    void returnsExactlyTheTypedText();
    void browsingFillsTheNativePathAndCancelKeepsTheText();
};

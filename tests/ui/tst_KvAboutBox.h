#pragma once

#include <QObject>

class TestKvAboutBox : public QObject
{
    Q_OBJECT

private slots:
    void iconSizeFor_data();
    void iconSizeFor();
    void iconSizeForIcon();
    void showsNameVersionAndClosesOnOk();
};

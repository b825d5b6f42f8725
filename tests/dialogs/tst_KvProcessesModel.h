#pragma once

#include <QObject>

class TestKvProcessesModel : public QObject
{
    Q_OBJECT

private slots:
    void listsResolvedProcessesInSnapshotOrder();
    void answersOnlyDisplayAndDecoration();
    void headers();
    void failedSnapshotGivesAnEmptyModel();
};

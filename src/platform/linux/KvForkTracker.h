#pragma once

#include <QtGlobal>

#include <QElapsedTimer>
#include <QHash>
#include <QList>

// Children that were forked but have not executed a program yet. Most
// execute one within milliseconds and are reported then; one that has not
// after a short while is reported with the image it inherited. One that ends
// before either is never reported at all, and neither is its end.
class KvForkTracker
{
public:
    // How long a forked child may go without executing a program before it
    // is reported as it is.
    static constexpr int graceMilliseconds = 200;

    void forked(quint32 childId, quint32 parentId);

    // Takes the child off the list; true with its creator in parentId when it
    // was there.
    bool take(quint32 childId, quint32 &parentId);

    // Takes the children whose grace is over, oldest first.
    QList<QPair<quint32, quint32>> takeOverdue();

    bool isEmpty() const { return m_children.isEmpty(); }

private:
    struct Child
    {
        quint32 parentId;
        QElapsedTimer age;
    };
    QHash<quint32, Child> m_children;
};

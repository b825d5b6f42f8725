#include "platform/linux/KvForkTracker.h"

#include <algorithm>

void KvForkTracker::forked(quint32 childId, quint32 parentId)
{
    Child child{parentId, QElapsedTimer()};
    child.age.start();
    m_children.insert(childId, child);
}

bool KvForkTracker::take(quint32 childId, quint32 &parentId)
{
    const auto found = m_children.find(childId);
    if (found == m_children.end())
        return false;
    parentId = found->parentId;
    m_children.erase(found);
    return true;
}

QList<QPair<quint32, quint32>> KvForkTracker::takeOverdue()
{
    QList<QPair<qint64, QPair<quint32, quint32>>> overdue;
    for (auto it = m_children.begin(); it != m_children.end();) {
        const qint64 age = it->age.elapsed();
        if (age >= graceMilliseconds) {
            overdue.append({age, {it.key(), it->parentId}});
            it = m_children.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(overdue.begin(), overdue.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<QPair<quint32, quint32>> result;
    for (const auto &entry : overdue)
        result.append(entry.second);
    return result;
}

#include "desktop/NotificationCenter.h"

#include <algorithm>

NotificationCenter *NotificationCenter::defaultCenter()
{
    // Never destroyed: objects that outlive main may still post on their way out.
    static auto *center = new NotificationCenter;
    return center;
}

void NotificationCenter::addObserver(QObject *observer, const QString &name, QObject *sender,
                                     Callback callback)
{
    if (!observer || !callback)
        return;
    m_registrations.push_back({m_nextId++, observer, name, sender, std::move(callback)});
}

void NotificationCenter::removeObserver(QObject *observer)
{
    std::erase_if(m_registrations, [observer](const Registration &registration) {
        return registration.observer == observer || registration.observer.isNull();
    });
}

void NotificationCenter::postNotification(const QString &name, QObject *sender)
{
    const Notification notification{name, sender};
    std::vector<quint64> due;
    for (const Registration &registration : m_registrations)
        if (registration.name == name && (!registration.sender || registration.sender == sender))
            due.push_back(registration.id);
    // A callback may add or remove observers; only those still registered hear it.
    for (const quint64 id : due) {
        const auto found = std::find_if(m_registrations.begin(), m_registrations.end(),
                                        [id](const Registration &r) { return r.id == id; });
        if (found == m_registrations.end() || found->observer.isNull())
            continue;
        const Callback callback = found->callback;
        callback(notification);
    }
}

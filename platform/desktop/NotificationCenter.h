#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

struct Notification {
    QString name;
    QObject *object = nullptr; // the sender
};

// The process's notification centre: named notifications, delivered synchronously to the
// observers registered for that name and sender.
class NotificationCenter
{
public:
    using Callback = std::function<void(const Notification &)>;

    static NotificationCenter *defaultCenter();

    // `callback` runs for every notification called `name` posted by `sender` (any sender when
    // null) until `observer` is removed or destroyed.
    void addObserver(QObject *observer, const QString &name, QObject *sender, Callback callback);
    // Forgets `observer` for every name.
    void removeObserver(QObject *observer);
    void postNotification(const QString &name, QObject *sender);

private:
    struct Registration {
        quint64 id;
        QPointer<QObject> observer;
        QString name;
        QObject *sender;
        Callback callback;
    };
    std::vector<Registration> m_registrations;
    quint64 m_nextId = 1;
};

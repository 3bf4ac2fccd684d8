#pragma once

#include <QObject>

class QSocketNotifier;

// The kernel's notifications about network interfaces (rtnetlink), on the Qt event loop.
class LinkMonitor : public QObject
{
    Q_OBJECT

public:
    explicit LinkMonitor(QObject *parent = nullptr);
    ~LinkMonitor() override;
    bool listening() const { return m_fd >= 0; }

signals:
    // An interface appeared, went away, was renamed or changed its state.
    void linksChanged();
    // An IPv4 address was added or removed.
    void addressesChanged();

private:
    void readMessages();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

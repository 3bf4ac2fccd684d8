#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <sys/types.h>

class QSocketNotifier;

// What the window sees of a running sharing, as events and never by polling: natd's end through
// a pidfd, and the computer's resume through logind. natd itself keeps Velloran's firewall
// tables and ends when its external address changes under it, so its end stands for every break
// the window has to answer. natd, as root, also replaces /run/velloran/ruleset whenever another
// program changed the ruleset, which the window, not allowed to follow nftables, watches.
class SharingWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SharingWatcher(QObject *parent = nullptr);
    ~SharingWatcher() override;

    // Follows this natd until it ends; false when it is not (or no longer) a natd.
    bool watch(pid_t natd);
    // Sharing stopped: nothing followed or remembered, and the count of restores starts again.
    void stop();
    // The arguments of the natd last followed, and the interface they name.
    const QStringList &natdArguments() const { return m_arguments; }
    const QString &externalInterface() const { return m_interface; }
    // What broke, in words that fit "Sharing stopped: %1.".
    QString whatBroke() const;
    // At most three restores in any minute; answers whether one more may be made, and counts it.
    bool mayRestore();

    // The pid a pid file names, when that process is a natd; 0 otherwise.
    static pid_t pidFromFile(const QString &path);
    // "-interface IF", "-n IF", or the interface line of a "-f FILE" natd reads.
    static QString natdInterface(const QStringList &arguments);

signals:
    void natdEnded();
    void resumed();
    // Another program changed the ruleset; once for a burst of changes.
    void rulesetChanged();

private slots:
    void sleeping(bool starting);

private:
    void release();
    void folderChanged();

    int m_pidfd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QStringList m_arguments;
    QString m_interface;
    QString m_address; // the interface's address when natd started, for a natd without -dynamic
    std::deque<qint64> m_restores;
    bool m_listening = false;
    QFileSystemWatcher m_folder;
    QTimer m_settle;
    QByteArray m_stamp; // the stamp file's inode and time as last seen
};

#include "network/SharingWatcher.h"

#include "desktop/SystemLog.h"
#include "network/SharingChecks.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kRestoresPerMinute = 3;
constexpr qint64 kMinuteMs = 60 * 1000;

const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kRunFolder = QStringLiteral("/run/velloran");
// natd's, replaced whenever another program changed the ruleset.
const char kStamp[] = "/run/velloran/ruleset";

// Which file the stamp is now; nothing of what it holds.
QByteArray stampIdentity()
{
    struct stat info {
    };
    if (::stat(kStamp, &info) != 0)
        return {};
    return QByteArray::number(qulonglong(info.st_ino)) + ' ' +
           QByteArray::number(qlonglong(info.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(info.st_mtim.tv_nsec));
}

qint64 now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

// The first IPv4 address of the interface, as natd reads it at start.
QString firstAddress(const QString &interface)
{
    for (const auto &found : SharingChecks::readSystem().interfaces) {
        if (found.name == interface && !found.addresses.isEmpty()) {
            const quint32 a = found.addresses.first().address;
            return QStringLiteral("%1.%2.%3.%4")
                .arg(a >> 24)
                .arg((a >> 16) & 0xff)
                .arg((a >> 8) & 0xff)
                .arg(a & 0xff);
        }
    }
    return {};
}

// The command line of root's natd with that pid; empty for any other process, so no word of
// another user's program ever reaches a restore.
QStringList natdCommandLine(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!status.open(QIODevice::ReadOnly) || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray about = status.readAll();
    const qsizetype at = about.indexOf("\nUid:");
    const qsizetype end = about.indexOf('\n', at + 1);
    if (at < 0 || about.mid(at + 5, end - at - 5).simplified() != "0 0 0 0")
        return {};
    QByteArray text = file.readAll();
    while (text.endsWith('\0'))
        text.chop(1);
    QStringList words;
    for (const QByteArray &word : text.split('\0'))
        words << QString::fromLocal8Bit(word);
    return words.first().section(QLatin1Char('/'), -1) == QLatin1String("natd") ? words
                                                                                : QStringList();
}

} // namespace

SharingWatcher::SharingWatcher(QObject *parent) : QObject(parent)
{
    // A burst of commits (a firewall's reload) is read once, well within two seconds.
    m_settle.setSingleShot(true);
    m_settle.setInterval(250);
    connect(&m_settle, &QTimer::timeout, this, &SharingWatcher::rulesetChanged);
    connect(&m_folder, &QFileSystemWatcher::directoryChanged, this, &SharingWatcher::folderChanged);
}

SharingWatcher::~SharingWatcher()
{
    release();
}

bool SharingWatcher::watch(pid_t natd)
{
    release();
    m_pidfd = natd > 0 ? int(::syscall(SYS_pidfd_open, natd, 0)) : -1;
    if (m_pidfd < 0) {
        // A kernel before 5.3 has no pidfd: sharing then goes unwatched, as before.
        const bool unsupported = natd > 0 && errno == ENOSYS;
        if (unsupported)
            SystemLog::log(QStringLiteral("Can't watch natd on this kernel"));
        return unsupported;
    }
    // Read once the pidfd holds the process, so a pid used again can't be mistaken for natd.
    const QStringList words = natdCommandLine(natd);
    if (words.isEmpty()) {
        release();
        return false;
    }
    m_arguments = words.mid(1);
    m_interface = natdInterface(m_arguments);
    m_address = firstAddress(m_interface);
    m_notifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        m_notifier->setEnabled(false);
        emit natdEnded();
    });
    if (m_folder.directories().isEmpty()) {
        m_stamp = stampIdentity();
        m_folder.addPath(kRunFolder);
    }
    // Resume brings new leases upstream and on the LAN; without a system bus or logind, no word.
    if (!m_listening && QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")))
        m_listening = QDBusConnection::systemBus().connect(
            kLogin, QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
            this, SLOT(sleeping(bool)));
    return true;
}

void SharingWatcher::stop()
{
    release();
    if (!m_folder.directories().isEmpty())
        m_folder.removePaths(m_folder.directories());
    m_settle.stop();
    m_restores.clear();
    m_arguments.clear();
    m_interface.clear();
    m_address.clear();
}

void SharingWatcher::release()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    m_pidfd = -1;
}

void SharingWatcher::folderChanged()
{
    // The folder also holds other notes: only a new stamp counts.
    const QByteArray now = stampIdentity();
    if (now != std::exchange(m_stamp, now) && !m_settle.isActive())
        m_settle.start();
}

QString SharingWatcher::whatBroke() const
{
    // Without -dynamic natd ends itself when its address leaves the interface for another.
    const QString address = firstAddress(m_interface);
    if (!m_arguments.contains(QLatin1String("-dynamic")) && !m_address.isEmpty() &&
        !address.isEmpty() && address != m_address)
        return QStringLiteral("the address of %1 changed").arg(m_interface);
    return QStringLiteral("natd ended");
}

bool SharingWatcher::mayRestore()
{
    while (!m_restores.empty() && now() - m_restores.front() >= kMinuteMs)
        m_restores.pop_front();
    if (m_restores.size() >= kRestoresPerMinute)
        return false;
    m_restores.push_back(now());
    return true;
}

pid_t SharingWatcher::pidFromFile(const QString &path)
{
    QFile file(path);
    const pid_t pid = file.open(QIODevice::ReadOnly) ? pid_t(file.readLine().trimmed().toInt()) : 0;
    return pid > 0 && !natdCommandLine(pid).isEmpty() ? pid : 0;
}

QString SharingWatcher::natdInterface(const QStringList &arguments)
{
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        const QString &option = arguments[i];
        if (option == QLatin1String("-interface") || option == QLatin1String("-n"))
            return arguments[i + 1];
        if (option != QLatin1String("-f") && option != QLatin1String("-config"))
            continue;
        QFile file(arguments[i + 1]);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> words = line.simplified().split(' ');
            if (words.size() == 2 && words[0] == "interface")
                return QString::fromLocal8Bit(words[1]);
        }
    }
    return {};
}

void SharingWatcher::sleeping(bool starting)
{
    if (!starting)
        emit resumed();
}

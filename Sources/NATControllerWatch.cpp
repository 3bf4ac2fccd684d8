// The controller's watch over sharing while it runs: what broke is restored by the start's own
// steps while the rights are held, or told in one alert.
#include "NATController.h"

#include "BLAuthentication.h"
#include "NATSetter.h"
#include "desktop/SystemLog.h"
#include "network/SharingWatcher.h"

void NATController::watchSharing()
{
    if (!m_watcher) {
        m_watcher = new SharingWatcher(this);
        // Queued: the answer makes a new watch, never from inside the old one's notice.
        connect(m_watcher, &SharingWatcher::natdEnded, this, &NATController::sharingBroke,
                Qt::QueuedConnection);
        connect(m_watcher, &SharingWatcher::resumed, this, &NATController::checkLanAddress);
        connect(m_watcher, &SharingWatcher::rulesetChanged, this, &NATController::firewallsChanged);
    }
    // natd's own word first: another network namespace may run a natd of its own.
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    int pid = SharingWatcher::pidFromFile(QStringLiteral("/var/run/natd.pid"));
    if (pid == 0)
        pid = auth->getPID(QStringLiteral("/usr/sbin/natd"));
    if (pid == 0)
        pid = auth->getPID(QStringLiteral("natd"));
    // Found running, yet gone by now: broken, and answered once the caller is done.
    if (!m_watcher->watch(pid))
        QMetaObject::invokeMethod(this, &NATController::sharingBroke, Qt::QueuedConnection);
}

void NATController::unwatchSharing()
{
    if (m_watcher)
        m_watcher->stop();
}

void NATController::sharingBroke()
{
    if (!m_running)
        return;
    const QString what = m_watcher->whatBroke();
    const QString again = QStringLiteral(" Press Start Internet Sharing to share again.");
    // Without the rights nothing runs: natd's table went with natd, and ipfw's follows it.
    if (!BLAuthentication::sharedInstance()->isAuthenticated(commandsToExecute())) {
        m_sharedIfconfigArgs.clear();
        setRunning(false);
        runErr(QStringLiteral("Sharing stopped: %1.").arg(what) + again);
        return;
    }
    if (!m_watcher->mayRestore()) {
        removeSharing();
        runErr(QStringLiteral("Sharing stopped: %1 again after three restores within a minute, so "
                              "Velloran stopped trying.")
                   .arg(what) +
               again);
        return;
    }
    // The vector the natd last seen ran with, as a start gives it; the window's own for a natd
    // that read a file, or when none was seen.
    const QStringList ran = m_watcher->natdArguments();
    const bool started = ran.size() >= 2 && ran[ran.size() - 2] == QLatin1String("-interface");
    const auto natArgs = started ? std::optional(ran) : getNatArgs();
    const QString external = started ? ran.last() : getExternalInterface().value_or(QString());
    if (!natArgs || !NATSetterOutlet->natd(*natArgs) || !NATSetterOutlet->ipfw(external)) {
        m_natdLeftRunning = true; // the natd started here may run: the next Start ends it
        removeSharing();
        runErr(
            QStringLiteral("Sharing stopped: %1, and natd could not be started again.").arg(what) +
            again);
        return;
    }
    SystemLog::log(
        QStringLiteral("Restored Internet Sharing: %1, so natd and ipfw ran again.").arg(what));
    watchSharing();
}

void NATController::removeSharing()
{
    m_sharedIfconfigArgs.clear();
    setRunning(false);
    stopDhcp();
    removeAddressAndRules();
    refreshNameServer();
}

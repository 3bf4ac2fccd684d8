// Drives the shared BLAuthentication on the real Linux authorization service for the sudo tests,
// which start it as an ordinary user. An optional first argument --bundle=<path> puts an installed
// bundle in place of the build's. Each further argument is one step:
//   check, authenticate, deauthenticate, run=<path>[|<argument>...], pause
// and each step prints one line ("check 1"; "paused", then it waits for a line on stdin); the
// closing lines give the notification counts, the beeps, the alerts and the log entries (line
// breaks written as \n).
#include "Alert.h"
#include "BLAuthentication.h"
#include "Beep.h"
#include "Bundle.h"
#include "NotificationCenter.h"
#include "SystemLog.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList steps = app.arguments().mid(1);
    if (!steps.isEmpty() && steps.first().startsWith(QLatin1String("--bundle=")))
        Bundle::setBundlePath(steps.takeFirst().mid(9));
    else
        Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
    QStringList log;
    int beeps = 0;
    SystemLog::setHandler([&log](const QString &entry) { log << entry; });
    Beep::setHandler([&beeps] { ++beeps; });
    QStringList alerts;
    Alert::setHandler([&alerts](const QString &message) { alerts << message; });

    BLAuthentication *auth = BLAuthentication::sharedInstance();
    int authenticated = 0;
    int deauthenticated = 0;
    QObject observer;
    NotificationCenter::defaultCenter()->addObserver(
        &observer, BLAuthenticatedNotification, auth,
        [&](const Notification &) { ++authenticated; });
    NotificationCenter::defaultCenter()->addObserver(
        &observer, BLDeauthenticatedNotification, auth,
        [&](const Notification &) { ++deauthenticated; });

    const QStringList tools{QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("/sbin/ifconfig"),
                            QStringLiteral("/usr/sbin/natd"), QStringLiteral("/sbin/ipfw")};
    QTextStream out(stdout);
    for (const QString &step : steps) {
        if (step == QLatin1String("check")) {
            out << "check " << int(auth->isAuthenticated(tools)) << '\n';
        } else if (step == QLatin1String("authenticate")) {
            out << "authenticate " << int(auth->authenticate(tools)) << '\n';
        } else if (step == QLatin1String("deauthenticate")) {
            auth->deauthenticate();
            out << "deauthenticate\n";
        } else if (step.startsWith(QLatin1String("run="))) {
            const QStringList parts = step.mid(4).split('|');
            out << "run " << int(auth->executeCommand(parts.first(), parts.mid(1))) << '\n';
        } else if (step == QLatin1String("pause")) {
            out << "paused" << Qt::endl;
            QTextStream(stdin).readLine();
            continue;
        } else {
            out << "unknown step " << step << '\n';
            return 2;
        }
        out.flush();
    }
    out << "authenticated-notifications " << authenticated << '\n';
    out << "deauthenticated-notifications " << deauthenticated << '\n';
    out << "beeps " << beeps << '\n';
    for (const QString &alert : alerts)
        out << "alert " << alert << '\n';
    for (const QString &entry : log)
        out << "log " << QString(entry).replace('\n', QLatin1String("\\n")) << '\n';
    return 0;
}

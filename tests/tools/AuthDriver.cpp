// Drives the shared BLAuthentication on the real Linux authorization service, started as an
// ordinary user. An optional first argument --bundle=<path> puts an installed bundle in place of
// the build's. Each further argument is one step, printing one line:
//   check, authenticate, deauthenticate, run=<path>[|<argument>...]
// then "posted <authenticated> <deauthenticated> beeps <n>", the alerts and the log entries.
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
    const bool installed = !steps.isEmpty() && steps.first().startsWith("--bundle=");
    Bundle::setBundlePath(installed ? steps.takeFirst().mid(9) : VELLORAN_TEST_BUNDLE);
    QStringList said; // alerts and log entries, line breaks written as \n
    int beeps = 0, authenticated = 0, deauthenticated = 0;
    SystemLog::setHandler([&](const QString &entry) { said << "log " + entry; });
    Alert::setHandler([&](const QString &message) { said << "alert " + message; });
    Beep::setHandler([&beeps] { ++beeps; });
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QObject observer;
    NotificationCenter *center = NotificationCenter::defaultCenter();
    center->addObserver(&observer, BLAuthenticatedNotification, auth,
                        [&](const Notification &) { ++authenticated; });
    center->addObserver(&observer, BLDeauthenticatedNotification, auth,
                        [&](const Notification &) { ++deauthenticated; });

    const QStringList tools{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"};
    QTextStream out(stdout);
    for (const QString &step : steps) {
        const QStringList run = step.mid(4).split('|');
        if (step == "check") {
            out << "check " << int(auth->isAuthenticated(tools)) << '\n';
        } else if (step == "authenticate") {
            out << "authenticate " << int(auth->authenticate(tools)) << '\n';
        } else if (step == "deauthenticate") {
            auth->deauthenticate();
            out << "deauthenticate\n";
        } else if (step.startsWith("run=")) {
            out << "run " << int(auth->executeCommand(run.first(), run.mid(1))) << '\n';
        } else {
            out << "unknown step " << step << '\n';
            return 2;
        }
        out.flush();
    }
    out << "posted " << authenticated << ' ' << deauthenticated << " beeps " << beeps << '\n';
    for (const QString &line : said)
        out << QString(line).replace('\n', "\\n") << '\n';
    return 0;
}

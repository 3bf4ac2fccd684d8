// Drives the shared BLAuthentication on the real Linux authorization service, started as an
// ordinary user. The first argument --bundle=<path> names the bundle (the build's or an installed
// one); each further argument is one step:
//   check, authenticate, deauthenticate, run=<path>[|<argument>...]
// It prints, in order, each step with its answer ("check 1") and all Velloran said meanwhile:
// "post <notification>", "beep", "alert <text>", "log <entry>" (line breaks written as \n).
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
    QStringList steps = app.arguments().mid(1), said;
    Bundle::setBundlePath(steps.value(0).mid(9));
    steps.removeFirst();
    SystemLog::setHandler([&](const QString &entry) { said << "log " + entry; });
    Alert::setHandler([&](const QString &message) { said << "alert " + message; });
    Beep::setHandler([&] { said << "beep"; });
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QObject observer;
    for (const QString &name : {BLAuthenticatedNotification, BLDeauthenticatedNotification})
        NotificationCenter::defaultCenter()->addObserver(
            &observer, name, auth, [&said, name](const Notification &) { said << "post " + name; });

    const QStringList tools{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"};
    for (const QString &step : steps) {
        const QStringList run = step.mid(4).split('|');
        QString line = step;
        if (step == "check")
            line += QStringLiteral(" %1").arg(int(auth->isAuthenticated(tools)));
        else if (step == "authenticate")
            line += QStringLiteral(" %1").arg(int(auth->authenticate(tools)));
        else if (step == "deauthenticate")
            auth->deauthenticate();
        else if (step.startsWith("run="))
            line = QStringLiteral("run %1").arg(int(auth->executeCommand(run[0], run.mid(1))));
        else
            return 2;
        said << line;
    }
    QTextStream out(stdout);
    for (const QString &line : said)
        out << QString(line).replace('\n', "\\n") << '\n';
    return 0;
}

// BLAuthentication as a user: --bundle=<path>, then steps check, authenticate, deauthenticate,
// run=<path>[|<arg>...], fork (a child holds our descriptors 10 s), helpers (the helper runs?).
// Prints in order all Velloran said ("post <name>", "beep", "log ..") and each answer ("check 1").
#include "desktop/Alert.h"
#include "BLAuthentication.h"
#include "desktop/Beep.h"
#include "desktop/Bundle.h"
#include "desktop/NotificationCenter.h"
#include "desktop/SystemLog.h"
#include "privilege/LinuxAuthorization.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

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
        else if (step == "fork" && fork() == 0) {
            // Nobody waits for the end of the copies' output: the sockets are what they hold.
            for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
                close(fd);
            _exit(sleep(10) > 0);
        }
        else if (step == "helpers")
            line += QStringLiteral(" %1").arg(auth->getPID(LinuxAuthorization::helperPath()) > 0);
        else if (step != "fork")
            return 2;
        said << line;
    }
    for (const QString &line : said)
        std::puts(qPrintable(QString(line).replace('\n', "\\n")));
    return 0;
}

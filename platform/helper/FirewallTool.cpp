// velloran-firewall, started as root by the helper: "read LAN WAN" writes what the other
// firewalls here would drop of sharing (see Firewalls.h); "open LAN WAN" lets it through at run
// time; "close LAN" removes exactly what open added.
#include "network/Firewalls.h"
#include "network/InterfaceName.h"

#include <QCoreApplication>
#include <cstdio>
#include <sys/stat.h>

int main(int argc, char *argv[])
{
    umask(022);
    QCoreApplication application(argc, argv); // D-Bus wants one
    const QStringList words = QCoreApplication::arguments().mid(1);
    const auto isName = [](const QString &word) {
        return InterfaceName::isValid(word.toLocal8Bit().toStdString());
    };
    const bool pair = words.size() == 3 && isName(words[1]) && isName(words[2]);
    if (pair && words[0] == "read") {
        const QByteArray verdict = Firewalls::verdict(Firewalls::read(words[1], words[2]));
        return std::fwrite(verdict.constData(), 1, size_t(verdict.size()), stdout) ==
                       size_t(verdict.size())
                   ? 0
                   : 1;
    }
    if (pair && words[0] == "open")
        return Firewalls::open(words[1], words[2]) ? 0 : 1;
    if (words.size() == 2 && words[0] == "close" && isName(words[1]))
        return Firewalls::close(words[1]) ? 0 : 1;
    std::fputs("velloran-firewall: read LAN WAN, open LAN WAN or close LAN\n", stderr);
    return 2;
}

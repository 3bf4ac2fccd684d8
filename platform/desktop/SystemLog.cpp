#include "desktop/SystemLog.h"

#include <cstdio>
#include <syslog.h>

namespace {
std::function<void(const QString &)> g_handler;
}

namespace SystemLog {

void log(const QString &entry)
{
    if (g_handler) {
        g_handler(entry);
        return;
    }
    const QByteArray bytes = entry.toLocal8Bit();
    std::fprintf(stderr, "Velloran: %s\n", bytes.constData());
    // The tag the README's journalctl -t Velloran finds, whatever name started the program.
    static const bool opened = (openlog("Velloran", LOG_PID, LOG_USER), true);
    (void)opened;
    syslog(LOG_NOTICE, "%s", bytes.constData());
}

void setHandler(std::function<void(const QString &)> handler)
{
    g_handler = std::move(handler);
}

} // namespace SystemLog

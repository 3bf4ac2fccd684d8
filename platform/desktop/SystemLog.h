#pragma once

#include <QString>
#include <functional>

// The system log: every entry goes to stderr and to syslog, unless a test listens instead.
namespace SystemLog {

void log(const QString &entry);
void setHandler(std::function<void(const QString &)> handler);

} // namespace SystemLog

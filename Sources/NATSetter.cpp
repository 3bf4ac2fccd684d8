#include "NATSetter.h"

// Filled in with the privileged runner.
bool NATSetter::terminateNatd() { return false; }
bool NATSetter::terminateAliasing(const AliasingInfo &) { return false; }
bool NATSetter::sysctl() { return false; }
bool NATSetter::ifconfig(const QStringList &) { return false; }
bool NATSetter::natd(const QStringList &) { return false; }
bool NATSetter::ipfw(const std::optional<QString> &) { return false; }

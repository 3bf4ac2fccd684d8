#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// polkit, where the desktop runs it: whether Velloran's action for its root helper is installed,
// asking the session's authentication agent for it, and revoking the authorization polkit keeps.
// Everything goes over the system bus; without one, polkit counts as absent.
namespace Polkit {

inline constexpr char kActionId[] = "org.velloran.Velloran.helper";

QString pkexecPath();

// True when polkitd runs and its action for the root helper names exactly `helper` as the
// program pkexec may start (a build tree's helper or a /usr/local install doesn't qualify).
bool actionInstalledFor(const QString &helper);

enum class Answer {
    Authorized,
    Refused,     // the user dismissed the agent's dialog or couldn't authenticate
    Unavailable, // no agent could ask (or polkitd failed): the caller falls back to sudo
};

// Asks polkitd whether this process may run the helper, allowing the session's agent to show
// the desktop's password dialog; blocks until the user has answered.
Answer obtainAuthorization();

// Revokes the temporary authorizations this process holds for the helper's action, so that the
// next request asks again. Needs the login session polkit keeps them under; without one they
// only end with the process or after polkit's five minutes.
void revokeTemporaryAuthorization();

struct TemporaryAuthorization {
    QString id;
    QString actionId;
    QString subjectKind;
    qint64 subjectPid = 0;
};

// The ids among a session's temporary authorizations that belong to process `pid` and the
// helper's action; other programs' authorizations in the same session are left alone.
QStringList ownTemporaryAuthorizations(const QList<TemporaryAuthorization> &all, qint64 pid);

} // namespace Polkit

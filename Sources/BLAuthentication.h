#pragma once

#include "privilege/AuthorizationService.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>

extern const QString BLAuthenticatedNotification;
extern const QString BLDeauthenticatedNotification;

// The process's administrator authorization: checks, asks for and drops the rights, runs tools
// as root, finds and ends root's processes by their command line (read from /proc).
class BLAuthentication : public QObject
{
    Q_OBJECT

public:
    static BLAuthentication *sharedInstance();
    ~BLAuthentication() override;

    bool isAuthenticated(const QStringList &forCommands);
    bool fetchPassword(const QStringList &forCommands);
    bool authenticate(const QStringList &forCommands);
    void deauthenticate();

    // At most the first 19 arguments reach the tool; an absent list is the empty list.
    bool executeCommand(const QString &pathToCommand, const QStringList &arguments = {});

    // One of Velloran's commands that answer, run as root to its end: what it wrote, none when
    // it could not run or failed.
    std::optional<QByteArray> readCommand(const QString &pathToCommand,
                                          const QStringList &arguments);

    int getPID(const QString &forProcess);
    // Yes once root has taken the kill; no when nothing was found or the kill was refused.
    bool killProcess(const QString &commandFromPS);

    // Velloran's bundle, once, after root refused a run because others can change where it lies.
    std::optional<QString> takeRefusedBundle() { return std::exchange(m_refusedBundle, {}); }

private:
    BLAuthentication();
    // The handle, unless the service that made it is no longer the one in place.
    AuthorizationService::Handle *handle();

    std::unique_ptr<AuthorizationService::Handle> authorizationRef;
    quint64 m_handleGeneration = 0;
    std::optional<QString> m_refusedBundle;
};

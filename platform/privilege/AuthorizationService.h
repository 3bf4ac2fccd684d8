#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

// The operating system's authorization: the five operations BLAuthentication relies on.
// The Linux service (sudo and Velloran's root helper) is the default; tests put their own in place.
class AuthorizationService
{
public:
    // An authorization obtained from a service; its rights end with it.
    class Handle
    {
    public:
        virtual ~Handle();
    };

    enum class Interaction { Never, Allowed };

    virtual ~AuthorizationService();

    // A new handle without rights; never asks the user anything.
    virtual std::unique_ptr<Handle> create() = 0;
    // 0 exactly when the handle holds administrator rights for every entry of `rights`.
    // With Interaction::Allowed it may ask the user for a password and waits for the answer.
    virtual int copyRights(Handle &handle, const QStringList &rights, Interaction interaction) = 0;
    // Discards the handle and revokes its rights, so that later silent checks fail.
    virtual void free(std::unique_ptr<Handle> handle) = 0;
    // Starts `path` as root with exactly `arguments` (argv[0] is the path); 0 once it started,
    // else a non-zero status. Whatever the tool does after its start doesn't count.
    virtual int executeWithPrivileges(Handle &handle, const QString &path,
                                      const QStringList &arguments) = 0;
    // Runs one of Velloran's commands that answer as root to its end, with what it wrote in
    // `answer`: 0 when it ended well. ENOSYS where the service can't (the default).
    virtual int readWithPrivileges(Handle &handle, const QString &path,
                                   const QStringList &arguments, QByteArray &answer);

    static AuthorizationService *current();
    // Puts `service` in place (not owned); null puts the Linux service back.
    static void setCurrent(AuthorizationService *service);
    // Changes whenever the service in place changes, so that holders of handles notice.
    static quint64 generation();
};

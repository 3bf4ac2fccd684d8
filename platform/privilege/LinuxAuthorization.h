#pragma once

#include "privilege/AuthorizationService.h"

#include <sys/types.h>
#include <vector>

// Authorization on Linux: rights are held while Velloran runs as root, or while its root helper,
// started as a direct child, runs. Asking for rights goes to the desktop's polkit agent when
// Velloran's polkit action is installed and an agent answers, then starts the helper with pkexec;
// otherwise it starts the helper with "sudo -A" and Velloran's own password dialog. The silent
// check never prompts: root, the helper alive, or "sudo -n"; nothing is asked while Velloran is
// traced. Releasing ends the helper, revokes what polkit keeps and runs "sudo -k".
class LinuxAuthorization : public AuthorizationService
{
public:
    static LinuxAuthorization *shared();

    std::unique_ptr<Handle> create() override;
    int copyRights(Handle &handle, const QStringList &rights, Interaction interaction) override;
    void free(std::unique_ptr<Handle> handle) override;
    int executeWithPrivileges(Handle &handle, const QString &path,
                              const QStringList &arguments) override;
    int readWithPrivileges(Handle &handle, const QString &path, const QStringList &arguments,
                           QByteArray &answer) override;

    static QString sudoPath();
    static QString helperPath();
    static QString askpassPath();
    // Why no rights are asked for while another program traces Velloran.
    static QString tracedMessage();
};

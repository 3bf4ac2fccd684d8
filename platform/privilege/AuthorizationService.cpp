#include "privilege/AuthorizationService.h"

#include "privilege/LinuxAuthorization.h"

#include <cerrno>

namespace {
AuthorizationService *g_current = nullptr;
quint64 g_generation = 1;
} // namespace

AuthorizationService::Handle::~Handle() = default;
AuthorizationService::~AuthorizationService() = default;

int AuthorizationService::readWithPrivileges(Handle &, const QString &, const QStringList &,
                                             QByteArray &)
{
    return ENOSYS;
}

AuthorizationService *AuthorizationService::current()
{
    if (!g_current)
        return LinuxAuthorization::shared();
    return g_current;
}

void AuthorizationService::setCurrent(AuthorizationService *service)
{
    g_current = service;
    ++g_generation;
}

quint64 AuthorizationService::generation()
{
    return g_generation;
}

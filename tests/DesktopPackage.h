#pragma once

#include <QString>
#include <QStringList>

// Velloran's Debian package as the tests use it: built by the build tree's velloran_deb target
// (only when something in it changed) and unpacked where a test wants it.
namespace DesktopPackage {

// The .deb's path, or an empty string with `error` saying why.
QString build(QString *error);
// Unpacks `deb` into `root` as dpkg would install it there; true on success.
bool unpack(const QString &deb, const QString &root, QString *error);
// Runs `program` with `arguments` and `environment` added to the test's own; exit status (-1
// when it didn't finish in time) and merged output.
int run(const QString &program, const QStringList &arguments, QString *output,
        const QStringList &environment = {}, int timeoutMs = 300000);

} // namespace DesktopPackage

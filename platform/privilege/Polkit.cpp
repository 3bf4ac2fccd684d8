#include "privilege/Polkit.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QMap>
#include <QVariantMap>
#include <limits>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
constexpr char kExecPathKey[] = "org.freedesktop.policykit.exec.path";
constexpr quint32 kAllowUserInteraction = 1;
constexpr int kQueryMs = 5000;
// The agent's dialog waits for the user, as sudo's password dialog does.
constexpr int kUnlimited = std::numeric_limits<int>::max();

using StringMap = QMap<QString, QString>;

// polkit's subject: a kind ("unix-process", "unix-session") and its details.
struct Subject {
    QString kind;
    QVariantMap details;
};

} // namespace

Q_DECLARE_METATYPE(Subject)

namespace {

QDBusArgument &operator<<(QDBusArgument &argument, const Subject &subject)
{
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Subject &subject)
{
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<Subject>();
        qDBusRegisterMetaType<StringMap>();
        return true;
    }();
    (void)registered;
}

QDBusConnection systemBus()
{
    return QDBusConnection::systemBus();
}

bool polkitdRuns()
{
    QDBusConnection bus = systemBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(kService).value();
}

QDBusMessage callAuthority(const QString &method, const QVariantList &arguments, int timeoutMs)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    return systemBus().call(call, QDBus::Block, timeoutMs);
}

// polkit tells processes apart by pid and start time (jiffies after boot, /proc's 22nd field).
quint64 ownStartTime()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const qsizetype commandEnd = line.lastIndexOf(')');
    if (commandEnd < 0)
        return 0;
    // After the command: state is field 3, so start time is the 20th field from here.
    const QList<QByteArray> fields = line.mid(commandEnd + 2).split(' ');
    return fields.size() > 19 ? fields.at(19).toULongLong() : 0;
}

Subject ownProcess()
{
    return {QStringLiteral("unix-process"),
            {{QStringLiteral("pid"), QVariant::fromValue(quint32(getpid()))},
             {QStringLiteral("start-time"), QVariant::fromValue(quint64(ownStartTime()))},
             {QStringLiteral("uid"), QVariant::fromValue(qint32(getuid()))}}};
}

// The logind session this process belongs to, which polkit files temporary authorizations under.
QString ownSessionId()
{
    const QString login = QStringLiteral("org.freedesktop.login1");
    QDBusMessage call = QDBusMessage::createMethodCall(
        login, QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
    // Where logind doesn't run, asking must not try to start it.
    call.setAutoStartService(false);
    call << quint32(getpid());
    const QDBusMessage path = systemBus().call(call, QDBus::Block, kQueryMs);
    if (path.type() != QDBusMessage::ReplyMessage || path.arguments().isEmpty())
        return {};
    QDBusMessage get = QDBusMessage::createMethodCall(
        login, path.arguments().at(0).value<QDBusObjectPath>().path(),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.login1.Session") << QStringLiteral("Id");
    const QDBusMessage id = systemBus().call(get, QDBus::Block, kQueryMs);
    if (id.type() != QDBusMessage::ReplyMessage || id.arguments().isEmpty())
        return {};
    return id.arguments().at(0).value<QDBusVariant>().variant().toString();
}

} // namespace

namespace Polkit {

QString pkexecPath()
{
    return QStringLiteral("/usr/bin/pkexec");
}

bool actionInstalledFor(const QString &helper)
{
    if (!polkitdRuns())
        return false;
    registerTypes();
    const QDBusMessage reply =
        callAuthority(QStringLiteral("EnumerateActions"), {QString()}, kQueryMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const QDBusArgument actions = reply.arguments().at(0).value<QDBusArgument>();
    bool found = false;
    actions.beginArray();
    while (!actions.atEnd()) {
        QString id, description, message, vendor, vendorUrl, icon;
        quint32 implicitAny = 0, implicitInactive = 0, implicitActive = 0;
        StringMap annotations;
        actions.beginStructure();
        actions >> id >> description >> message >> vendor >> vendorUrl >> icon >> implicitAny >>
            implicitInactive >> implicitActive >> annotations;
        actions.endStructure();
        if (id == QLatin1String(kActionId) &&
            annotations.value(QLatin1String(kExecPathKey)) == helper)
            found = true;
    }
    actions.endArray();
    return found;
}

Answer obtainAuthorization()
{
    registerTypes();
    const QDBusMessage reply = callAuthority(
        QStringLiteral("CheckAuthorization"),
        {QVariant::fromValue(ownProcess()), QString::fromLatin1(kActionId),
         QVariant::fromValue(StringMap()), QVariant::fromValue(kAllowUserInteraction), QString()},
        kUnlimited);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return Answer::Unavailable;
    const QDBusArgument result = reply.arguments().at(0).value<QDBusArgument>();
    bool authorized = false;
    bool challenge = false;
    StringMap details;
    result.beginStructure();
    result >> authorized >> challenge >> details;
    result.endStructure();
    if (authorized)
        return Answer::Authorized;
    // After an interactive check, a challenge still open means no agent could take it.
    return challenge ? Answer::Unavailable : Answer::Refused;
}

void revokeTemporaryAuthorization()
{
    if (!polkitdRuns())
        return;
    registerTypes();
    const QString session = ownSessionId();
    if (session.isEmpty())
        return;
    const Subject subject{QStringLiteral("unix-session"),
                          {{QStringLiteral("session-id"), session}}};
    const QDBusMessage reply = callAuthority(QStringLiteral("EnumerateTemporaryAuthorizations"),
                                             {QVariant::fromValue(subject)}, kQueryMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    QList<TemporaryAuthorization> all;
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        TemporaryAuthorization entry;
        Subject holder;
        quint64 obtained = 0, expires = 0;
        list.beginStructure();
        list >> entry.id >> entry.actionId >> holder >> obtained >> expires;
        list.endStructure();
        entry.subjectKind = holder.kind;
        entry.subjectPid = holder.details.value(QStringLiteral("pid")).toLongLong();
        all << entry;
    }
    list.endArray();
    for (const QString &id : ownTemporaryAuthorizations(all, getpid()))
        callAuthority(QStringLiteral("RevokeTemporaryAuthorizationById"), {id}, kQueryMs);
}

QStringList ownTemporaryAuthorizations(const QList<TemporaryAuthorization> &all, qint64 pid)
{
    QStringList ids;
    for (const TemporaryAuthorization &entry : all)
        if (entry.actionId == QLatin1String(kActionId) &&
            entry.subjectKind == QLatin1String("unix-process") && entry.subjectPid == pid)
            ids << entry.id;
    return ids;
}

} // namespace Polkit

// The controller and the other firewalls on the machine: named before Start, opened for sharing
// when the user allows it, closed again at Stop.
#include "NATController.h"

#include "BLAuthentication.h"
#include "desktop/Alert.h"
#include "desktop/Bundle.h"
#include "desktop/SystemLog.h"
#include "network/Firewalls.h"

#include <algorithm>
#include <utility>

namespace {

const QString kAllow = QStringLiteral("Allow for Velloran");

QString firewallTool()
{
    return Bundle::resourcePath() + QStringLiteral("/velloran-firewall");
}

QList<Firewalls::Block> readFirewalls(const QString &lan, const QString &wan)
{
    const auto answer = BLAuthentication::sharedInstance()->readCommand(
        firewallTool(), {QStringLiteral("read"), lan, wan});
    const auto blocks = answer ? Firewalls::parseVerdict(*answer) : std::nullopt;
    if (answer && !blocks)
        SystemLog::log(QStringLiteral("velloran-firewall answered what Velloran can't read"));
    return blocks.value_or(QList<Firewalls::Block>());
}

// Each block as the verdict tells it, to tell a new one from one named before.
QStringList keys(const QList<Firewalls::Block> &blocks)
{
    QStringList keys;
    for (const Firewalls::Block &block : blocks)
        keys << block.firewall + '\t' + block.where + '\t' + QString::number(int(block.drops));
    return keys;
}

void openFirewalls(NATController &controller, const QString &lan, const QString &wan)
{
    if (!BLAuthentication::sharedInstance()->executeCommand(firewallTool(),
                                                            {QStringLiteral("open"), lan, wan}))
        controller.runErr(QStringLiteral("Velloran could not open every firewall for Internet "
                                         "Sharing, so the computers on %1 may not reach the "
                                         "Internet.")
                              .arg(lan));
}

} // namespace

bool NATController::letFirewallsShare(const QString &lan, const QString &wan)
{
    // The password is asked here as natd's step would ask it, and a cancel ends the start alike.
    if (!BLAuthentication::sharedInstance()->authenticate(commandsToExecute())) {
        runErr(QStringLiteral("There was an error while starting Internet Sharing (natd)"));
        return false;
    }
    const QList<Firewalls::Block> blocks = readFirewalls(lan, wan);
    m_namedBlocks = keys(blocks);
    if (blocks.isEmpty())
        return true;
    const QString cancel = QStringLiteral("Cancel");
    const QString pressed = Alert::ask(Firewalls::alert(blocks, lan, wan, false),
                                       {kAllow, QStringLiteral("Start Anyway"), cancel});
    if (pressed == kAllow)
        openFirewalls(*this, lan, wan);
    return pressed != cancel;
}

void NATController::firewallsChanged()
{
    const auto lan = getInternalInterface(), wan = getExternalInterface();
    // Never a password request unasked: without rights the next Start tells.
    if (!m_running || !lan || !wan ||
        !BLAuthentication::sharedInstance()->isAuthenticated(commandsToExecute()))
        return;
    const QList<Firewalls::Block> blocks = readFirewalls(*lan, *wan);
    // A change that blocks nothing new says nothing: each block is named once.
    const QStringList before = std::exchange(m_namedBlocks, keys(blocks));
    const bool fresh = std::any_of(m_namedBlocks.begin(), m_namedBlocks.end(),
                                   [&](const QString &key) { return !before.contains(key); });
    if (fresh && Alert::ask(Firewalls::alert(blocks, *lan, *wan, true),
                            {kAllow, QStringLiteral("OK")}) == kAllow)
        openFirewalls(*this, *lan, *wan);
}

void NATController::closeFirewalls(bool onlyWithRightsHeld)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    const QStringList lans = Firewalls::opened();
    if (lans.isEmpty() || (onlyWithRightsHeld && !auth->isAuthenticated(commandsToExecute())))
        return;
    for (const QString &lan : lans)
        auth->executeCommand(firewallTool(), {QStringLiteral("close"), lan});
}

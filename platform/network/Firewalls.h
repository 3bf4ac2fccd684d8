#pragma once

#include "network/FirewallRules.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The other firewalls on this computer and sharing. Root reads them all (nftables, iptables-nft,
// iptables-legacy, firewalld) with the program velloran-firewall and answers Velloran only a
// bounded verdict; when the user allows it, root adds accept rules, each tagged
// "velloran-shared-<LAN>", where that firewall decides, lists them in a note of root's in
// /run/velloran, and at Stop removes exactly what the note lists. Saved configurations are never
// touched.
namespace Firewalls {

using FirewallRules::Block;

// ---- root's side ----

// What every firewall here would drop of sharing from `lan` to `wan`.
QList<Block> read(const QString &lan, const QString &wan);

// Opens each block of read() at run time and notes it; true when nothing blocks afterwards.
bool open(const QString &lan, const QString &wan);

// Removes what the note for `lan` lists, then the note; true when all of it went.
bool close(const QString &lan);

// ---- between root and Velloran ----

// One line "firewall<TAB>where<TAB>forward|dhcp|dns" per block, at most kMaxBlocks.
constexpr int kMaxBlocks = 16;
QByteArray verdict(const QList<Block> &blocks);
// None unless every line has exactly that shape.
std::optional<QList<Block>> parseVerdict(const QByteArray &text);

// ---- Velloran's side ----

// The one alert naming every block; `sharing` when it came up while sharing runs.
QString alert(const QList<Block> &blocks, const QString &lan, const QString &wan, bool sharing);

// The LAN interfaces for which a note of openings lies in /run/velloran.
QStringList opened();

// "/run/velloran", but for tests.
void setNoteFolder(const QString &folder);

} // namespace Firewalls

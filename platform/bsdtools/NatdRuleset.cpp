#include "NatdRuleset.h"

#include "NftBatch.h"
#include "NftLayout.h"

#include <arpa/inet.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace NatdRuleset {

namespace {

const char *const kTable = NftLayout::natdTable;

nftnl_rule *rule(const char *chain, bool incoming, const NatdOptions &options)
{
    nftnl_rule *r = NftBatch::newRule(kTable, chain);
    NftExpr::interface(r, incoming, options.interface);
    return r;
}

// meta mark set meta mark & mask ^ bits
void setMark(nftnl_rule *r, uint32_t mask, uint32_t bits)
{
    NftExpr::metaLoad(r, NFT_META_MARK);
    NftExpr::bitwise(r, mask, bits);
    nftnl_expr *set = NftExpr::add(r, "meta");
    nftnl_expr_set_u32(set, NFTNL_EXPR_META_KEY, NFT_META_MARK);
    nftnl_expr_set_u32(set, NFTNL_EXPR_META_SREG, NFT_REG_1);
}

// tcp flags syn / syn,rst tcp option maxseg size set rt mtu
nftnl_rule *clampMss(bool incoming, const NatdOptions &options)
{
    nftnl_rule *r = rule("clamp_mss", incoming, options);
    NftExpr::metaLoad(r, NFT_META_L4PROTO);
    NftExpr::compare(r, NFT_CMP_EQ, IPPROTO_TCP, 1);
    nftnl_expr *flags = NftExpr::add(r, "payload");
    nftnl_expr_set_u32(flags, NFTNL_EXPR_PAYLOAD_BASE, NFT_PAYLOAD_TRANSPORT_HEADER);
    nftnl_expr_set_u32(flags, NFTNL_EXPR_PAYLOAD_OFFSET, 13);
    nftnl_expr_set_u32(flags, NFTNL_EXPR_PAYLOAD_LEN, 1);
    nftnl_expr_set_u32(flags, NFTNL_EXPR_PAYLOAD_DREG, NFT_REG_1);
    NftExpr::bitwise(r, TH_SYN | TH_RST, 0, 1);
    NftExpr::compare(r, NFT_CMP_EQ, TH_SYN, 1);
    nftnl_expr *mtu = NftExpr::add(r, "rt");
    nftnl_expr_set_u32(mtu, NFTNL_EXPR_RT_KEY, NFT_RT_TCPMSS);
    nftnl_expr_set_u32(mtu, NFTNL_EXPR_RT_DREG, NFT_REG_1);
    nftnl_expr *order = NftExpr::add(r, "byteorder");
    nftnl_expr_set_u32(order, NFTNL_EXPR_BYTEORDER_SREG, NFT_REG_1);
    nftnl_expr_set_u32(order, NFTNL_EXPR_BYTEORDER_DREG, NFT_REG_1);
    nftnl_expr_set_u32(order, NFTNL_EXPR_BYTEORDER_OP, NFT_BYTEORDER_HTON);
    nftnl_expr_set_u32(order, NFTNL_EXPR_BYTEORDER_LEN, 2);
    nftnl_expr_set_u32(order, NFTNL_EXPR_BYTEORDER_SIZE, 2);
    nftnl_expr *maxseg = NftExpr::add(r, "exthdr");
    nftnl_expr_set_u32(maxseg, NFTNL_EXPR_EXTHDR_SREG, NFT_REG_1);
    nftnl_expr_set_u32(maxseg, NFTNL_EXPR_EXTHDR_OP, NFT_EXTHDR_OP_TCPOPT);
    nftnl_expr_set_u8(maxseg, NFTNL_EXPR_EXTHDR_TYPE, TCPOPT_MAXSEG);
    nftnl_expr_set_u32(maxseg, NFTNL_EXPR_EXTHDR_OFFSET, 2);
    nftnl_expr_set_u32(maxseg, NFTNL_EXPR_EXTHDR_LEN, 2);
    return r;
}

// One rule per new connection: the nat chain only sees a connection's first packet.
void addAliasRule(NftBatch &batch, const NatdOptions &options, const std::string &aliasAddress)
{
    nftnl_rule *r = rule("alias", false, options);
    if (options.log)
        NftExpr::log(r, "natd alias: ");
    if (options.dynamic) {
        NftExpr::add(r, "masq");
    } else {
        in_addr address{};
        ::inet_pton(AF_INET, aliasAddress.c_str(), &address);
        nftnl_expr *immediate = NftExpr::add(r, "immediate");
        nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_DREG, NFT_REG_1);
        nftnl_expr_set(immediate, NFTNL_EXPR_IMM_DATA, &address, sizeof address);
        nftnl_expr *nat = NftExpr::add(r, "nat");
        nftnl_expr_set_u32(nat, NFTNL_EXPR_NAT_TYPE, NFT_NAT_SNAT);
        nftnl_expr_set_u32(nat, NFTNL_EXPR_NAT_FAMILY, NFPROTO_IPV4);
        nftnl_expr_set_u32(nat, NFTNL_EXPR_NAT_REG_ADDR_MIN, NFT_REG_1);
    }
    batch.addRule(r);
}

} // namespace

void install(NftBatch &batch, const NatdOptions &options, const std::string &aliasAddress)
{
    batch.addTable(kTable, true, NFT_TABLE_F_OWNER);
    batch.addChain(kTable, "divert_in", "filter", NF_INET_PRE_ROUTING, NftLayout::natdMarkIn);
    batch.addChain(kTable, "divert_out", "filter", NF_INET_POST_ROUTING, NftLayout::natdMarkOut);
    batch.addChain(kTable, "alias", "nat", NF_INET_POST_ROUTING, NF_IP_PRI_NAT_SRC);
    // Once ipfw has looked, the mark goes again: other programs may route or filter by marks.
    batch.addChain(kTable, "unmark_in", "filter", NF_INET_PRE_ROUTING, NftLayout::natdUnmarkIn);
    batch.addChain(kTable, "unmark_out", "filter", NF_INET_POST_ROUTING, NftLayout::natdUnmarkOut);
    batch.addChain(kTable, "clamp_mss", "filter", NF_INET_FORWARD, NF_IP_PRI_MANGLE);
    if (options.denyIncoming) {
        // ct state new,invalid
        nftnl_rule *deny = rule("divert_in", true, options);
        nftnl_expr *state = NftExpr::add(deny, "ct");
        nftnl_expr_set_u32(state, NFTNL_EXPR_CT_KEY, NFT_CT_STATE);
        nftnl_expr_set_u32(state, NFTNL_EXPR_CT_DREG, NFT_REG_1);
        NftExpr::bitwise(deny, NF_CT_STATE_BIT(IP_CT_NEW) | NF_CT_STATE_INVALID_BIT, 0);
        NftExpr::compare(deny, NFT_CMP_NEQ, 0);
        if (options.logDenied)
            NftExpr::log(deny, "natd denied: ");
        NftExpr::verdict(deny, NF_DROP);
        batch.addRule(deny);
    }
    const struct {
        const char *chain;
        bool incoming;
        uint32_t bits;
    } marks[] = {{"divert_in", true, NftLayout::divertMark},
                 {"divert_out", false, NftLayout::divertMark},
                 {"unmark_in", true, 0},
                 {"unmark_out", false, 0}};
    for (const auto &mark : marks) {
        nftnl_rule *r = rule(mark.chain, mark.incoming, options);
        setMark(r, ~NftLayout::divertMark, mark.bits);
        batch.addRule(r);
    }
    // Where "fragmentation needed" gets lost behind a smaller MTU (PPPoE, VPN), both ends learn it.
    batch.addRule(clampMss(true, options));
    batch.addRule(clampMss(false, options));
    addAliasRule(batch, options, aliasAddress);
}

void retarget(NftBatch &batch, const NatdOptions &options, const std::string &aliasAddress)
{
    batch.flushChain(kTable, "alias");
    addAliasRule(batch, options, aliasAddress);
}

void remove(NftBatch &batch)
{
    batch.deleteTable(kTable);
}

} // namespace NatdRuleset

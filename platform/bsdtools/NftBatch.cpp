#include "NftBatch.h"

#include <cerrno>
#include <cstring>
#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/table.h>
#include <libnftnl/udata.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/socket.h>

namespace {

// Room for any one message of ours; the buffer grows by this before each.
constexpr size_t kMessageRoom = 4096;

} // namespace

NftBatch::NftBatch()
{
    m_socket = mnl_socket_open(NETLINK_NETFILTER);
    if (m_socket && mnl_socket_bind(m_socket, 0, MNL_SOCKET_AUTOPID) < 0) {
        mnl_socket_close(m_socket);
        m_socket = nullptr;
    }
    if (!m_socket) {
        m_error = std::string("cannot open an nf_tables socket: ") + std::strerror(errno);
        return;
    }
    m_portId = mnl_socket_get_portid(m_socket);
}

NftBatch::~NftBatch()
{
    if (m_socket)
        mnl_socket_close(m_socket);
}

nlmsghdr *NftBatch::message(uint16_t type, uint16_t flags, const std::string &what)
{
    if (m_what.empty()) {
        m_buffer.resize(kMessageRoom);
        nlmsghdr *begin = nftnl_batch_begin(m_buffer.data(), m_sequence++);
        m_used = NLMSG_ALIGN(begin->nlmsg_len);
        m_firstSequence = m_sequence;
    }
    m_what.push_back(what);
    m_buffer.resize(m_used + kMessageRoom);
    return nftnl_nlmsg_build_hdr(m_buffer.data() + m_used, type, NFPROTO_IPV4, flags | NLM_F_ACK,
                                 m_sequence++);
}

void NftBatch::queue(nlmsghdr *message)
{
    m_used += NLMSG_ALIGN(message->nlmsg_len);
}

void NftBatch::addTable(const char *table, bool exclusive, uint32_t flags)
{
    nftnl_table *t = nftnl_table_alloc();
    nftnl_table_set_str(t, NFTNL_TABLE_NAME, table);
    if (flags)
        nftnl_table_set_u32(t, NFTNL_TABLE_FLAGS, flags);
    nlmsghdr *message = this->message(NFT_MSG_NEWTABLE, NLM_F_CREATE | (exclusive ? NLM_F_EXCL : 0),
                                      std::string("add table ip ") + table);
    nftnl_table_nlmsg_build_payload(message, t);
    nftnl_table_free(t);
    queue(message);
}

void NftBatch::deleteTable(const char *table)
{
    nftnl_table *t = nftnl_table_alloc();
    nftnl_table_set_str(t, NFTNL_TABLE_NAME, table);
    nlmsghdr *message = this->message(NFT_MSG_DELTABLE, 0, std::string("delete table ip ") + table);
    nftnl_table_nlmsg_build_payload(message, t);
    nftnl_table_free(t);
    queue(message);
}

void NftBatch::addChain(const char *table, const char *chain, const char *type, int hook,
                        int priority)
{
    nftnl_chain *c = nftnl_chain_alloc();
    nftnl_chain_set_str(c, NFTNL_CHAIN_TABLE, table);
    nftnl_chain_set_str(c, NFTNL_CHAIN_NAME, chain);
    nftnl_chain_set_str(c, NFTNL_CHAIN_TYPE, type);
    nftnl_chain_set_u32(c, NFTNL_CHAIN_HOOKNUM, uint32_t(hook));
    nftnl_chain_set_s32(c, NFTNL_CHAIN_PRIO, priority);
    nftnl_chain_set_u32(c, NFTNL_CHAIN_POLICY, NF_ACCEPT);
    nlmsghdr *message = this->message(NFT_MSG_NEWCHAIN, NLM_F_CREATE,
                                      std::string("add chain ip ") + table + " " + chain);
    nftnl_chain_nlmsg_build_payload(message, c);
    nftnl_chain_free(c);
    queue(message);
}

void NftBatch::addAgain(const char *table, const Rule &rule)
{
    // Its handle and place belong to the rule it was; the kernel gives the new one its own.
    nftnl_rule_unset(rule.kernels.get(), NFTNL_RULE_HANDLE);
    nftnl_rule_unset(rule.kernels.get(), NFTNL_RULE_POSITION);
    nlmsghdr *message = this->message(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND,
                                      std::string("add rule ip ") + table + " " + rule.chain);
    nftnl_rule_nlmsg_build_payload(message, rule.kernels.get());
    queue(message);
}

nftnl_rule *NftBatch::newRule(const char *table, const char *chain)
{
    nftnl_rule *rule = nftnl_rule_alloc();
    nftnl_rule_set_str(rule, NFTNL_RULE_TABLE, table);
    nftnl_rule_set_str(rule, NFTNL_RULE_CHAIN, chain);
    return rule;
}

void NftBatch::addRule(nftnl_rule *rule, uint64_t before)
{
    if (before)
        nftnl_rule_set_u64(rule, NFTNL_RULE_POSITION, before);
    const std::string what = std::string(before ? "insert" : "add") + " rule ip " +
                             nftnl_rule_get_str(rule, NFTNL_RULE_TABLE) + " " +
                             nftnl_rule_get_str(rule, NFTNL_RULE_CHAIN);
    // Without append, a position means "before that rule".
    nlmsghdr *message =
        this->message(NFT_MSG_NEWRULE, NLM_F_CREATE | (before ? 0 : NLM_F_APPEND), what);
    nftnl_rule_nlmsg_build_payload(message, rule);
    nftnl_rule_free(rule);
    queue(message);
}

void NftBatch::flushChain(const char *table, const char *chain)
{
    deleteRules(table, chain, 0, "flush chain ip ");
}

void NftBatch::deleteRule(const char *table, const char *chain, uint64_t handle)
{
    deleteRules(table, chain, handle, "delete rule ip ");
}

// A rule deletion without a handle empties the whole chain.
void NftBatch::deleteRules(const char *table, const char *chain, uint64_t handle, const char *what)
{
    nftnl_rule *rule = newRule(table, chain);
    if (handle)
        nftnl_rule_set_u64(rule, NFTNL_RULE_HANDLE, handle);
    nlmsghdr *message = this->message(NFT_MSG_DELRULE, 0, what + std::string(table) + " " + chain);
    nftnl_rule_nlmsg_build_payload(message, rule);
    nftnl_rule_free(rule);
    queue(message);
}

bool NftBatch::commit()
{
    if (m_what.empty())
        return true;
    std::vector<std::string> what;
    what.swap(m_what);
    if (!m_socket)
        return false;
    queue(nftnl_batch_end(m_buffer.data() + m_used, m_sequence++));
    if (mnl_socket_sendto(m_socket, m_buffer.data(), m_used) < 0) {
        m_error = std::string("cannot send to nf_tables: ") + std::strerror(errno);
        return false;
    }
    // The kernel answers the whole batch before the send returns: read what is there.
    m_error.clear();
    size_t answers = 0;
    alignas(nlmsghdr) char answer[MNL_SOCKET_BUFFER_SIZE];
    ssize_t length;
    while ((length = ::recv(mnl_socket_get_fd(m_socket), answer, sizeof answer, MSG_DONTWAIT)) >
           0) {
        int left = int(length);
        for (auto *message = reinterpret_cast<const nlmsghdr *>(answer);
             mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
            if (message->nlmsg_type != NLMSG_ERROR)
                continue;
            ++answers;
            const int error = static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(message))->error;
            const size_t index = message->nlmsg_seq - m_firstSequence;
            if (error != 0 && m_error.empty())
                m_error = (index < what.size() ? what[index] : std::string("nf_tables")) + ": " +
                          std::strerror(-error);
        }
    }
    if (m_error.empty() && answers < what.size())
        m_error = "nf_tables left the change unanswered";
    return m_error.empty();
}

bool NftBatch::request(nlmsghdr *message, mnl_cb_t callback, void *data)
{
    const uint32_t sequence = message->nlmsg_seq;
    if (!m_socket || mnl_socket_sendto(m_socket, message, message->nlmsg_len) < 0)
        return false;
    alignas(nlmsghdr) char answer[MNL_SOCKET_BUFFER_SIZE];
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t length = mnl_socket_recvfrom(m_socket, answer, sizeof answer);
        if (length <= 0)
            return false;
        errno = 0;
        result = mnl_cb_run(answer, size_t(length), sequence, m_portId, callback, data);
    }
    return result == MNL_CB_STOP;
}

bool NftBatch::tableExists(const char *table)
{
    alignas(nlmsghdr) char buffer[kMessageRoom];
    nftnl_table *t = nftnl_table_alloc();
    nftnl_table_set_str(t, NFTNL_TABLE_NAME, table);
    nlmsghdr *message =
        nftnl_nlmsg_build_hdr(buffer, NFT_MSG_GETTABLE, NFPROTO_IPV4, NLM_F_ACK, m_sequence++);
    nftnl_table_nlmsg_build_payload(message, t);
    nftnl_table_free(t);
    // Any other answer than "no such table" leaves it to the change to fail clearly.
    return request(message, nullptr, nullptr) || errno != ENOENT;
}

namespace {

int commentOf(const nftnl_udata *attribute, void *data)
{
    if (nftnl_udata_type(attribute) == NFTNL_UDATA_RULE_COMMENT) {
        const char *text = static_cast<const char *>(nftnl_udata_get(attribute));
        *static_cast<std::string *>(data) =
            std::string(text, strnlen(text, nftnl_udata_len(attribute)));
    }
    return 0;
}

int collectRule(const nlmsghdr *message, void *data)
{
    NftBatch::Rule listed;
    listed.kernels.reset(nftnl_rule_alloc(), nftnl_rule_free);
    nftnl_rule *rule = listed.kernels.get();
    if (nftnl_rule_nlmsg_parse(message, rule) != 0)
        return MNL_CB_OK;
    listed.chain = nftnl_rule_get_str(rule, NFTNL_RULE_CHAIN);
    listed.handle = nftnl_rule_get_u64(rule, NFTNL_RULE_HANDLE);
    uint32_t length = 0;
    if (const void *udata = nftnl_rule_get_data(rule, NFTNL_RULE_USERDATA, &length))
        nftnl_udata_parse(udata, length, commentOf, &listed.comment);
    static_cast<std::vector<NftBatch::Rule> *>(data)->push_back(listed);
    return MNL_CB_OK;
}

} // namespace

std::vector<NftBatch::Rule> NftBatch::rules(const char *table)
{
    alignas(nlmsghdr) char buffer[kMessageRoom];
    nftnl_rule *filter = nftnl_rule_alloc();
    nftnl_rule_set_str(filter, NFTNL_RULE_TABLE, table);
    nlmsghdr *message =
        nftnl_nlmsg_build_hdr(buffer, NFT_MSG_GETRULE, NFPROTO_IPV4, NLM_F_DUMP, m_sequence++);
    nftnl_rule_nlmsg_build_payload(message, filter);
    nftnl_rule_free(filter);
    std::vector<Rule> listed;
    if (!request(message, collectRule, &listed))
        listed.clear();
    return listed;
}

namespace NftExpr {

nftnl_expr *add(nftnl_rule *rule, const char *name)
{
    nftnl_expr *expr = nftnl_expr_alloc(name);
    nftnl_rule_add_expr(rule, expr);
    return expr;
}

void interface(nftnl_rule *rule, bool incoming, const std::string &name)
{
    metaLoad(rule, incoming ? NFT_META_IIFNAME : NFT_META_OIFNAME);
    char padded[16] = {};
    std::strncpy(padded, name.c_str(), sizeof padded - 1);
    nftnl_expr *cmp = add(rule, "cmp");
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, NFT_CMP_EQ);
    nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, padded, sizeof padded);
}

void metaLoad(nftnl_rule *rule, uint32_t key)
{
    nftnl_expr *meta = add(rule, "meta");
    nftnl_expr_set_u32(meta, NFTNL_EXPR_META_KEY, key);
    nftnl_expr_set_u32(meta, NFTNL_EXPR_META_DREG, NFT_REG_1);
}

void bitwise(nftnl_rule *rule, uint32_t mask, uint32_t bits, uint32_t length)
{
    nftnl_expr *expr = add(rule, "bitwise");
    nftnl_expr_set_u32(expr, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
    nftnl_expr_set_u32(expr, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
    nftnl_expr_set_u32(expr, NFTNL_EXPR_BITWISE_LEN, length);
    nftnl_expr_set(expr, NFTNL_EXPR_BITWISE_MASK, &mask, length);
    nftnl_expr_set(expr, NFTNL_EXPR_BITWISE_XOR, &bits, length);
}

void compare(nftnl_rule *rule, uint32_t op, uint32_t value, uint32_t length)
{
    nftnl_expr *cmp = add(rule, "cmp");
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, op);
    nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, &value, length);
}

void log(nftnl_rule *rule, const char *prefix)
{
    nftnl_expr_set_str(add(rule, "log"), NFTNL_EXPR_LOG_PREFIX, prefix);
}

void verdict(nftnl_rule *rule, int verdict)
{
    nftnl_expr *immediate = add(rule, "immediate");
    nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_DREG, NFT_REG_VERDICT);
    nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_VERDICT, uint32_t(verdict));
}

void comment(nftnl_rule *rule, const std::string &text)
{
    nftnl_udata_buf *buffer = nftnl_udata_buf_alloc(NFT_USERDATA_MAXLEN);
    nftnl_udata_put_strz(buffer, NFTNL_UDATA_RULE_COMMENT, text.c_str());
    nftnl_rule_set_data(rule, NFTNL_RULE_USERDATA, nftnl_udata_buf_data(buffer),
                        nftnl_udata_buf_len(buffer));
    nftnl_udata_buf_free(buffer);
}

} // namespace NftExpr

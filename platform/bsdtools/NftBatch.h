#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct mnl_socket;
struct nftnl_expr;
struct nftnl_rule;
struct nlmsghdr;

// One nf_tables netlink socket and the batch of changes sent through it as one transaction.
// A table created with the owner flag lives exactly as long as this socket, in whichever
// process holds it.
class NftBatch
{
public:
    NftBatch();
    ~NftBatch();
    NftBatch(const NftBatch &) = delete;
    NftBatch &operator=(const NftBatch &) = delete;

    bool valid() const { return m_socket != nullptr; }
    // The first line of what went wrong last.
    const std::string &error() const { return m_error; }

    // exclusive: refuse a table that exists; flags: NFT_TABLE_F_*.
    void addTable(const char *table, bool exclusive = false, uint32_t flags = 0);
    void deleteTable(const char *table);
    // A base chain with policy accept.
    void addChain(const char *table, const char *chain, const char *type, int hook, int priority);
    void flushChain(const char *table, const char *chain);
    // A rule to fill with expressions and hand to addRule, which frees it.
    static nftnl_rule *newRule(const char *table, const char *chain);
    // Appends, or inserts before the rule with handle `before`.
    void addRule(nftnl_rule *rule, uint64_t before = 0);
    void deleteRule(const char *table, const char *chain, uint64_t handle);
    // Sends the batch and reads every answer; false, with error(), when the kernel refused it.
    bool commit();

    bool tableExists(const char *table);
    struct Rule {
        std::string chain;
        uint64_t handle = 0;
        std::string comment;
        std::shared_ptr<nftnl_rule> kernels; // as the kernel listed it, to be added again
    };
    // The rules of one table in chain and rule order (none when it doesn't exist).
    std::vector<Rule> rules(const char *table);
    // A listed rule added again at the end of its chain, as a rule of its own.
    void addAgain(const char *table, const Rule &rule);

private:
    // A message of the batch (opened on the first), described by `what` in its error line.
    nlmsghdr *message(uint16_t type, uint16_t flags, const std::string &what);
    void queue(nlmsghdr *message);
    void deleteRules(const char *table, const char *chain, uint64_t handle, const char *what);
    bool request(nlmsghdr *message, int (*callback)(const nlmsghdr *, void *), void *data);

    mnl_socket *m_socket = nullptr;
    uint32_t m_portId = 0;
    uint32_t m_sequence = 0;
    uint32_t m_firstSequence = 0;
    std::vector<char> m_buffer;
    size_t m_used = 0;
    std::vector<std::string> m_what; // each message of the batch, for its error line
    std::string m_error;
};

// The expressions both tools' rules are made of; each loads into or tests register 1.
namespace NftExpr {

// An expression of that kind at the end of the rule, to be filled in.
nftnl_expr *add(nftnl_rule *rule, const char *name);
// meta iifname/oifname == name
void interface(nftnl_rule *rule, bool incoming, const std::string &name);
void metaLoad(nftnl_rule *rule, uint32_t key);
// reg1 = (reg1 & mask) ^ bits
void bitwise(nftnl_rule *rule, uint32_t mask, uint32_t bits, uint32_t length = 4);
void compare(nftnl_rule *rule, uint32_t op, uint32_t value, uint32_t length = 4);
void log(nftnl_rule *rule, const char *prefix);
// accept or drop (NF_ACCEPT, NF_DROP)
void verdict(nftnl_rule *rule, int verdict);
void comment(nftnl_rule *rule, const std::string &text);

} // namespace NftExpr

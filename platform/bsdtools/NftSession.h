#pragma once

#include <string>

struct nft_ctx;

// One libnftables context and its netlink socket. A table created with "flags owner" lives
// exactly as long as this socket, in whichever process holds it.
class NftSession
{
public:
    NftSession();
    ~NftSession();
    NftSession(const NftSession &) = delete;
    NftSession &operator=(const NftSession &) = delete;

    bool valid() const { return m_ctx != nullptr; }
    // Runs the commands as one atomic transaction.
    bool run(const std::string &commands);
    // Listings of later runs carry "# handle N" after each rule.
    void showHandles();
    // What the last run printed, and the first line of its error.
    std::string output() const;
    std::string error() const;
    bool tableExists(const std::string &family, const std::string &table);

private:
    nft_ctx *m_ctx;
};

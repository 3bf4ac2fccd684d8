#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The kernel's word on every nftables transaction committed in this network namespace
// (NFNLGRP_NFTABLES, for root only): which process committed it.
class NftEvents
{
public:
    struct Commit {
        pid_t pid = 0;
        std::string program;
    };

    NftEvents();
    ~NftEvents();
    NftEvents(const NftEvents &) = delete;
    NftEvents &operator=(const NftEvents &) = delete;

    int fd() const { return m_fd; }
    // The commits told so far, oldest first; `lost` when the kernel had to drop some.
    std::vector<Commit> read(bool &lost);

private:
    int m_fd = -1;
};

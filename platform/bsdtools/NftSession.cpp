#include "NftSession.h"

#include "Diagnostics.h"

#include <nftables/libnftables.h>

NftSession::NftSession() : m_ctx(nft_ctx_new(NFT_CTX_DEFAULT))
{
    if (m_ctx) {
        nft_ctx_buffer_output(m_ctx);
        nft_ctx_buffer_error(m_ctx);
    }
}

NftSession::~NftSession()
{
    if (m_ctx)
        nft_ctx_free(m_ctx);
}

bool NftSession::run(const std::string &commands)
{
    if (!m_ctx)
        return false;
    // Fetching the buffers rewinds them, so each run's text stands alone.
    nft_ctx_get_output_buffer(m_ctx);
    nft_ctx_get_error_buffer(m_ctx);
    return nft_run_cmd_from_buffer(m_ctx, commands.c_str()) == 0;
}

void NftSession::showHandles()
{
    if (m_ctx)
        nft_ctx_output_set_flags(m_ctx, nft_ctx_output_get_flags(m_ctx) | NFT_CTX_OUTPUT_HANDLE);
}

std::string NftSession::output() const
{
    const char *text = m_ctx ? nft_ctx_get_output_buffer(m_ctx) : nullptr;
    return text ? text : "";
}

std::string NftSession::error() const
{
    if (!m_ctx)
        return "cannot make an nftables context";
    const char *text = nft_ctx_get_error_buffer(m_ctx);
    return Diagnostics::firstLine(text ? text : "");
}

bool NftSession::tableExists(const std::string &family, const std::string &table)
{
    return run("list table " + family + " " + table);
}

#pragma once

#include "NatdOptions.h"

#include <string>

class NftBatch;

// natd's nftables table, queued on a batch that commits it in one transaction. The table is
// owned by the batch's socket, so it goes away with natd's process however that ends.
namespace NatdRuleset {

// aliasAddress is the interface's address read at start; unused with -dynamic.
void install(NftBatch &batch, const NatdOptions &options, const std::string &aliasAddress);
// Replaces the translation rule after the interface's address changed (SIGHUP).
void retarget(NftBatch &batch, const NatdOptions &options, const std::string &aliasAddress);
void remove(NftBatch &batch);

} // namespace NatdRuleset

// One DKIM-Signature field (RFC 6376; Ed25519 per RFC 8463) for a rendered
// message, a canonical form, an algorithm and a domain record of the key
// table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dkim/canon.hpp"
#include "dkim/keys.hpp"

namespace ostrel {

// The a= text of an algorithm code, NULL for any other code.
const char* dkim_algorithm_name(int32_t algorithm);
// The c= tag of a canonical-form code (with its leading blank and ";"),
// never NULL; empty for simple/simple and unknown codes.
const char* dkim_canon_tag(int32_t canon);

// The field text, CR LF after each line, malloc'd (the caller frees); NULL
// when the record has no key of the type the algorithm needs (nothing to
// report), or when the signature could not be made: then ctx->failed is set
// and the slot holds "DKIM signing failed (a=...; d=...; s=...)", followed
// by ": " and the reason when the header block is at fault (a line that is
// no field, no From field, more From fields than can be signed) or the field
// would pass its size bounds. With a selector, only keys of that selector
// qualify.
char* dkim_sign(dkim_ctx* ctx, int32_t canon, int32_t algorithm, const dkim_domain* record,
                const char* selector, char** error);
// Hashes the unsigned field (ending "\tb=;") into the header digest and
// signs the digest with the key; 1 with the signature in the context, 0
// when the key cannot be read or the signing fails.
int dkim_sign_digest(dkim_ctx* ctx, const char* text, size_t len, const char* pem, char** error);

}  // namespace ostrel

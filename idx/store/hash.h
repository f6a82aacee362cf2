// The one hash of the engine, FNV-1a over bytes: word keys (idx/index), the stem memo, and the
// file table's fingerprint (idx/read). Stateless; any thread.
#ifndef OLMAREST_IDX_STORE_HASH_H
#define OLMAREST_IDX_STORE_HASH_H

#include <cstddef>
#include <cstdint>

constexpr uint32_t FNV_BASIS = 2166136261u;
constexpr uint32_t FNV_PRIME = 16777619u;

// h with the n bytes at p folded in.
inline uint32_t fnv_mix(uint32_t h, const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * FNV_PRIME;
    return h;
}

#endif

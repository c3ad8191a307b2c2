// Chain resolution: which live stages of a group run in series with a stage, and in
// which order, inferred from the call records the stages publish in their slots.
#pragma once
#include <cstdint>

#include "registry/shared.h"

enum Relation { REL_UNKNOWN = 0, REL_SERIAL = 1, REL_PARALLEL = 2 };

// One process call of a stage, from the slot's call rings.
struct CallRecord {
    uint64_t start;
    uint64_t end;
    int64_t steady;
};

// One stage of a resolved chain.
struct ChainEntry {
    SharedSlot *slot;
    uint32_t pos;   // 1-based position; 99 for an automatic stage without one yet
    uint8_t manual; // pos comes from the Stage parameter
    uint8_t recent; // processed audio within the last 500 ms
};

// Per-process memory of one chain's order (held by the registry, under its lock).
struct ChainCache {
    SharedSlot *key;     // member with the smallest uid; null = empty entry
    SharedSlot *acc[64]; // accepted order
    int32_t acc_n;
    SharedSlot *cand[64]; // last observed order
    uint32_t cand_n;
    uint32_t stable; // consecutive queries that observed cand
    int64_t since;   // when cand was first observed
};

// [main-thread] Resolves the chain of own_slot (may be null: the largest cluster) in group
// into out, sorted by position. Returns the count (at most max and 64). Takes the registry
// lock; no heap allocation.
int registry_chain_for(SharedSlot *own_slot, uint32_t group, ChainEntry *out, int max);
// [main-thread] The same answer without a store into the segment: serial tags are read,
// never written, and no new tag is drawn from the segment's counter. For observers such as
// the inspector (whose mapping may be read-only). Returns the count; takes the registry lock.
int registry_chain_view(SharedSlot *own_slot, uint32_t group, ChainEntry *out, int max);

// [any-thread] Pairwise test on two call histories (oldest first); returns a Relation.
// offline: either stage renders offline; then only blocks both processed, one right after
// the other, count.
int relation(const CallRecord *a, int na, const CallRecord *b, int nb, bool offline = false);
// [any-thread] Returns the median start-to-start period of the latest records (at most
// CALL_RING of them), 0 with fewer than 2.
int64_t period_of(const CallRecord *records, int n);

// [any-thread] qsort-style comparators (negative, 0, positive): int64_t values ascending;
// CallRecords by start; CallRecords newest block first, then by start; ChainEntries by
// position, manual first.
int cmp_i64(const void *a, const void *b);
int cmp_time(const void *a, const void *b);
int cmp_block(const void *a, const void *b);
int cmp_entry(const void *a, const void *b);

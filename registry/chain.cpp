// Chain resolution: pairwise serial/parallel tests on the stages' call records, clusters
// kept together by shared serial tags, and the observed processing order smoothed per chain.
//
// Sections: small helpers (saturating arithmetic, stable sort, union-find, order merge);
// comparators and period_of; the pairwise relation tests (offline, block, clock); the
// query's steps (gather members, relate pairs, join tagged clusters, tag, choose,
// collect, timeline, cache, observe, settle, write entries); the entry points.
#include "registry/chain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry/param_rows.h"
#include "registry/registry.h"
#include "sys/sys.h"

// Glossary of the query's working state (all on the stack, plus the static rel matrix):
//   member     a live slot whose Group value truncates to the asked group (at most 64)
//   hist/hn    a member's call history, oldest first, at most 62 records
//   StageSample the member's latest start time, period, steady time and recency
//   parent     union-find over member indexes; a cluster is a set of serial members
//   rel        pairwise outcomes of this query (static, 4 KB)
//   chain      the members of the chosen cluster, in member order
//   observed   the order in which the chain's recent stages processed the latest cycle

namespace {

constexpr int MAX_MEMBERS = 64;
constexpr int HIST_RECORDS = 62;
constexpr int64_t RECENT_NS = 500000000;
constexpr int64_t SETTLE_NS = 150000000;
constexpr int64_t I64_MAX = INT64_MAX;

struct StageSample {
    SharedSlot *slot;
    uint64_t t;      // start of the latest call
    int64_t dt;      // t minus the start of the call before
    int64_t steady;  // host steady time of the latest block
    int64_t dsteady; // steady minus the one before, 0 unless both valid and increasing
    bool recent;     // processed within the last 500 ms
    bool running;    // recent and within a few periods of now
    // The latest finished call (start, steady) from the call ring, as one record: a call
    // in progress has published its start before its steady time. valid: a call finished.
    CallRecord done;
    bool done_valid;
};

// A candidate of the order step: its latest call as a record (start, steady) and its member.
struct Cand {
    CallRecord r;
    int m;
};

// Saturating arithmetic for periods taken from foreign data (v and k positive for sat_mul).
int64_t sat_mul(int64_t v, int64_t k) { return v > I64_MAX / k ? I64_MAX : v * k; }
int64_t sat_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? I64_MAX : INT64_MIN;
    return r;
}

// Time differences between records of possibly different processes: modular, never UB.
int64_t diff(uint64_t a, uint64_t b) { return (int64_t)(a - b); }

// Stable insertion sort with a qsort-style comparator (n is at most 64 here).
template <class T> void sort_stable(T *a, int n, int (*cmp)(const void *, const void *)) {
    for (int i = 1; i < n; i++) {
        T x = a[i];
        int j = i - 1;
        while (j >= 0 && cmp(&a[j], &x) > 0) {
            a[j + 1] = a[j];
            j--;
        }
        a[j + 1] = x;
    }
}

int cmp_cand_time(const void *a, const void *b) { return cmp_time(&((const Cand *)a)->r, &((const Cand *)b)->r); }
int cmp_cand_block(const void *a, const void *b) { return cmp_block(&((const Cand *)a)->r, &((const Cand *)b)->r); }

// Steady values strictly increase, every value after the first being non-negative.
bool steady_increasing(const CallRecord *r, int n) {
    for (int i = 1; i < n; i++)
        if (r[i].steady < 0 || r[i].steady <= r[i - 1].steady) return false;
    return true;
}

bool debug_on() { return getenv("TERVIK_REG_DEBUG") != nullptr; }

int low_byte(const SharedSlot *s) { return (int)(shm_load(s->ident.uid) & 0xFF); }

// Appends formatted text to a fixed buffer; output beyond its end is dropped.
template <class... A> void append(char *buf, size_t size, size_t *len, const char *fmt, A... args) {
    if (*len >= size - 1) return;
    int w = snprintf(buf + *len, size - *len, fmt, args...);
    if (w < 0) return;
    *len += (size_t)w;
    if (*len > size - 1) *len = size - 1;
}

int find_root(int *parent, int i) {
    int r = i;
    while (parent[r] != r)
        r = parent[r];
    while (parent[i] != r) {
        int next = parent[i];
        parent[i] = r;
        i = next;
    }
    return r;
}

bool contains(SharedSlot *const *list, int n, const SharedSlot *s) {
    for (int i = 0; i < n; i++)
        if (list[i] == s) return true;
    return false;
}

// A slot pointer kept from an earlier query may be read only while it is still a known
// slot: shared slots stay mapped, process-local records only while listed.
bool slot_readable(const SharedSlot *s) {
    if (!s) return false;
    if (!shared_is_local(s)) return true;
    int n = shared_max();
    for (int i = 0; i < n; i++)
        if (shared_at(i) == s) return true;
    return false;
}

// Rebuilds acc from acc and the observed order; reorder = apply the observed order to
// the accepted slots it contains, else only drop slots that left the chain.
void merge(ChainCache *c, SharedSlot *const *obs, int obs_n, SharedSlot *const *chain, int chain_n, bool reorder) {
    SharedSlot *out[MAX_MEMBERS];
    int n = 0, next = 0;
    int acc_n = c->acc_n < 0 ? 0 : (c->acc_n > MAX_MEMBERS ? MAX_MEMBERS : c->acc_n);
    for (int i = 0; i < acc_n && n < MAX_MEMBERS; i++) {
        SharedSlot *s = c->acc[i];
        if (reorder && contains(obs, obs_n, s)) {
            while (next < obs_n && contains(out, n, obs[next]))
                next++;
            if (next < obs_n) out[n++] = obs[next++];
        } else if (contains(chain, chain_n, s) && !contains(out, n, s)) {
            out[n++] = s;
        }
    }
    for (int i = 0; i < obs_n && n < MAX_MEMBERS; i++)
        if (!contains(out, n, obs[i])) out[n++] = obs[i];
    memcpy(c->acc, out, (size_t)n * sizeof out[0]);
    c->acc_n = n;
}

uint8_t g_rel[MAX_MEMBERS][MAX_MEMBERS];
char g_lastline[512];
char g_lastline2[256];

} // namespace

int cmp_i64(const void *a, const void *b) {
    int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return (x > y) - (x < y);
}

int cmp_time(const void *a, const void *b) {
    uint64_t x = ((const CallRecord *)a)->start, y = ((const CallRecord *)b)->start;
    return (x > y) - (x < y);
}

int cmp_block(const void *a, const void *b) {
    const CallRecord *x = (const CallRecord *)a, *y = (const CallRecord *)b;
    if (x->steady != y->steady) return x->steady > y->steady ? -1 : 1;
    return (x->start > y->start) - (x->start < y->start);
}

int cmp_entry(const void *a, const void *b) {
    const ChainEntry *x = (const ChainEntry *)a, *y = (const ChainEntry *)b;
    if (x->pos != y->pos) return x->pos < y->pos ? -1 : 1;
    if (x->manual != y->manual) return x->manual ? -1 : 1;
    return 0;
}

int64_t period_of(const CallRecord *records, int n) {
    if (!records || n < 2) return 0;
    if (n > (int)CALL_RING) { // longer arrays: the latest records count
        records += n - (int)CALL_RING;
        n = (int)CALL_RING;
    }
    int64_t d[CALL_RING];
    for (int i = 0; i + 1 < n; i++)
        d[i] = diff(records[i + 1].start, records[i].start);
    sort_stable(d, n - 1, cmp_i64);
    return d[(n - 1) / 2];
}

// The block test for stages rendering offline, whose calls come as fast as the machine
// allows: that one stage's block ended before another's call for the same block began
// says nothing when the two run in different processes, each far ahead of real time. So a
// block counts only when the two calls are adjacent: the later stage's call for the block
// ends before the earlier stage's call for the next block begins, as on one thread in
// series. A stage that went on to its next block first runs on its own (parallel); no
// clock test, since offline call times follow the machine's load, not a period.
static int relation_offline(const CallRecord *a, int na, const CallRecord *b, int nb) {
    if (na < 2 || nb < 2 || !steady_increasing(a, na) || !steady_increasing(b, nb)) return REL_UNKNOWN;
    int ab = 0, ba = 0, ia = 0;
    for (int j = 0; j < nb; j++) {
        const CallRecord &y = b[j];
        while (ia < na && a[ia].steady < y.steady)
            ia++;
        if (ia >= na) break;
        const CallRecord &x = a[ia];
        if (x.steady != y.steady) continue;
        if (x.end > y.start && y.end > x.start) return REL_PARALLEL;
        bool a_first = x.end <= y.start;
        const CallRecord *next = a_first ? (ia + 1 < na ? &a[ia + 1] : nullptr) : (j + 1 < nb ? &b[j + 1] : nullptr);
        if (!next) continue; // the latest block: adjacency cannot be told yet
        if (next->start < (a_first ? y.end : x.end)) return REL_PARALLEL;
        if (a_first)
            ab++;
        else
            ba++;
    }
    if (ab > 0 && ba > 0) return REL_PARALLEL;
    int total = ab + ba;
    return total >= 24 ? REL_SERIAL : REL_UNKNOWN;
}

int relation(const CallRecord *a, int na, const CallRecord *b, int nb, bool offline) {
    if (!a || na < 2) return REL_UNKNOWN;
    if (!b) nb = 0;
    if (offline) return relation_offline(a, na, b, nb);
    if (steady_increasing(a, na)) {
        if (nb < 2) return REL_UNKNOWN;
        if (steady_increasing(b, nb)) {
            int ab = 0, ba = 0, ia = 0;
            for (int j = 0; j < nb; j++) {
                const CallRecord &y = b[j];
                while (ia < na && a[ia].steady < y.steady)
                    ia++;
                if (ia >= na) break;
                const CallRecord &x = a[ia];
                if (x.steady != y.steady) continue;
                if (x.end > y.start && y.end > x.start) return REL_PARALLEL;
                if (x.end > y.start)
                    ba++;
                else
                    ab++;
            }
            int total = ab + ba;
            if (ab > 0 && ba > 0) return REL_PARALLEL;
            if (total >= 24) {
                if (total < 32 && debug_on())
                    fprintf(stderr, "[rel] serial by clock: na %d nb %d ab %d ba %d, a %lld..%lld b %lld..%lld\n", na,
                            nb, ab, ba, (long long)a[0].steady, (long long)a[na - 1].steady, (long long)b[0].steady,
                            (long long)b[nb - 1].steady);
                return REL_SERIAL;
            }
            if (total > 0) return REL_UNKNOWN;
        }
    }
    // Clock test: who starts right after whom, within one period.
    int64_t p = period_of(a, na);
    if (p <= 0 || nb < 2) return REL_UNKNOWN;
    int64_t reach = p > I64_MAX / 3 * 2 ? I64_MAX : p + p / 2;
    int ia = -1, ib = -1, a_then_b = 0, b_then_a = 0;
    for (int j = 0; j < nb; j++) {
        const CallRecord &y = b[j];
        while (ia + 1 < na && a[ia + 1].start <= y.start)
            ia++;
        if (ia < 0) continue;
        const CallRecord &x = a[ia];
        if (diff(y.start, x.start) > reach) continue;
        while (ib + 1 < nb && b[ib + 1].start < x.start)
            ib++;
        if (y.start < x.end || (ib >= 0 && x.start < b[ib].end)) return REL_PARALLEL;
        if (ib >= 0) {
            if (diff(y.start, x.end) < diff(x.start, b[ib].end))
                a_then_b++;
            else
                b_then_a++;
        }
    }
    int lo = a_then_b < b_then_a ? a_then_b : b_then_a;
    int total = a_then_b + b_then_a;
    if (lo >= 2 && 8 * lo >= total) return REL_PARALLEL;
    return total - lo >= 24 ? REL_SERIAL : REL_UNKNOWN;
}

namespace {

// The working state of one query, passed from step to step (on the query's stack).
struct Query {
    // Inputs.
    SharedSlot *own_slot;
    uint32_t group;
    bool write_tags; // keep the clusters' serial tags in the slots
    uint64_t now;
    bool dbg;
    // Members, their samples and call histories.
    StageSample smp[MAX_MEMBERS];
    CallRecord hist[MAX_MEMBERS][HIST_RECORDS];
    int hn[MAX_MEMBERS];
    uint32_t ser[MAX_MEMBERS]; // the members' serial tags as this query sees them
    bool offline[MAX_MEMBERS]; // the member's host renders offline (clap.render)
    int n;
    // Clusters.
    int parent[MAX_MEMBERS];
    bool linked[MAX_MEMBERS];     // serial with another member while both run
    uint32_t tag_of[MAX_MEMBERS]; // by root index
    int size_of[MAX_MEMBERS];     // by root index
    int root[MAX_MEMBERS];
    int chosen;
    // The chain: members of the chosen cluster in member order, keyed by the smallest uid.
    int cm[MAX_MEMBERS];
    SharedSlot *chain[MAX_MEMBERS];
    int cn;
    SharedSlot *key;
    bool same; // the chain's running stages share one timeline
    // The observed order of the recent stages.
    SharedSlot *obs[MAX_MEMBERS];
    int obs_n;
};

// The members' latest calls as of one instant. They are read twice, and again while some
// member began a call in between: stages that process far faster than real time could
// otherwise be caught a block apart (a later stage seemingly ahead of the one feeding it).
// A member that never keeps still for the few reads keeps the last values read.
void sample_latest(Query &q) {
    struct Latest {
        uint64_t t, prev_t;
        int64_t steady, prev;
        uint32_t count;
        CallRecord done;
    };
    Latest a[MAX_MEMBERS], b[MAX_MEMBERS];
    const auto read = [&q](Latest *v) {
        for (int n = 0; n < q.n; n++) {
            const SharedSlot *s = q.smp[n].slot;
            v[n] = Latest{shm_load(s->calls.proc_time),   shm_load(s->calls.proc_prev_time), shm_load(s->calls.steady),
                          shm_load(s->calls.steady_prev), shm_load(s->calls.ring_count),     CallRecord{0, 0, -1}};
            if (v[n].count > 0) {
                const uint32_t i = (v[n].count - 1) & (CALL_RING - 1);
                v[n].done = CallRecord{shm_load(s->calls.ring_start[i]), 0, shm_load(s->calls.ring_steady[i])};
            }
        }
    };
    read(a);
    for (int attempt = 0; attempt < 8; attempt++) {
        read(b);
        bool same = true;
        for (int n = 0; n < q.n && same; n++)
            same = a[n].t == b[n].t && a[n].steady == b[n].steady && a[n].count == b[n].count;
        std::memcpy(a, b, (size_t)q.n * sizeof a[0]);
        if (same) break;
    }
    for (int n = 0; n < q.n; n++) {
        StageSample &m = q.smp[n];
        m.t = a[n].t;
        m.dt = diff(m.t, a[n].prev_t);
        m.steady = a[n].steady;
        const int64_t prev = a[n].prev;
        m.dsteady = (m.steady >= 0 && prev >= 0 && m.steady > prev) ? m.steady - prev : 0;
        // Signed age: a call that began after `now` was read (the owner keeps running) is
        // recent; a start time far in the future is garbage and is not.
        int64_t age = diff(q.now, m.t);
        m.recent = m.t != 0 && age < RECENT_NS && age > -RECENT_NS;
        int64_t tol = m.dt > 0 ? sat_mul(m.dt, 4) : 200000000;
        if (m.dt > 0 && tol < 60000000) tol = 60000000;
        m.running = m.recent && age < tol;
        m.done = a[n].done;
        m.done_valid = a[n].count > 0;
    }
}

// Step 1: the live members of the group, their latest call and their call histories.
void gather_members(Query &q) {
    q.n = 0;
    const int scan = shared_max();
    for (int i = 0; i < scan && q.n < MAX_MEMBERS; i++) {
        SharedSlot *s = shared_at(i);
        if (!s || !shared_alive(s)) continue;
        // Foreign values may be anything: only a Group that truncates to 0..15 counts.
        int g = slot_group(s);
        if (g < 0 || (uint32_t)g != q.group) continue;
        const int n = q.n;
        q.smp[n].slot = s;
        uint32_t count = shm_load(s->calls.ring_count);
        int k = count < (uint32_t)HIST_RECORDS ? (int)count : HIST_RECORDS;
        for (int r = 0; r < k; r++) {
            uint32_t idx = (count - (uint32_t)k + (uint32_t)r) & (CALL_RING - 1);
            q.hist[n][r].start = shm_load(s->calls.ring_start[idx]);
            q.hist[n][r].end = shm_load(s->calls.ring_end[idx]);
            q.hist[n][r].steady = shm_load(s->calls.ring_steady[idx]);
        }
        q.hn[n] = k;
        q.ser[n] = shm_load(s->calls.serial);
        q.offline[n] = shm_load(s->render_mode) == 1;
        q.n++;
    }
    sample_latest(q);
}

// Step 2: pairwise relations into g_rel; serial pairs join one cluster (union-find).
void relate_pairs(Query &q) {
    const int n = q.n;
    for (int i = 0; i < n; i++) {
        q.parent[i] = i;
        memset(g_rel[i], 0, (size_t)n);
    }
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            bool off = q.offline[i] || q.offline[j];
            int r = relation(q.hist[i], q.hn[i], q.hist[j], q.hn[j], off);
            if (r == REL_UNKNOWN) r = relation(q.hist[j], q.hn[j], q.hist[i], q.hn[i], off);
            g_rel[i][j] = g_rel[j][i] = (uint8_t)r;
            if (r == REL_SERIAL) {
                int ri = find_root(q.parent, i), rj = find_root(q.parent, j);
                if (ri != rj) q.parent[ri] = rj;
            }
        }
    }
    for (int i = 0; i < n; i++)
        q.linked[i] = false;
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++)
            if (g_rel[i][j] == REL_SERIAL && q.smp[i].running && q.smp[j].running) q.linked[i] = q.linked[j] = true;
}

// Step 3: stored tags keep clusters together unless their running stages overlap in time;
// on a conflict the weaker cluster loses its tags.
void join_tagged_clusters(Query &q) {
    const int n = q.n;
    int *parent = q.parent;
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            int ri = find_root(parent, i), rj = find_root(parent, j);
            if (ri == rj) continue;
            if (q.ser[i] == 0 || q.ser[i] != q.ser[j]) continue;
            bool conflict = false;
            for (int k = 0; k < n && !conflict; k++) {
                if (!q.smp[k].running || find_root(parent, k) != ri) continue;
                for (int m = 0; m < n; m++) {
                    if (q.smp[m].running && find_root(parent, m) == rj && g_rel[k][m] == REL_PARALLEL) {
                        conflict = true;
                        break;
                    }
                }
            }
            if (!conflict) {
                parent[ri] = rj;
                continue;
            }
            int count_i = 0, count_j = 0;
            bool link_i = false, link_j = false;
            for (int k = 0; k < n; k++) {
                int rk = find_root(parent, k);
                if (rk == ri) {
                    count_i++;
                    link_i = link_i || q.linked[k];
                } else if (rk == rj) {
                    count_j++;
                    link_j = link_j || q.linked[k];
                }
            }
            int loser;
            if (link_i == link_j) {
                if (count_i != count_j)
                    loser = count_i < count_j ? ri : rj;
                else
                    loser = ri > rj ? ri : rj;
            } else {
                loser = link_i ? rj : ri;
            }
            for (int k = 0; k < n; k++) {
                if (find_root(parent, k) != loser) continue;
                q.ser[k] = 0;
                if (q.write_tags) shm_store(q.smp[k].slot->calls.serial, 0u);
            }
        }
    }
}

// Step 4: one tag per cluster: the smallest one its members hold, or a fresh one.
void tag_clusters(Query &q) {
    const int n = q.n;
    for (int i = 0; i < n; i++) {
        q.tag_of[i] = 0;
        q.size_of[i] = 0;
    }
    for (int i = 0; i < n; i++) {
        q.root[i] = find_root(q.parent, i);
        q.size_of[q.root[i]]++;
    }
    for (int r = 0; r < n; r++) {
        if (q.root[r] != r) continue;
        uint32_t tag = 0;
        for (int i = 0; i < n; i++) {
            if (q.root[i] != r) continue;
            if (q.ser[i] != 0 && (tag == 0 || q.ser[i] < tag)) tag = q.ser[i];
        }
        // An observer leaves a cluster without a tag as it is (0); nothing is drawn.
        while (tag == 0 && q.write_tags)
            tag = shared_serial_next();
        q.tag_of[r] = tag;
        for (int i = 0; i < n; i++) {
            if (q.root[i] != r) continue;
            q.ser[i] = tag;
            if (q.write_tags) shm_store(q.smp[i].slot->calls.serial, tag);
        }
    }
}

// Step 5: the chosen cluster: the asking stage's, else the largest (first root on ties).
void choose_cluster(Query &q) {
    const int n = q.n;
    q.chosen = -1;
    for (int i = 0; i < n && q.own_slot; i++)
        if (q.smp[i].slot == q.own_slot) q.chosen = q.root[i];
    if (q.chosen < 0) {
        for (int r = 0; r < n; r++)
            if (q.root[r] == r && (q.chosen < 0 || q.size_of[r] > q.size_of[q.chosen])) q.chosen = r;
    }
}

// Trace of the clusters (TERVIK_REG_DEBUG), printed when it changes.
void trace_clusters(const Query &q) {
    const int n = q.n;
    char line[512];
    size_t len = 0;
    append(line, sizeof line, &len, "rel:");
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++)
            append(line, sizeof line, &len, " %d%d=%c", low_byte(q.smp[i].slot), low_byte(q.smp[j].slot),
                   "?SP"[g_rel[i][j] < 3 ? g_rel[i][j] : 0]);
    append(line, sizeof line, &len, " | root:");
    for (int i = 0; i < n; i++)
        append(line, sizeof line, &len, " %d>%d", low_byte(q.smp[i].slot), low_byte(q.smp[q.root[i]].slot));
    append(line, sizeof line, &len, " | serial:");
    for (int i = 0; i < n; i++)
        append(line, sizeof line, &len, " %d", (int)q.tag_of[q.root[i]]);
    append(line, sizeof line, &len, " | live:");
    for (int i = 0; i < n; i++)
        append(line, sizeof line, &len, "%d", q.smp[i].recent ? 1 : 0);
    if (strcmp(line, g_lastline) != 0) {
        fprintf(stderr, "[reg2] %s\n", line);
        memcpy(g_lastline, line, sizeof line);
    }
}

// Step 6: the chain's members in member order, and its key (the smallest uid).
void collect_chain(Query &q) {
    q.cn = 0;
    q.key = nullptr;
    int64_t key_uid = 0;
    for (int i = 0; i < q.n; i++) {
        if (q.root[i] != q.chosen) continue;
        q.cm[q.cn] = i;
        q.chain[q.cn++] = q.smp[i].slot;
        int64_t uid = (int64_t)shm_load(q.smp[i].slot->ident.uid);
        if (!q.key || uid < key_uid) {
            q.key = q.smp[i].slot;
            key_uid = uid;
        }
    }
}

// Step 7: same timeline: running members with usable steady times share at least one block.
void check_timeline(Query &q) {
    bool same = true;
    for (int x = 0; x < q.cn && same; x++) {
        int i = q.cm[x];
        if (!q.smp[i].running || q.hn[i] < 2 || !steady_increasing(q.hist[i], q.hn[i])) continue;
        for (int y = x + 1; y < q.cn && same; y++) {
            int j = q.cm[y];
            if (!q.smp[j].running || q.hn[j] < 2 || !steady_increasing(q.hist[j], q.hn[j])) continue;
            bool shared = false;
            for (int p = 0, r = 0; p < q.hn[i] && r < q.hn[j] && !shared;) {
                if (q.hist[i][p].steady == q.hist[j][r].steady)
                    shared = true;
                else if (q.hist[i][p].steady < q.hist[j][r].steady)
                    p++;
                else
                    r++;
            }
            if (!shared) same = false;
        }
    }
    q.same = same;
}

// Step 8: the cache entry of this chain: found by key, else a free one, else the first.
ChainCache *cache_of(const Query &q) {
    ChainCache *caches = registry_caches();
    ChainCache *c = nullptr;
    for (int i = 0; i < 64 && !c; i++)
        if (caches[i].key == q.key) c = &caches[i];
    if (!c) {
        for (int i = 0; i < 64 && !c; i++)
            if (!caches[i].key) c = &caches[i];
        if (!c) c = &caches[0];
        c->key = q.key;
        c->acc_n = 0;
        c->cand_n = 0;
        c->stable = 0;
        c->since = (int64_t)q.now;
    }
    if (c->acc_n < 0 || c->acc_n > MAX_MEMBERS) c->acc_n = 0;
    if (c->cand_n > (uint32_t)MAX_MEMBERS) c->cand_n = 0;
    return c;
}

// Step 9: the order in which the chain's recent stages processed the latest cycle: by
// steady time when all share one timeline, else by start times after the longest gap.
void observe_order(Query &q) {
    Cand cand[MAX_MEMBERS];
    int nc = 0;
    for (int x = 0; x < q.cn; x++) {
        int i = q.cm[x];
        if (!q.smp[i].recent) continue;
        // A finished call when there is one: its start and steady time belong together.
        cand[nc].r = q.smp[i].done_valid ? q.smp[i].done : CallRecord{q.smp[i].t, 0, q.smp[i].steady};
        cand[nc].m = i;
        nc++;
    }
    const StageSample *smp = q.smp;
    SharedSlot **obs = q.obs;
    int obs_n = 0;
    if (nc == 1) {
        obs[obs_n++] = smp[cand[0].m].slot;
    } else if (nc >= 2) {
        bool by_steady = q.same;
        for (int x = 0; x < nc && by_steady; x++)
            if (smp[cand[x].m].steady < 0 || smp[cand[x].m].dsteady < 1) by_steady = false;
        int64_t med[MAX_MEMBERS];
        if (by_steady) {
            int64_t newest = cand[0].r.steady;
            for (int x = 0; x < nc; x++) {
                if (cand[x].r.steady > newest) newest = cand[x].r.steady;
                med[x] = smp[cand[x].m].dsteady;
            }
            sort_stable(med, nc, cmp_i64);
            int64_t block = med[nc / 2];
            Cand kept[MAX_MEMBERS];
            int nk = 0;
            for (int x = 0; x < nc; x++)
                if (newest - cand[x].r.steady <= block) kept[nk++] = cand[x];
            sort_stable(kept, nk, cmp_cand_block);
            for (int x = 0; x < nk; x++)
                obs[obs_n++] = smp[kept[x].m].slot;
        } else {
            sort_stable(cand, nc, cmp_cand_time);
            for (int x = 0; x < nc; x++)
                med[x] = smp[cand[x].m].dt;
            sort_stable(med, nc, cmp_i64);
            int64_t period = med[nc / 2];
            if (period < 1) period = 1;
            uint64_t t_last = cand[nc - 1].r.start;
            int64_t window = sat_mul(period, 2);
            Cand kept[MAX_MEMBERS];
            int nk = 0;
            for (int x = 0; x < nc; x++)
                if (diff(t_last, cand[x].r.start) <= window) kept[nk++] = cand[x];
            int first = 0;
            if (nk >= 2) {
                int64_t best = sat_add(period, diff(kept[0].r.start, kept[nk - 1].r.start));
                for (int x = 1; x < nk; x++) {
                    int64_t gap = diff(kept[x].r.start, kept[x - 1].r.start);
                    if (gap > best) {
                        best = gap;
                        first = x;
                    }
                }
            }
            for (int x = 0; x < nk; x++)
                obs[obs_n++] = smp[kept[(first + x) % nk].m].slot;
        }
    }
    q.obs_n = obs_n;
}

// Trace of the observed and accepted order (TERVIK_REG_DEBUG), printed when it changes.
void trace_order(const Query &q, const ChainCache *c) {
    char line[256];
    size_t len = 0;
    append(line, sizeof line, &len, "cand");
    for (int x = 0; x < q.obs_n; x++)
        append(line, sizeof line, &len, " %d", low_byte(q.obs[x]));
    append(line, sizeof line, &len, " | acc:");
    for (int x = 0; x < c->acc_n; x++) {
        SharedSlot *s = c->acc[x];
        append(line, sizeof line, &len, " %d", slot_readable(s) ? low_byte(s) : 0);
    }
    append(line, sizeof line, &len, " | t:");
    for (int x = 0; x < q.cn; x++)
        append(line, sizeof line, &len, " %lld", (long long)((q.smp[q.cm[x]].t % 100000000ull) / 1000));
    if (strcmp(line, g_lastline2) != 0) {
        fprintf(stderr, "[reg] n=%d %s\n", q.cn, line);
        memcpy(g_lastline2, line, sizeof line);
    }
}

// Step 10: hysteresis: a new order is accepted once seen in 3 queries over 150 ms.
void settle_order(const Query &q, ChainCache *c) {
    SharedSlot *const *obs = q.obs;
    const int obs_n = q.obs_n;
    const int64_t since_now = diff(q.now, (uint64_t)c->since);
    if (obs_n > 0) {
        bool same_cand = c->cand_n == (uint32_t)obs_n && memcmp(c->cand, obs, (size_t)obs_n * sizeof obs[0]) == 0;
        bool settled = false;
        if (same_cand) {
            if (c->stable < 3) c->stable++;
            settled = c->stable >= 3 && since_now >= SETTLE_NS;
        } else {
            memcpy(c->cand, obs, (size_t)obs_n * sizeof obs[0]);
            c->cand_n = (uint32_t)obs_n;
            c->stable = 1;
            c->since = (int64_t)q.now;
        }
        if (c->acc_n == 0) {
            memcpy(c->acc, obs, (size_t)obs_n * sizeof obs[0]);
            c->acc_n = obs_n;
        } else {
            bool missing = false;
            for (int x = 0; x < obs_n && !missing; x++)
                missing = !contains(c->acc, c->acc_n, obs[x]);
            if (settled || missing) merge(c, obs, obs_n, q.chain, q.cn, true);
        }
    } else if (c->cand_n != 0) {
        c->cand_n = 0;
        c->stable = 1;
        c->since = (int64_t)q.now;
    } else {
        if (c->stable < 3) c->stable++;
        if (c->stable >= 3 && since_now >= SETTLE_NS && c->acc_n > 0) merge(c, obs, 0, q.chain, q.cn, false);
    }
}

// Step 11: result entries (unsorted); a manual Stage value overrides the learned position.
// Returns the count written.
int write_entries(const Query &q, const ChainCache *c, ChainEntry *out, int max) {
    int count = q.cn < max ? q.cn : max;
    for (int x = 0; x < count; x++) {
        const StageSample &m = q.smp[q.cm[x]];
        ChainEntry &e = out[x];
        e.slot = m.slot;
        e.recent = m.recent ? 1 : 0;
        double s = shm_load(m.slot->values[P_STAGE]);
        if (s >= 1.0) { // NaN fails; garbage above the Stage range counts as its top, 8
            e.pos = s < 8.0 ? (uint32_t)s : 8u;
            e.manual = 1;
        } else {
            e.pos = 99;
            e.manual = 0;
            for (int y = 0; y < c->acc_n; y++) {
                if (c->acc[y] == m.slot) {
                    e.pos = (uint32_t)(y + 1);
                    break;
                }
            }
        }
    }
    return count;
}

} // namespace

// The query, in the steps above; write_tags = keep the clusters' serial tags in the slots
// (drawing new ones from the segment's counter), else work on a private copy of the tags
// and store nothing.
static int chain_query(SharedSlot *own_slot, uint32_t group, ChainEntry *out, int max, bool write_tags) {
    if (group >= 16 || max < 1 || !out) return 0;
    registry_lock();
    Query q;
    q.own_slot = own_slot;
    q.group = group;
    q.write_tags = write_tags;
    q.now = sys_time_ns();
    q.dbg = debug_on();

    gather_members(q);
    relate_pairs(q);
    join_tagged_clusters(q);
    tag_clusters(q);
    choose_cluster(q);
    if (q.dbg) trace_clusters(q);
    if (q.n == 0) {
        registry_unlock();
        return 0;
    }
    collect_chain(q);
    check_timeline(q);
    ChainCache *c = cache_of(q);
    observe_order(q);
    if (q.dbg) trace_order(q, c);
    settle_order(q, c);
    int count = write_entries(q, c, out, max);
    registry_unlock();
    sort_stable(out, count, cmp_entry);
    return count;
}

int registry_chain_for(SharedSlot *own_slot, uint32_t group, ChainEntry *out, int max) {
    return chain_query(own_slot, group, out, max, true);
}

int registry_chain_view(SharedSlot *own_slot, uint32_t group, ChainEntry *out, int max) {
    return chain_query(own_slot, group, out, max, false);
}

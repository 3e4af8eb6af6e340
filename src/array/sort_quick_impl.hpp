// The quicksort of 64-bit keys, generic over the key struct K: included by each instruction
// set's file inside its target pragma and an anonymous namespace, after its key structs
// (hence no include guard and no includes of its own).
//
// K gives the element type T, the register type V of LANES lanes, the lane mask type M of
// masked loads and stores, the tuning (BASE, UNROLL, UNROLL_LONG, LONG, NET_REGS) and the
// network's form (CLEAN_BY_TRANSPOSE, BY_COLUMNS), and the operations below: load/store
// (plain and masked), select, set1, first, gt (a lane bit mask), minmax, reverse, transpose
// of LANES registers, clean_lanes (the steps within one register of a bitonic merge), where
// BY_COLUMNS also lane_step and mirror, compact (the lanes going left first), lanes_below
// and sample.

// ---- Sorting networks over R registers ----

struct Pair {
    int a, b;
};

// Batcher's odd-even merge network on r inputs (a power of two).
template <int R>
consteval auto merge_network() {
    constexpr int count = [] {
        int c = 0;
        for (int p = 1; p < R; p *= 2)
            for (int k = p; k >= 1; k /= 2)
                for (int j = k % p; j + k < R; j += 2 * k)
                    for (int i = 0; i < k && i + j + k < R; ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) ++c;
        return c;
    }();
    std::array<Pair, count> net{};
    int c = 0;
    for (int p = 1; p < R; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < R; j += 2 * k)
                for (int i = 0; i < k && i + j + k < R; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) net[c++] = {i + j, i + j + k};
    return net;
}

template <class K, int R>
struct Network {
    using V = typename K::V;
    static constexpr int L = K::LANES;
    static_assert(R >= L);
    static constexpr auto net = merge_network<R>();

    template <std::size_t... I>
    static QS_INLINE void columns(V* r, std::index_sequence<I...>) {
        (K::minmax(r[net[I].a], r[net[I].b]), ...);
    }

    // The steps between registers of the clean below: the W registers at r hold a bitonic
    // sequence; afterwards each register's lanes are the ones it ends with.
    template <int W>
    static QS_INLINE void clean_across(V* r) {
#pragma GCC unroll 8
        for (int d = W / 2; d >= 1; d /= 2)
#pragma GCC unroll 32
            for (int b = 0; b < W; b += 2 * d)
#pragma GCC unroll 32
                for (int i = b; i < b + d; ++i) K::minmax(r[i], r[i + d]);
    }

    // The steps within each of N registers. Where K says so, L registers at a time are
    // transposed, so that the steps are between registers.
    template <int N>
    static QS_INLINE void clean_within(V* r) {
        int i = 0;
        if constexpr (K::CLEAN_BY_TRANSPOSE) {
            for (; i + L <= N; i += L) {
                K::transpose(r + i);
                clean_across<L>(r + i);
                K::transpose(r + i);
            }
        }
        for (; i < N; ++i) K::clean_lanes(r[i]);
    }

    // The w registers at r hold a bitonic sequence; afterwards they are ascending.
    template <int W>
    static QS_INLINE void clean(V* r) {
        clean_across<W>(r);
        clean_within<W>(r);
    }

    // Merges the ascending runs r[0..w) and r[w..2w) but for the steps within registers.
    template <int W>
    static QS_INLINE void merge_across(V* r) {
        V* b = r + W;
        for (int j = 0; j < W / 2; ++j) {
            const V t = K::reverse(b[j]);
            b[j] = K::reverse(b[W - 1 - j]);
            b[W - 1 - j] = t;
        }
        if constexpr (W % 2 == 1) b[W / 2] = K::reverse(b[W / 2]);
        for (int j = 0; j < W; ++j) K::minmax(r[j], b[j]);
        clean_across<W>(r);
        clean_across<W>(b);
    }

    // The R registers at s hold ascending runs of W registers: merges them pairwise until
    // one run is left.
    template <int W>
    static QS_INLINE void merge_runs(V* s) {
        if constexpr (W < R) {
            for (int b = 0; b < R; b += 2 * W) merge_across<W>(s + b);
            clean_within<R>(s);
            merge_runs<2 * W>(s);
        }
    }

    // Sorts the L * R elements of r with the columns as runs throughout: element lane * R +
    // register. Merging runs then compares across registers but for the lane bits of the
    // run index, and one transpose at the end puts the elements in order.
    static QS_INLINE void sort_by_columns(V* r) {
        columns(r, std::make_index_sequence<net.size()>{});
        merge_columns<1>(r);
        for (int g = 0; g < R; g += L) K::transpose(r + g);
        constexpr int W = R / L;
        V s[R];
#pragma GCC unroll 32
        for (int i = 0; i < R; ++i) s[i] = r[(i % W) * L + i / W];
#pragma GCC unroll 32
        for (int i = 0; i < R; ++i) r[i] = s[i];
    }

    // Merges the runs of lanes [b, b + H) and [b + H, b + 2H) for each block b of 2H lanes:
    // the first step pairs each element with its mirror in the block (the lane bits below
    // 2H flipped, the register reversed), the others are a bitonic clean.
    template <int H>
    static QS_INLINE void merge_columns(V* r) {
        if constexpr (H < L) {
#pragma GCC unroll 32
            for (int i = 0; i < R / 2; ++i) K::template mirror<H>(r[i], r[R - 1 - i]);
            lane_steps<H / 2>(r);
            clean_across<R>(r);
            merge_columns<2 * H>(r);
        }
    }

    template <int D>
    static QS_INLINE void lane_steps(V* r) {
        if constexpr (D >= 1) {
#pragma GCC unroll 32
            for (int i = 0; i < R; ++i) K::template lane_step<D>(r[i]);
            lane_steps<D / 2>(r);
        }
    }

    // Sorts the L * R elements of r.
    static QS_INLINE void sort(V* r) {
        if constexpr (K::BY_COLUMNS) {
            sort_by_columns(r);
            return;
        }
        columns(r, std::make_index_sequence<net.size()>{});
        for (int g = 0; g < R; g += L) K::transpose(r + g);
        // Column j of the network is now the registers j, L + j, ...: gather the runs.
        constexpr int W = R / L;
        V s[R];
        for (int j = 0; j < L; ++j)
            for (int b = 0; b < W; ++b) s[j * W + b] = r[L * b + j];
        merge_runs<W>(s);
        for (int i = 0; i < R; ++i) r[i] = s[i];
    }
};

// The address of register i; past the end no lane of it is read or written.
template <class K, class T>
QS_INLINE T* register_at(T* a, std::size_t i) {
    return reinterpret_cast<T*>(reinterpret_cast<std::uintptr_t>(a) + K::LANES * i * sizeof(T));
}

// Loads n <= LANES * R elements into R registers, padded with the highest key, without a
// branch on n; the first FULL registers are known to be whole.
template <class K, int R, int FULL = 0>
QS_INLINE void load_padded(const typename K::T* a, std::size_t n, typename K::V* r) {
    constexpr std::size_t L = K::LANES;
    const auto high = K::set1(K::highest);
    for (int i = 0; i < FULL; ++i) r[i] = K::load(a + L * i);
    for (int i = FULL; i < R; ++i) {
        const auto m = K::lanes_below(n, static_cast<std::size_t>(i));
        r[i] = K::select(m, K::load_masked(register_at<K>(a, static_cast<std::size_t>(i)), m), high);
    }
}

template <class K, int R, int FULL = 0>
QS_INLINE void store_padded(typename K::T* a, std::size_t n, const typename K::V* r) {
    constexpr std::size_t L = K::LANES;
    for (int i = 0; i < FULL; ++i) K::store(a + L * i, r[i]);
    const std::size_t whole = n / L;
    for (std::size_t i = FULL; i < whole; ++i) K::store(a + L * i, r[i]);
    if (n % L != 0) K::store_masked(a + L * whole, K::lanes_below(n % L, 0), r[whole]);
}

// Sorts n <= LANES * R elements (more than LANES * FULL), padded with the highest key.
template <class K, int R, int FULL = 0>
QS_INLINE void sort_small(typename K::T* a, std::size_t n) {
    using V = typename K::V;
    V r[R];
    load_padded<K, R, FULL>(a, n, r);
    Network<K, R>::sort(r);
    store_padded<K, R, FULL>(a, n, r);
}

// The LANES * R elements at buf (aligned) form a bitonic sequence; afterwards they ascend.
// Past NET_REGS registers the first steps go through memory, one pair of registers at a
// time: all R at once would not fit beside the temporaries.
template <class K, int R>
QS_INLINE void clean_memory(typename K::T* buf) {
    using V = typename K::V;
    constexpr int L = K::LANES;
    if constexpr (R <= K::NET_REGS) {
        V r[R];
        for (int i = 0; i < R; ++i) r[i] = K::load(buf + L * i);
        Network<K, R>::template clean<R>(r);
        for (int i = 0; i < R; ++i) K::store(buf + L * i, r[i]);
    } else {
        for (int i = 0; i < R / 2; ++i) {
            V lo = K::load(buf + L * i);
            V hi = K::load(buf + L * R / 2 + L * i);
            K::minmax(lo, hi);
            K::store(buf + L * i, lo);
            K::store(buf + L * R / 2 + L * i, hi);
        }
        clean_memory<K, R / 2>(buf);
        clean_memory<K, R / 2>(buf + L * R / 2);
    }
}

// Sorts the LANES * R elements at buf (aligned): networks over NET_REGS registers, merged
// through memory.
template <class K, int R>
QS_INLINE void sort_memory(typename K::T* buf) {
    using V = typename K::V;
    constexpr int L = K::LANES;
    if constexpr (R <= K::NET_REGS) {
        V r[R];
        for (int i = 0; i < R; ++i) r[i] = K::load(buf + L * i);
        Network<K, R>::sort(r);
        for (int i = 0; i < R; ++i) K::store(buf + L * i, r[i]);
    } else {
        sort_memory<K, R / 2>(buf);
        sort_memory<K, R / 2>(buf + L * R / 2);
        // The second half read backwards: together a bitonic sequence, split in two.
        for (int j = 0; j < R / 4; ++j) {
            V lo = K::load(buf + L * j);
            V hi = K::reverse(K::load(buf + L * (R - 1 - j)));
            K::minmax(lo, hi);
            V lo2 = K::load(buf + L * (R / 2 - 1 - j));
            V hi2 = K::reverse(K::load(buf + L * (R / 2 + j)));
            K::minmax(lo2, hi2);
            K::store(buf + L * j, lo);
            K::store(buf + L * (R / 2 + j), hi);
            K::store(buf + L * (R / 2 - 1 - j), lo2);
            K::store(buf + L * (R - 1 - j), hi2);
        }
        clean_memory<K, R / 2>(buf);
        clean_memory<K, R / 2>(buf + L * R / 2);
    }
}

// Sorts n <= LANES * R elements, padded with the highest key.
template <class K, int R>
QS_INLINE void sort_padded(typename K::T* a, std::size_t n) {
    using T = typename K::T;
    using V = typename K::V;
    constexpr int L = K::LANES;
    alignas(64) T buf[L * R];
    {
        V r[R];
        load_padded<K, R>(a, n, r);
        for (int i = 0; i < R; ++i) K::store(buf + L * i, r[i]);
    }
    sort_memory<K, R>(buf);
    V r[R];
    for (int i = 0; i < R; ++i) r[i] = K::load(buf + L * i);
    store_padded<K, R>(a, n, r);
}

// Sorts n <= BASE elements (more than LANES * FULL) with the smallest network that holds them.
template <class K, int R = K::LANES, int FULL = 0>
QS_INLINE void sort_up_to(typename K::T* a, std::size_t n) {
    if constexpr (K::LANES * R < K::BASE) {
        if (n > std::size_t{K::LANES} * R) {
            sort_up_to<K, 2 * R, R>(a, n);
            return;
        }
    }
    static_assert(R <= K::NET_REGS);
    sort_small<K, R, FULL>(a, n);
}

template <class K>
void sort_base(typename K::T* a, std::size_t n) {
    if (n <= 1) return;
    sort_up_to<K>(a, n);
}

// ---- Partition ----

// Puts the elements of a[0..n) that do not go right (x > pivot, or x >= pivot when
// OR_EQUAL) before those that do; gives their count. n >= 2 * UNROLL * LANES. The first
// and last UNROLL vectors wait in registers so that every store lands on elements already
// read.
template <class K, bool OR_EQUAL, std::size_t UNROLL>
std::size_t partition_by(typename K::T* a, std::size_t n, typename K::T pivot) {
    using T = typename K::T;
    using V = typename K::V;
    constexpr std::size_t L = K::LANES;
    constexpr unsigned ALL = (1u << L) - 1;
    const V pv = K::set1(pivot);
    const auto right = [pv](V v) -> unsigned {
        if constexpr (OR_EQUAL) {
            return ~K::gt(pv, v) & ALL;
        } else {
            return K::gt(v, pv);
        }
    };
    std::size_t wl = 0;
    std::size_t wr = n;
    // The room between the write ends, wr - wl, shrinks by L with every vector put whichever
    // way its lanes go: only wr depends on the data.
    std::size_t room = 0;
    // Puts the i-th vector of a group; `left` is where the left end was at room 0 (an
    // address only, perhaps outside the array), fixed for the group.
    const auto put_at = [&](V v, std::uintptr_t left, std::size_t i) {
        const unsigned m = right(v);
        const auto c = static_cast<std::size_t>(std::popcount(m));
        const V p = K::compact(v, m);
        K::store(reinterpret_cast<T*>(left + (wr + L * i) * sizeof(T)), p);
        K::store(a + wr - L, p);
        wr -= c;
    };
    const auto left_end = [&] { return reinterpret_cast<std::uintptr_t>(a) - room * sizeof(T); };
    const auto put = [&](V v) {
        put_at(v, left_end(), 0);
        room -= L;
    };
    constexpr std::size_t KEPT = L * UNROLL;
    V first[UNROLL];
    V last[UNROLL];
    for (std::size_t i = 0; i < UNROLL; ++i) {
        first[i] = K::load(a + L * i);
        last[i] = K::load(a + n - KEPT + L * i);
    }
    std::size_t rl = KEPT;
    std::size_t rr = n - KEPT;
    for (; (rr - rl) % L != 0; ++rl) {
        const T x = a[rl];
        const bool goes_right = OR_EQUAL ? !(pivot > x) : x > pivot;
        if (goes_right) {
            a[--wr] = x;
        } else {
            a[wl++] = x;
        }
    }
    room = wr - wl;
    // Read from the end with less room, so that both have room for whole-vector stores.
    while (rr - rl >= L * UNROLL) {
        // Without a branch: which end comes next is as random as the data.
        const bool from_left = rl - (wr - room) <= wr - rr;
        const std::size_t at = from_left ? rl : rr - L * UNROLL;
        rl += from_left ? L * UNROLL : 0;
        rr -= from_left ? 0 : L * UNROLL;
        V v[UNROLL];
        for (std::size_t i = 0; i < UNROLL; ++i) v[i] = K::load(a + at + L * i);
        const std::uintptr_t left = left_end();
        for (std::size_t i = 0; i < UNROLL; ++i) put_at(v[i], left, i);
        room -= L * UNROLL;
    }
    while (rr != rl) {
        V v;
        if (rl - (wr - room) <= wr - rr) {
            v = K::load(a + rl);
            rl += L;
        } else {
            rr -= L;
            v = K::load(a + rr);
        }
        put(v);
    }
    for (std::size_t i = 0; i < UNROLL; ++i) put(first[i]);
    for (std::size_t i = 0; i < UNROLL; ++i) put(last[i]);
    return wr - room;
}

template <class K, bool OR_EQUAL>
std::size_t partition(typename K::T* a, std::size_t n, typename K::T pivot) {
    static_assert(K::BASE >= 2 * K::LANES * K::UNROLL && K::LONG >= 2 * K::LANES * K::UNROLL_LONG,
                  "a partition keeps 2 * UNROLL vectors back");
    return n > K::LONG ? partition_by<K, OR_EQUAL, K::UNROLL_LONG>(a, n, pivot)
                       : partition_by<K, OR_EQUAL, K::UNROLL>(a, n, pivot);
}

// The median of a sample spread evenly over a[0..n), and the sample's lowest key. Up to
// 1024 elements the sample is nine keys and the pivot the median of three medians of three:
// sorting a larger sample cost more than its better splits saved.
template <class K>
std::pair<typename K::T, typename K::T> choose_pivot(const typename K::T* a, std::size_t n) {
    using T = typename K::T;
    constexpr int L = K::LANES;
    if (n <= 1024) {
        const std::size_t step = n / 9;
        const T* p = a + step / 2;
        struct M { T lo, mid; };
        const auto med3 = [](T x, T y, T z) {
            const T lo = std::min(x, y);
            return M{std::min(lo, z), std::max(lo, std::min(std::max(x, y), z))};
        };
        const M m0 = med3(p[0], p[step], p[2 * step]);
        const M m1 = med3(p[3 * step], p[4 * step], p[5 * step]);
        const M m2 = med3(p[6 * step], p[7 * step], p[8 * step]);
        return {med3(m0.mid, m1.mid, m2.mid).mid, std::min(std::min(m0.lo, m1.lo), m2.lo)};
    }
    if (n <= 8192) {
        // Straight into registers: scalar stores read back as vectors would stall.
        typename K::V r[L];
        for (int j = 0; j < L; ++j) r[j] = K::sample(a, n, j);
        Network<K, L>::sort(r);
        return {K::first(r[L / 2]), K::first(r[0])};
    }
    T s[64];
    for (std::size_t i = 0; i < 64; ++i) s[i] = a[(2 * i + 1) * n / 128];
    sort_padded<K, 64 / L>(s, 64);
    return {s[32], s[0]};
}

// Whether no key of a[0..n) is below x; n >= LANES.
template <class K>
bool none_below(const typename K::T* a, std::size_t n, typename K::T x) {
    constexpr std::size_t L = K::LANES;
    const auto xv = K::set1(x);
    std::size_t i = 0;
    for (; i + 4 * L <= n; i += 4 * L) {
        if ((K::gt(xv, K::load(a + i)) | K::gt(xv, K::load(a + i + L)) | K::gt(xv, K::load(a + i + 2 * L)) |
             K::gt(xv, K::load(a + i + 3 * L))) != 0)
            return false;
    }
    for (; i + L <= n; i += L)
        if (K::gt(xv, K::load(a + i)) != 0) return false;
    return K::gt(xv, K::load(a + n - L)) == 0;
}

// The fallback where the pivots keep missing the middle.
template <class T>
void heap_sort(T* a, std::size_t n) {
    const auto sift = [a](std::size_t i, std::size_t end) {
        const T x = a[i];
        for (std::size_t c; (c = 2 * i + 1) < end; i = c) {
            if (c + 1 < end && a[c] < a[c + 1]) ++c;
            if (!(x < a[c])) break;
            a[i] = a[c];
        }
        a[i] = x;
    };
    for (std::size_t i = n / 2; i-- > 0;) sift(i, n);
    for (std::size_t end = n; end-- > 1;) {
        const T top = a[0];
        a[0] = a[end];
        a[end] = top;
        sift(0, end);
    }
}

// When bounded, no key of the range is above `upper` (the pivot that split it off).
template <class K>
void sort_range(typename K::T* a, std::size_t n, int budget, bool bounded, typename K::T upper) {
    while (n > K::BASE) {
        if (budget-- == 0) {
            heap_sort(a, n);
            return;
        }
        const auto [pivot, lowest] = choose_pivot<K>(a, n);
        if (bounded && !(pivot < upper)) {
            // The pivot is the largest key: its copies go last, where they stay. Where the
            // sample held nothing else, the range may be all copies.
            if (!(lowest < pivot) && none_below<K>(a, n, pivot)) return;
            n = partition<K, true>(a, n, pivot);
            continue;
        }
        std::size_t left = partition<K, false>(a, n, pivot);
        if (left == n) {
            n = partition<K, true>(a, n, pivot);
            bounded = true;
            upper = pivot;
            continue;
        }
        if (left < n - left) {
            sort_range<K>(a, left, budget, true, pivot);
            a += left;
            n -= left;
        } else {
            sort_range<K>(a + left, n - left, budget, bounded, upper);
            n = left;
            bounded = true;
            upper = pivot;
        }
    }
    sort_base<K>(a, n);
}

template <class K>
void sort_all(typename K::T* a, std::size_t n) {
    sort_range<K>(a, n, 2 * static_cast<int>(std::bit_width(n)), false, K::highest);
}

// The element loops: results written around the cache must land exactly where and as
// the plain loop writes them, whatever the alignment, length and element width.
#include "helpers.hpp"

#include "array/loops.hpp"

#include <numeric>

using namespace corvantile;

namespace {

// Writes n elements through loops::streamed at `offset` bytes into a guarded buffer and
// checks every element and both guards.
template <class R>
void check_streamed(std::size_t offset, std::size_t n) {
    constexpr unsigned char GUARD = 0xA5;
    std::vector<unsigned char> raw(n * sizeof(R) + 256, GUARD);
    const std::size_t base = (64 - reinterpret_cast<std::uintptr_t>(raw.data()) % 64) % 64;
    unsigned char* start = raw.data() + base + 64 + offset;
    R* o = reinterpret_cast<R*>(start);
    loops::streamed(o, n, [&](R* dst, std::size_t first, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const R v = static_cast<R>((first + i) * 7 + 1);
            std::memcpy(reinterpret_cast<unsigned char*>(dst) + i * sizeof(R), &v, sizeof v);  // dst may be misaligned
        }
    });
    for (std::size_t i = 0; i < n; ++i) {
        R got;
        std::memcpy(&got, start + i * sizeof(R), sizeof(R));
        ASSERT_EQ(got, static_cast<R>(i * 7 + 1)) << "element " << i;
    }
    for (unsigned char* p = raw.data(); p < start; ++p) ASSERT_EQ(*p, GUARD) << "before";
    for (unsigned char* p = start + n * sizeof(R); p < raw.data() + raw.size(); ++p) ASSERT_EQ(*p, GUARD) << "after";
}

TEST(Streamed, EveryElementOnceAtAnyAlignmentAndLength) {
    for (std::size_t n : {0, 1, 7, 63, 64, 65, 200, 511, 512, 513, 1500}) {
        for (std::size_t offset = 0; offset < 64; offset += 8) {
            SCOPED_TRACE("n " + std::to_string(n) + " offset " + std::to_string(offset));
            check_streamed<double>(offset, n);
            check_streamed<std::int64_t>(offset, n);
        }
        for (std::size_t offset : {0, 1, 5, 31, 63}) {
            SCOPED_TRACE("bytes: n " + std::to_string(n) + " offset " + std::to_string(offset));
            check_streamed<std::uint8_t>(offset, n);
        }
        SCOPED_TRACE("double off its own alignment: n " + std::to_string(n));
        check_streamed<double>(3, n);
    }
}

// Long enough to pass the streaming size of a machine with up to 64 MiB of last-level
// cache, so both ways of writing are checked where the loops choose between them, and
// the far loops' narrower vectors, in place too.
TEST(Streamed, LargeLoopsMatchThePlainLoop) {
    constexpr std::size_t N = (std::size_t{1} << 22) + 37;
    std::vector<double> x(N + 1), y(N + 1);
    std::iota(x.begin(), x.end(), 0.5);
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = static_cast<double>(i % 1000) - 3.25;
    std::vector<Bool> m(N);
    for (std::size_t i = 0; i < N; ++i) m[i] = static_cast<Bool>(i % 3 == 0 ? 2 : 0);
    std::vector<double> out(N + 1);
    for (std::size_t shift : {0, 1}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        double* o = out.data() + shift;
        loops::zip_loop(x.data() + shift, y.data(), o, N, [](double a, double b) { return a - b; });
        for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(o[i], x[i + shift] - y[i]) << i;
        loops::select_loop(m.data(), static_cast<const double*>(x.data()), -1.0, o, N);
        for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(o[i], i % 3 == 0 ? x[i] : -1.0) << i;
        loops::zip_loop(x.data(), x.data(), o, N, [](double a, double b) { return a * b; });
        for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(o[i], x[i] * x[i]) << i;
        loops::map_loop(y.data() + shift, o, N, [](double a) { return -a; });
        loops::update_loop(o, N, [](double a) { return a * 0.5; });
        loops::zip_update(o, x.data(), N, [](double a, double b) { return a + b; });
        for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(o[i], -y[i + shift] * 0.5 + x[i]) << i;
    }
}

}  // namespace

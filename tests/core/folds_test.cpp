// The variance's squared deviations must add up to the very bits of one plain sequential
// accumulator, whatever shortcut the fold takes over blocks of terms.
#include "helpers.hpp"

#include "array/folds.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

using namespace corvantile;

namespace {

double reference_variance(const std::vector<double>& x) {
    const double n = static_cast<double>(x.size());
    const double mean = folds::lanes(x.data(), x.size()) / n;
    double acc = -0.0;
    for (double v : x) {
        const double d = v - mean;
        const double sq = d * d;
        acc = acc + sq;
    }
    return acc / n;
}

// Pairs +v, -v eight places apart cancel within their lane, so the mean is exactly 0 and
// each term is v * v.
std::vector<double> zero_mean(const std::vector<double>& halves) {
    std::vector<double> x;
    for (std::size_t i = 0; i < halves.size(); i += 8) {
        for (std::size_t j = i; j < i + 8; ++j) x.push_back(j < halves.size() ? halves[j] : 0.0);
        for (std::size_t j = i; j < i + 8; ++j) x.push_back(j < halves.size() ? -halves[j] : -0.0);
    }
    return x;
}

std::vector<double> normal(std::mt19937_64& rng, std::size_t n, double scale, double shift = 0.0) {
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<double> x(n);
    for (auto& v : x) v = d(rng) * scale + shift;
    return x;
}

std::vector<double> with(std::vector<double> x, std::size_t at, double v) {
    x[at] = v;
    return x;
}

std::vector<std::pair<std::string, std::vector<double>>> cases() {
    std::mt19937_64 rng(7);
    std::vector<std::pair<std::string, std::vector<double>>> out;
    for (std::size_t n : {1, 1023, 1024, 1025, 5000, 100000}) {
        out.emplace_back("normal " + std::to_string(n), normal(rng, n, 1.0));
        out.emplace_back("offset " + std::to_string(n), normal(rng, n, 1e-3, 1e6));
    }
    // Scales varying per element: the accumulator crosses many binades within blocks.
    auto wide = normal(rng, 40000, 1.0);
    std::uniform_int_distribution<int> power(-30, 30);
    for (auto& v : wide) v = std::ldexp(v, power(rng));
    out.emplace_back("wide scales", wide);
    // Accumulator in [2^41, 2^42), unit u = 2^-11; terms 4.5u (an exact tie, which the
    // accumulator's own last bit decides) between terms just above it (rounded to 5u,
    // so the last bit changes).
    std::vector<double> ties = {std::sqrt(1.2) * 0x1p20};
    for (int i = 0; i < 6000; ++i) ties.push_back(i % 2 ? 3 * 0x1p-6 : std::nextafter(3 * 0x1p-6, 1.0));
    out.emplace_back("ties", zero_mean(ties));
    out.emplace_back("a term larger than the sum so far", with(normal(rng, 3000, 1.0), 1500, 1e9));
    out.emplace_back("nan", with(normal(rng, 3000, 1.0), 2100, std::numeric_limits<double>::quiet_NaN()));
    out.emplace_back("nan payload",
                     with(normal(rng, 3000, 1.0), 2100, std::bit_cast<double>(std::uint64_t{0xFFF0000000000123})));
    out.emplace_back("inf", with(normal(rng, 3000, 1.0), 2500, std::numeric_limits<double>::infinity()));
    for (double scale : {1e153, 1e160, 1e-160, 1e-310}) out.emplace_back("scale", normal(rng, 3000, scale));
    out.emplace_back("constant", std::vector<double>(5000, 2.5));
    out.emplace_back("negative zeros", std::vector<double>(3000, -0.0));
    out.emplace_back("constant then a change", with(std::vector<double>(5000, 1.0), 4000, 2.0));
    // Terms that keep growing (the stretches are sized by the terms seen before), and tiny
    // terms after a huge one (they round to nothing: the sum stays where it is).
    std::vector<double> growing(20000);
    for (std::size_t i = 0; i < growing.size(); ++i) growing[i] = static_cast<double>(i * i % 7919) * 1e-3 * i;
    out.emplace_back("growing", growing);
    out.emplace_back("huge then tiny", with(normal(rng, 9000, 1e-9), 10, 1e9));
    return out;
}

TEST(Variance, SameBitsAsTheSequentialAccumulator) {
    for (const auto& [name, x] : cases()) {
        SCOPED_TRACE(name);
        const double want = reference_variance(x);
        const double got = folds::variance(x.data(), x.size());
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << got << " vs " << want;
    }
}

// The same sum over elements that come in runs of any length (the rows of a view).
TEST(Variance, RunsJoinedGiveTheSameBits) {
    for (const auto& [name, x] : cases()) {
        SCOPED_TRACE(name);
        const double mean = folds::lanes(x.data(), x.size()) / static_cast<double>(x.size());
        folds::SquaredDeviations acc(mean);
        const std::size_t runs[] = {1, 7, 100, 1023, 2000, 3, 4096};
        for (std::size_t i = 0, k = 0; i < x.size(); ++k) {
            const std::size_t n = std::min(runs[k % std::size(runs)], x.size() - i);
            acc.add(x.data() + i, n);
            i += n;
        }
        const double got = acc.total() / static_cast<double>(x.size());
        const double want = reference_variance(x);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << got << " vs " << want;
    }
}

// Rows folded several at once (vector lanes fed by transposes, an overlapping last group,
// a tail of columns) give each row the bits of its own sequential fold.
TEST(FoldRows, SameBitsAsOneSequentialFoldPerRow) {
    std::mt19937_64 rng(11);
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{2, 9},  {3, 8},   {8, 16},  {9, 7},  {16, 8},
                                                              {17, 41}, {33, 64}, {40, 3}, {5, 0}, {1, 20},
                                                              {3, 1},  {4, 9},  {3, 30}, {9, 8}, {20, 5}};
    for (auto [rows, len] : shapes) {
        SCOPED_TRACE(std::to_string(rows) + " x " + std::to_string(len));
        std::vector<double> x = normal(rng, rows * len, 1.0);
        std::uniform_int_distribution<int> power(-20, 20);
        for (auto& v : x) v = std::ldexp(v, power(rng));
        if (!x.empty()) x[x.size() / 2] = std::numeric_limits<double>::quiet_NaN();
        if (rows > 2 && len > 0) x[len] = std::bit_cast<double>(std::uint64_t{0xFFF0000000000123});  // row 1 starts with it
        auto check = [&](auto step, std::optional<double> init, const char* name) {
            SCOPED_TRACE(name);
            std::vector<double> got(rows, 7.0);
            folds::fold_rows(x.data(), got.data(), rows, len, init, step);
            for (std::uint64_t r = 0; r < rows; ++r) {
                const double* row = x.data() + r * len;
                const double want = init ? folds::fold(row, len, *init, step) : folds::fold(row + 1, len - 1, row[0], step);
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got[r]), std::bit_cast<std::uint64_t>(want)) << "row " << r;
            }
        };
        check(folds::AddStep{}, 0.0, "sum");
        check(folds::MulStep{}, 1.0, "prod");
        if (len > 0) {
            check(folds::MaxStep{}, std::nullopt, "max");
            check(folds::MinStep{}, std::nullopt, "min");
        }
    }
}

}  // namespace

#include "rcm/dist_boundary.h"

#include <algorithm>
#include <array>
#include <vector>

#include "azeotrope/stability.h"
#include "engine/run_log.h"
#include "rcm/residue_curve.h"

namespace ternival {
namespace {

constexpr std::string_view kRoutine = "Dist_Boundary";
constexpr double kPresent = 1e-6;
constexpr double kOffset = 0.001;
constexpr double kReached2 = 1e-6;
constexpr std::size_t kMax = 10;

}  // namespace

bool& EdgeOrientationFlag() {
    static bool flag = false;
    return flag;
}

void Dist_Boundary(std::int64_t n, double pressure, std::int64_t naz,
                   std::span<const double> singular_x, std::span<const std::int64_t> codes,
                   std::span<const double> temperatures, double h0,
                   std::span<const std::int64_t> ids, std::string_view method, int phase,
                   std::int64_t& curve_count, std::span<std::int64_t> point_counts,
                   std::span<double> curves, std::span<std::int64_t> directions,
                   std::int64_t& /*error_code*/) {
    const std::int64_t prefilled = curve_count;
    curve_count = 0;
    if (n < 2 || static_cast<std::size_t>(n) > kMax || naz < 0 || point_counts.empty()) return;
    const auto N = static_cast<std::size_t>(n);
    const auto S = static_cast<std::size_t>(n + naz);
    const std::int64_t P64 = point_counts[0];
    if (P64 < 2 || singular_x.size() < N * S || codes.size() < S || temperatures.size() < S ||
        ids.size() < N) {
        LogRunMessage(512, kRoutine);
        return;
    }
    const auto P = static_cast<std::size_t>(P64);
    const std::size_t stride = N * P;
    // Curves that fit in all three output arrays.
    const std::size_t capacity = std::min({curves.size() / stride, point_counts.size(), directions.size()});
    const std::size_t fill = std::min(curves.size(), static_cast<std::size_t>(std::max<std::int64_t>(prefilled, 0)) * stride);
    std::fill_n(curves.begin(), fill, -1.0);

    auto column = [&](std::size_t j) { return singular_x.subspan(j * N, N); };
    std::vector<int> present(S, 0);
    for (std::size_t j = 0; j < S; ++j)
        for (std::size_t i = 0; i < N; ++i) present[j] += column(j)[i] >= kPresent;
    std::vector<std::size_t> saddles;
    for (std::size_t j = N; j < S; ++j)
        if (codes[j] == kSaddle) saddles.push_back(j);
    std::vector<char> cleared(saddles.size(), 0);
    std::vector<char> M(S * S, 0);
    auto connect = [&](std::size_t a, std::size_t b) { M[a * S + b] = 1; };
    auto connected = [&](std::size_t a, std::size_t b) { return M[a * S + b] != 0; };

    bool overflow = false;
    // Reserves the next curve slot; false when the buffers are full.
    auto nextSlot = [&]() -> std::int64_t {
        if (static_cast<std::size_t>(curve_count) >= capacity) {
            if (!overflow) LogRunMessage(512, kRoutine);
            overflow = true;
            return -1;
        }
        const std::int64_t k = curve_count++;
        std::fill_n(curves.begin() + static_cast<std::ptrdiff_t>(k * stride), stride, -1.0);
        return k;
    };
    auto addSegment = [&](std::size_t a, std::size_t b) {  // from a to b
        const std::int64_t k = nextSlot();
        if (k < 0) return;
        auto out = curves.subspan(static_cast<std::size_t>(k) * stride, stride);
        std::ranges::copy(column(a), out.begin());
        std::ranges::copy(column(b), out.begin() + static_cast<std::ptrdiff_t>(N));
        point_counts[static_cast<std::size_t>(k)] = 2;
        const bool up = temperatures[b] > temperatures[a];
        directions[static_cast<std::size_t>(k)] = up ? 2 : -2;
        up ? connect(a, b) : connect(b, a);
    };

    // Edges, split at the first binary azeotrope of each pair.
    for (std::size_t i = 0; i + 1 < N; ++i)
        for (std::size_t j = i + 1; j < N; ++j) {
            std::size_t az = S;
            for (std::size_t a = N; a < S && az == S; ++a)
                if (present[a] == 2 && column(a)[i] >= kPresent && column(a)[j] >= kPresent) az = a;
            if (az == S) {
                addSegment(i, j);
            } else {
                addSegment(i, az);
                addSegment(j, az);
            }
        }

    std::vector<double> buffer(stride);
    auto separatrix = [&](std::size_t s, double lambda, std::span<const double> v, double sigma) {
        std::array<double, kMax> z{};
        double last = 1.0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            z[i] = column(s)[i] + sigma * kOffset * v[i];
            last -= z[i];
        }
        z[N - 1] = last;
        for (std::size_t i = 0; i < N; ++i)
            if (z[i] < 0.0) return;
        const std::int64_t k = nextSlot();
        if (k < 0) return;
        std::int64_t count = P64, dir = 0, err = 0;
        std::ranges::fill(buffer, -1.0);
        residue_curve(n, std::span(z).first(N), lambda > 0.0 ? kForwardOnly : kBackwardOnly, 3, naz, singular_x,
                      codes, pressure, ids, method, phase, h0, count, dir, buffer, err);
        if (err != 0) LogRunMessage(512, kRoutine);
        const auto kk = static_cast<std::size_t>(k);
        count = std::clamp<std::int64_t>(count, 0, P64);
        std::copy_n(buffer.begin(), static_cast<std::size_t>(count) * N, curves.begin() + static_cast<std::ptrdiff_t>(kk * stride));
        point_counts[kk] = count;
        directions[kk] = dir;
        if (count < 1) return;
        const auto end = std::span<const double>(buffer).subspan(static_cast<std::size_t>(count - 1) * N, N);
        for (std::size_t j = 0; j < S; ++j) {
            double d2 = 0.0;
            for (std::size_t i = 0; i < N; ++i) d2 += (end[i] - column(j)[i]) * (end[i] - column(j)[i]);
            if (d2 > kReached2) continue;
            lambda <= 0.0 ? connect(j, s) : connect(s, j);
            if (codes[j] == kSaddle)
                for (std::size_t q = 0; q < saddles.size(); ++q)
                    if (saddles[q] == j) cleared[q] = 1;
            break;
        }
    };

    const std::size_t m = N - 1;
    auto eigen = [&](std::size_t s, std::vector<double>& re, std::vector<double>& vec) {
        re.assign(m, 0.0);
        vec.assign(m * m, 0.0);
        std::int64_t code = 0, err = 0;
        Stability_RCM(n, column(s), 2, pressure, ids, method, phase, code, re, vec, err);
        if (err != 0) LogRunMessage(512, kRoutine);
    };
    std::vector<double> re, vec;
    for (std::size_t q = 0; q < saddles.size(); ++q) {
        if (cleared[q] || present[saddles[q]] != 3) continue;
        const std::size_t s = saddles[q];
        eigen(s, re, vec);
        for (std::size_t e = 0; e < m; ++e)
            for (double sigma : {1.0, -1.0}) separatrix(s, re[e], std::span(vec).subspan(e * m, m), sigma);
    }
    bool& flag = EdgeOrientationFlag();
    for (std::size_t q = 0; q < saddles.size(); ++q) {
        if (cleared[q] || present[saddles[q]] != 2) continue;
        const std::size_t s = saddles[q];
        eigen(s, re, vec);
        bool up = false, down = false;
        for (std::size_t p = 0; p < N; ++p) {
            up = up || connected(s, p);
            down = down || connected(p, s);
        }
        if (up) flag = true;
        else if (down) flag = false;
        for (std::size_t e = 0; e < m; ++e) {
            if ((flag && re[e] > 0.0) || (!flag && re[e] < 0.0)) continue;
            for (double sigma : {1.0, -1.0}) separatrix(s, re[e], std::span(vec).subspan(e * m, m), sigma);
        }
    }
}

}  // namespace ternival

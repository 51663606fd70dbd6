#include "envelope_tracer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/run_log.h"

namespace ternival::envelope {
namespace {

// Thresholds are the single-precision values of 1e-5 and 0.1, widened.
constexpr double kSplit = static_cast<double>(1e-5f);
constexpr double kMinHalfLength = static_cast<double>(0.1f);

// Edge k is the side of the triangle without component k.
constexpr std::array<std::array<std::size_t, 2>, 3> kEdges{{{1, 2}, {0, 2}, {0, 1}}};

double halfLength(const Point& a, const Point& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(0.5 * s);
}

double distance2(const Point& a, const Point& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}

Point midpoint(const Point& a, const Point& b) {
    return {0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])};
}

void scaleToOne(Point& z) {
    const double s = z[0] + z[1] + z[2];
    if (s != 0.0)
        for (double& v : z) v /= s;
}

// Sets the message code and logs it under the routine's 20-character name.
void Report(std::string_view routine, std::int64_t code, std::int64_t& message_code) {
    message_code = code;
    std::string name(routine);
    name.resize(std::max<std::size_t>(name.size(), 20), ' ');
    LogRunMessage(static_cast<int>(code), name);
}

enum class Stage { Begin, Middle, Plait, Store, Done };

class Tracer {
public:
    Tracer(double step, const FlashAt& flash, const TracerOptions& options, TracerOutputs& out,
           std::int64_t nmax)
        : step_(step), flash_(flash), options_(options), out_(out), nmax_(nmax),
          branch1_(), branch2_() {
        // The tie-line store is bounded by 3 * nmax (three envelopes of at
        // most nmax tie lines each) and by what the caller's buffers hold.
        std::int64_t cap = nmax > std::numeric_limits<std::int64_t>::max() / 3 ? nmax : 3 * nmax;
        cap = std::min<std::int64_t>(cap, static_cast<std::int64_t>(out.tie_lines.size() / 6));
        if (out.keep_vapour)
            cap = std::min<std::int64_t>(cap, static_cast<std::int64_t>(out.tie_points.size() / 3));
        tie_capacity_ = cap;
    }

    void run() {
        for (std::size_t k = 0; k < 3; ++k) searchEdge(k);
        for (std::size_t k = 0; k < 3; ++k)
            if (splits_[k]) trace(k);
    }

private:
    void message(std::int64_t code) { Report(options_.routine, code, out_.message_code); }

    void flashFailed() {
        out_.error = 2;
        message(502);
    }

    void capacityReached() {
        out_.error = 1;
        message(501);
    }

    TieLine flashAt(const Point& z) {
        TieLine s = flash_(z);
        if (s.error != 0) flashFailed();
        return s;
    }

    // Split of the edge k, tried at 0.1, 0.2, ... 0.9 of its first component.
    void searchEdge(std::size_t k) {
        const std::size_t i = kEdges[k][0], j = kEdges[k][1];
        bool failed = false;
        for (int m = 1; m <= 9; ++m) {
            Point z{};
            z[i] = static_cast<double>(static_cast<float>(m) * 0.1f);
            z[j] = 1.0 - z[i];
            TieLine s = flash_(z);
            if (s.error != 0) failed = true;
            if (options_.vapour_test && s.beta == 1.0) continue;
            if (std::sqrt(distance2(s.x1, s.x2)) > kSplit) {
                starts_[k] = s;
                splits_[k] = true;
                break;
            }
        }
        if (failed) flashFailed();
    }

    void storeTieLine(const Point& a, const Point& b, const Point& y) {
        if (out_.tie_line_count >= tie_capacity_) return;  // caught by the capacity test
        const auto t = static_cast<std::size_t>(out_.tie_line_count);
        std::copy(a.begin(), a.end(), out_.tie_lines.begin() + static_cast<std::ptrdiff_t>(6 * t));
        std::copy(b.begin(), b.end(), out_.tie_lines.begin() + static_cast<std::ptrdiff_t>(6 * t + 3));
        if (out_.keep_vapour)
            std::copy(y.begin(), y.end(), out_.tie_points.begin() + static_cast<std::ptrdiff_t>(3 * t));
        ++out_.tie_line_count;
    }

    // Appends the pair to the branches, the liquid nearer to the last point
    // of branch 1 going to branch 1.
    void appendOrdered(Point a, Point b) {
        const Point& r = branch1_.back();
        if (!(distance2(a, r) < distance2(b, r))) std::swap(a, b);
        branch1_.push_back(a);
        branch2_.push_back(b);
        ++n_;
    }

    // Flash at z and, on a two-liquid result, a new point and tie line.
    // Returns the stage that follows.
    Stage step(const Point& z) {
        last_z_ = z;
        const TieLine s = flashAt(z);
        if (options_.vapour_test && s.beta > kSplit) {
            message(513);
            return Stage::Plait;
        }
        const double ell = halfLength(s.x1, s.x2);
        if (!(ell > kSplit)) return Stage::Plait;
        appendOrdered(s.x1, s.x2);
        const std::size_t last = static_cast<std::size_t>(n_ - 1);
        storeTieLine(branch1_[last], branch2_[last], s.y);
        previous_ = current_;
        current_ = midpoint(s.x1, s.x2);
        ell_ = ell;
        return Stage::Middle;
    }

    Stage begin(std::size_t k) {
        Point z = current_;
        z[k] = step_ * ell_;
        scaleToOne(z);
        return step(z);
    }

    Stage middle() {
        Point d{};
        for (std::size_t i = 0; i < 3; ++i) d[i] = current_[i] - previous_[i];
        previous_ = current_;
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        // Two equal midpoints give no direction to follow: close here.
        if (len == 0.0) {
            last_z_ = current_;
            return Stage::Plait;
        }
        const double h = std::max(ell_, kMinHalfLength) * step_ / len;
        Point z{};
        for (std::size_t i = 0; i < 3; ++i) z[i] = previous_[i] + h * d[i];
        std::size_t out_of = 3;
        for (std::size_t i = 0; i < 3; ++i)
            if (z[i] < 0.0) out_of = i;
        if (out_of < 3) {
            if (splits_[out_of]) {
                // The region is a band: the envelope ends on the other
                // splitting edge, whose own tie line closes it.
                const TieLine& e = starts_[out_of];
                appendOrdered(e.x1, e.x2);
                const std::size_t last = static_cast<std::size_t>(n_ - 1);
                storeTieLine(branch1_[last], branch2_[last], e.y);
                splits_[out_of] = false;
                return Stage::Store;
            }
            z[out_of] = 0.0;
            scaleToOne(z);
            last_z_ = z;
            return Stage::Plait;
        }
        return step(z);
    }

    // Closes the envelope between the last accepted midpoint and the
    // composition that failed: the first tie line found walking back from
    // the failure marks the plait region, and three points up to it close
    // the branches.
    void plait() {
        const Point m = current_;
        Point p = m, z = last_z_, e{};
        for (std::size_t i = 0; i < 3; ++i) e[i] = (m[i] - z[i]) / 10.0;
        for (int j = 1; j <= 10; ++j) {
            for (std::size_t i = 0; i < 3; ++i) z[i] += e[i];
            const TieLine s = flashAt(z);
            if (options_.vapour_test && s.beta > kSplit) {
                message(513);
                continue;
            }
            if (halfLength(s.x1, s.x2) > kSplit) {
                p = midpoint(s.x1, s.x2);
                if (out_.plait_temperature) *out_.plait_temperature = s.t;
                break;
            }
        }
        for (int s3 = 1; s3 <= 3; ++s3) {
            Point c = p;
            if (s3 < 3)
                for (std::size_t i = 0; i < 3; ++i) c[i] = m[i] + s3 * (p[i] - m[i]) / 3.0;
            const TieLine s = flashAt(c);
            if (options_.vapour_test && s.beta > kSplit) {
                message(513);
                continue;
            }
            if (!(halfLength(s.x1, s.x2) > kSplit)) continue;
            // The closing points share the branch arrays with the traced
            // ones; a full branch drops them and reports the capacity stop.
            if (n_ >= nmax_) {
                capacityReached();
                continue;
            }
            appendOrdered(s.x1, s.x2);
        }
    }

    void store() {
        const auto q = static_cast<std::size_t>(out_.curve_count - 1);
        // Curve q starts at point 2 * nmax * q; a stride beyond the buffer (an
        // nmax no buffer could hold) only needs to be larger than the buffer.
        const std::size_t stride = static_cast<std::uint64_t>(nmax_) > out_.curves.size()
                                       ? out_.curves.size() + 1
                                       : static_cast<std::size_t>(2 * nmax_) * 3;
        const auto count = static_cast<std::size_t>(n_);
        bool dropped = false;
        auto put = [&](std::size_t point, const Point& x) {
            if (q * stride >= out_.curves.size() || point * 3 + 3 > out_.curves.size() - q * stride) {
                dropped = true;
                return;
            }
            const std::size_t at = q * stride + point * 3;
            std::copy(x.begin(), x.end(), out_.curves.begin() + static_cast<std::ptrdiff_t>(at));
        };
        for (std::size_t p = 0; p < count; ++p) put(p, branch1_[p]);
        for (std::size_t p = 0; p < count; ++p) put(count + p, branch2_[count - 1 - p]);
        if (q < out_.points_per_curve.size())
            out_.points_per_curve[q] = 2 * n_;
        else
            dropped = true;
        // A curve buffer smaller than its layout cannot take the whole curve.
        if (dropped) capacityReached();
    }

    void trace(std::size_t k) {
        splits_[k] = false;  // this envelope uses the edge
        ++out_.curve_count;
        const TieLine& e = starts_[k];
        branch1_.assign(1, e.x1);
        branch2_.assign(1, e.x2);
        n_ = 1;
        storeTieLine(e.x1, e.x2, e.y);
        current_ = previous_ = midpoint(e.x1, e.x2);
        ell_ = halfLength(e.x1, e.x2);
        last_z_ = current_;
        Stage stage = Stage::Begin;
        while (stage != Stage::Done) {
            if (n_ >= nmax_ || out_.tie_line_count >= tie_capacity_) {
                capacityReached();
                stage = Stage::Store;
            }
            switch (stage) {
                case Stage::Begin: stage = begin(k); break;
                case Stage::Middle: stage = middle(); break;
                case Stage::Plait:
                    plait();
                    stage = Stage::Store;
                    break;
                case Stage::Store:
                    store();
                    stage = Stage::Done;
                    break;
                case Stage::Done: break;
            }
        }
    }

    double step_;
    const FlashAt& flash_;
    const TracerOptions& options_;
    TracerOutputs& out_;
    std::int64_t nmax_;
    std::int64_t tie_capacity_ = 0;
    std::array<bool, 3> splits_{};
    std::array<TieLine, 3> starts_{};
    // Branch points grow with the trace; n_ never exceeds nmax_.
    std::vector<Point> branch1_, branch2_;
    std::int64_t n_ = 0;
    Point current_{}, previous_{}, last_z_{};
    double ell_ = 0.0;
};

}  // namespace

void TraceEnvelopes(std::int64_t n, double step, const FlashAt& flash, const TracerOptions& options,
                    TracerOutputs& out) {
    const std::int64_t nmax = out.tie_line_count;
    std::ranges::fill(out.curves, -1.0);
    out.message_code = 0;
    // All counts are reset before anything can fail, so that no caller reads
    // stale tie lines after an early return.
    out.curve_count = 0;
    std::ranges::fill(out.points_per_curve, 0);
    out.tie_line_count = 0;
    if (n != 3) {
        out.error = -1;
        return;
    }
    out.error = 0;
    if (nmax < 1) {
        // No room for a single point on a branch: nothing can be traced.
        out.error = 1;
        Report(options.routine, 501, out.message_code);
        return;
    }
    Tracer(step, flash, options, out, nmax).run();
}

}  // namespace ternival::envelope

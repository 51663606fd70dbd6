// Sub-mixture enumeration: infinite-dilution K-values, pure boiling points,
// pair screening and the depth-first search over sub-mixtures.
//
// Instead of a stack of pending choices the enumeration keeps two memories,
// the sub-mixtures located without azeotrope (each with the base whose
// azeotrope gave the starting estimate) and the azeotropes found, and
// restarts its candidate scan after every location, skipping whatever these
// memories already hold.  A sub-mixture with an azeotrope is located once
// per pass; one without is tried at most once from each base, since the
// solver may miss an azeotrope from one starting estimate and find it from
// another.  Every location adds a row to one of the two bounded memories,
// so a pass always ends.
#include <algorithm>
#include <array>
#include <bitset>
#include <vector>

#include "azeotrope/search.h"
#include "search_internal.h"

namespace ternival {
namespace {

using azeo::Bubble;
using azeo::BubblePoint;
using azeo::Fractions;
using azeo::Line;

constexpr std::size_t kMax = static_cast<std::size_t>(kAzeoMaxComponents);
constexpr std::size_t kLd = static_cast<std::size_t>(kAzeoKLeading);

// Infinite dilution in the K-value step.
constexpr double kDilute = 1e-8;
constexpr double kNearPure = 0.99999999;

// Infinite-dilution K-values that signal a possible liquid-liquid split:
// both above kSplitBoth, or one above kSplitOne.
constexpr double kSplitBoth = 3.0;
constexpr double kSplitOne = 10.0;

constexpr const char* kBlankName = "        ";

using ComponentSet = std::bitset<kMax>;

// A sub-mixture located without azeotrope, and the base it was grown from.
struct Attempt {
    ComponentSet members;
    ComponentSet base;
    bool operator==(const Attempt&) const = default;
};

// The state of one pass, shared by the enumerations of all its pairs.
class Enumeration {
public:
    Enumeration(std::int64_t& status, std::int64_t print_level, std::int64_t n,
                std::span<const std::int64_t> ids, double pressure, std::size_t ld,
                std::size_t room, std::int64_t phase, std::string_view method,
                std::span<const double> kinf,
                std::int64_t& count, std::span<double> compositions,
                std::span<double> temperatures, std::span<std::int64_t> sizes,
                std::span<std::int64_t> phase_codes, std::size_t memory)
        : status_(status), print_level_(print_level), n_(static_cast<std::size_t>(n)), ids_(ids),
          pressure_(pressure), ld_(ld), room_(room), phase_(phase),
          method_(method), kinf_(kinf), count_(count), compositions_(compositions),
          temperatures_(temperatures), sizes_(sizes), phase_codes_(phase_codes), memory_(memory) {
        no_azeotrope_.reserve(std::min<std::size_t>(memory_, kAzeoMaxNoAzeotrope));
        found_sets_.reserve(room_);
    }

    // Depth-first enumeration starting from the pair (a, b), 0-based.
    void FromPair(std::size_t a, std::size_t b) {
        std::size_t k = 2;
        sub_[0] = a;
        sub_[1] = b;
        estimate_ = false;
        for (;;) {
            bool located = false;
            if (!Locate(k, located)) return;
            if (n_ == 2) return;
            if (!located && k == 2) return;
            if (k == n_)
                k = n_ - 1;
            else if (located)
                ++k;
            // Otherwise (no azeotrope, 2 < k < n) another component is
            // tried in position k.
            for (;;) {
                if (Scan(k)) break;
                if (k < 4) return;
                --k;
            }
        }
    }

private:
    double K(std::size_t j, std::size_t i) const { return kinf_[j + i * n_]; }

    ComponentSet SetOf(std::size_t k) const {
        ComponentSet s;
        for (std::size_t p = 0; p < k; ++p) s.set(sub_[p]);
        return s;
    }

    // Flash phase count for the current sub-mixture: three-phase flashes
    // only when the object allows them and some pair is likely to split.
    std::int64_t FlashPhase(std::size_t k) const {
        if (phase_ == 2) return 2;
        for (std::size_t p = 0; p < k; ++p)
            for (std::size_t q = p + 1; q < k; ++q) {
                const double kab = K(sub_[p], sub_[q]), kba = K(sub_[q], sub_[p]);
                if ((kab > kSplitBoth && kba > kSplitBoth) || kab > kSplitOne || kba > kSplitOne)
                    return 3;
            }
        return 2;
    }

    // Location step for the sub-mixture sub_[0..k-1].  Returns false when
    // the memories are full and the enumeration has to end.
    bool Locate(std::size_t k, bool& located) {
        if (static_cast<std::size_t>(count_) >= room_ ||
            no_azeotrope_.size() >= memory_) {
            Line(" SEARCH FOR AZEOTROPES TERMINATED DUE TO STACK OVERFLOW");
            status_ = kAzeoStatusFailed;
            return false;
        }
        const std::int64_t flash_phase = FlashPhase(k);
        std::array<double, kLd * kLd> subk{};
        std::array<std::int64_t, kMax> subids{};
        for (std::size_t i = 0; i < k; ++i) {
            subids[i] = ids_[sub_[i]];
            for (std::size_t j = 0; j < k; ++j) subk[j + i * kLd] = K(sub_[j], sub_[i]);
        }
        bool found = false, heterogeneous = false;
        double temperature = 0.0;
        QZNCAZ(status_, print_level_, static_cast<std::int64_t>(k), flash_phase, pressure_, found,
               temperature, heterogeneous, estimate_, std::span(subids).first(k), subk,
               std::span(work_).first(k), method_);
        located = found;
        const ComponentSet members = SetOf(k);
        if (!found) {
            no_azeotrope_.push_back({members, SetOf(k - 1)});
            return true;
        }
        const auto a = static_cast<std::size_t>(count_);
        ++count_;
        sizes_[a] = static_cast<std::int64_t>(k);
        temperatures_[a] = temperature;
        phase_codes_[a] = heterogeneous ? kHeterogeneous : kHomogeneous;
        for (std::size_t c = 0; c < n_; ++c) compositions_[a + c * ld_] = 0.0;
        for (std::size_t p = 0; p < k; ++p) compositions_[a + sub_[p] * ld_] = work_[p];
        found_sets_.push_back(members);
        return true;
    }

    // Candidate scan at level k: the base is sub_[0..k-2], the candidate
    // goes to position k - 1.  Returns true when a candidate was located.
    bool Scan(std::size_t k) {
        const ComponentSet base = SetOf(k - 1);
        if (print_level_ >= 4)
            Line(" Searching new combination of%3zu components containing %s", k, kBlankName);
        for (std::size_t m = 0; m < n_; ++m) {
            if (base.test(m)) continue;
            sub_[k - 1] = m;
            if (print_level_ >= 4)
                Line(" Checking if mixture with %s has been examined before", kBlankName);
            ComponentSet candidate = base;
            candidate.set(m);
            if (std::find(no_azeotrope_.begin(), no_azeotrope_.end(),
                          Attempt{candidate, base}) != no_azeotrope_.end())
                continue;
            if (std::find(found_sets_.begin(), found_sets_.end(), candidate) != found_sets_.end())
                continue;
            // Estimate from the most recent azeotrope that holds the whole
            // base and nothing outside the candidate sub-mixture.
            std::size_t source = found_sets_.size();
            for (std::size_t a = found_sets_.size(); a-- > 0;) {
                const ComponentSet& s = found_sets_[a];
                if ((s & base) == base && (s & ~candidate).none()) {
                    source = a;
                    break;
                }
            }
            if (source == found_sets_.size()) continue;
            for (std::size_t p = 0; p + 1 < k; ++p)
                work_[p] = compositions_[source + sub_[p] * ld_];
            work_[k - 1] = 1.0 / static_cast<double>(k);
            estimate_ = true;
            return true;
        }
        return false;
    }

    std::int64_t& status_;
    const std::int64_t print_level_;
    const std::size_t n_;
    const std::span<const std::int64_t> ids_;
    const double pressure_;
    const std::size_t ld_;    // leading dimension of the compositions
    const std::size_t room_;  // azeotropes the list can take
    const std::int64_t phase_;
    const std::string_view method_;
    const std::span<const double> kinf_;
    std::int64_t& count_;
    const std::span<double> compositions_;
    const std::span<double> temperatures_;
    const std::span<std::int64_t> sizes_;
    const std::span<std::int64_t> phase_codes_;
    const std::size_t memory_;  // rows no_azeotrope_ may take

    // Sub-mixtures located without azeotrope (at most memory_).
    std::vector<Attempt> no_azeotrope_;
    // Component sets of the azeotropes recorded, in the order found.
    std::vector<ComponentSet> found_sets_;
    // Current sub-mixture (caller's component positions) and the working
    // composition handed to QZNCAZ.
    std::array<std::size_t, kMax> sub_{};
    Fractions work_{};
    bool estimate_ = false;
};

}  // namespace

void QZALAZ(std::int64_t& status, std::int64_t print_level, std::int64_t n,
            std::span<const std::int64_t> ids, double pressure, std::int64_t capacity,
            std::int64_t phase, std::string_view method, std::span<double> boiling,
            std::span<double> kinf, std::int64_t& count, std::span<double> compositions,
            std::span<double> temperatures, std::span<std::int64_t> sizes,
            std::span<std::int64_t> phase_codes, std::int64_t memory) {
    count = 0;
    if (print_level >= 4) {
        Line(" INFINITE DILUTION K-VALUES FOR THE MIXTURE");
        Line("  COMP ID   COMPONENT NAME");
        for (std::size_t i = 0; i < ids.size() && static_cast<std::int64_t>(i) < n && i < kMax;
             ++i)
            Line(" %8lld   %s", static_cast<long long>(ids[i]), kBlankName);
    }
    if (n < 2) {
        if (print_level >= 2)
            Line(" Search for azeotrope impossible because less than two components given!");
        status = kAzeoStatusFailed;
        return;
    }
    if (n > kAzeoMaxComponents) {
        if (print_level >= 2)
            Line(" Search for azeotrope impossible because only%3lld components allowed!",
                 static_cast<long long>(kAzeoMaxComponents));
        status = kAzeoStatusFailed;
        return;
    }
    const auto nn = static_cast<std::size_t>(n);
    if (ids.size() < nn || boiling.size() < nn || kinf.size() < nn * nn) {
        status = kAzeoStatusFailed;
        return;
    }
    // The list holds no more azeotropes than its shortest array allows; the
    // compositions keep the capacity as their leading dimension.
    const std::size_t ld = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::size_t room = std::min({ld, temperatures.size(), sizes.size(), phase_codes.size()});
    const std::size_t before_last_column = (nn - 1) * ld;
    room = compositions.size() > before_last_column
               ? std::min(room, compositions.size() - before_last_column)
               : 0;

    // Infinite-dilution K-values: column i from a flash near pure i.
    for (std::size_t i = 0; i < nn; ++i) {
        Fractions z{};
        std::fill_n(z.begin(), nn, kDilute);
        z[i] = kNearPure;
        const Bubble b = BubblePoint(phase, method, n, ids, z, pressure);
        // A flash refused or failed fatally leaves the search without its
        // screening data: the pass cannot be trusted.
        if (b.error < 0) status = kAzeoStatusFailed;
        for (std::size_t j = 0; j < nn; ++j) {
            double& kv = kinf[j + i * nn];
            if (b.x[j] <= 0.0) {
                Line(" Error in K-values in QZALAZ");
                // Neutral value: a pair with a K-value of exactly 1 is
                // never screened in.
                kv = 1.0;
                continue;
            }
            kv = b.y[j] / b.x[j];
            if (print_level >= 5)
                Line(" KVL of %s in %s is %14.6E", kBlankName, kBlankName, kv);
        }
    }
    // Pure-component boiling points (two-phase flash of the component alone).
    for (std::size_t i = 0; i < nn; ++i) {
        const std::array<double, 1> one{1.0};
        const Bubble b = BubblePoint(2, method, 1, ids.subspan(i, 1), one, pressure);
        if (b.error < 0) status = kAzeoStatusFailed;
        boiling[i] = b.error < 0 ? kMissingValue : b.t;
    }

    Enumeration search(status, print_level, n, ids, pressure, ld, room, phase, method, kinf, count, compositions,
                       temperatures, sizes, phase_codes, memory > 0 ? static_cast<std::size_t>(memory) : 0);
    for (std::size_t i = 0; i + 1 < nn; ++i)
        for (std::size_t j = i + 1; j < nn; ++j) {
            const double kij = kinf[i + j * nn], kji = kinf[j + i * nn];
            if ((kij > 1.0 && kji > 1.0) || (kij < 1.0 && kji < 1.0)) search.FromPair(i, j);
        }
}

}  // namespace ternival

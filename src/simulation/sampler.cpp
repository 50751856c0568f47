#include "simulation/sampler.hpp"

#include <algorithm>

#include "runtime/errors.hpp"

namespace simulation {

// Vose's construction: columns that hold less than their share are filled
// up from one that holds more, which then holds that much less, until every
// column is full.
Sampler::Sampler(const Int* values, const Real* weights, std::size_t length) {
    HeapVector<Real> share;
    Real total = 0.0;
    for (std::size_t k = 0; k < length; ++k) {
        if (!(weights[k] > 0)) continue;
        columns.push_back({0, values[k], values[k]});
        share.push_back(weights[k]);
        total += weights[k];
    }
    if (columns.empty()) navro::abort(messages::emptyPmf);
    const auto n = static_cast<double>(columns.size());
    HeapVector<std::size_t> small, large;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        share[k] = share[k] / total * n;
        (share[k] < 1.0 ? small : large).push_back(k);
        largestValue = k == 0 ? columns[k].value : std::max(largestValue, columns[k].value);
    }
    while (!small.empty() && !large.empty()) {
        const std::size_t lacking = small.back();
        small.pop_back();
        const std::size_t donor = large.back();
        columns[lacking].alias = columns[donor].value;
        // Below 1, so below 2^64 once scaled.
        columns[lacking].keep = static_cast<std::uint64_t>(share[lacking] * 0x1p64);
        share[donor] -= 1.0 - share[lacking];
        if (share[donor] < 1.0) {
            large.pop_back();
            small.push_back(donor);
        }
    }
    // What is left on either list is full, up to rounding: it draws its own
    // value whatever the lower word.
    for (std::size_t k : small) columns[k] = {UINT64_MAX, columns[k].value, columns[k].value};
    for (std::size_t k : large) columns[k] = {UINT64_MAX, columns[k].value, columns[k].value};
    columnCount = columns.size();
}

HeapVector<Sampler::Chance> Sampler::chances() const {
    // Each column gives its share to its value and the rest to its alias;
    // sorted by value, the shares of one value lie together.
    HeapVector<Chance> shares;
    const auto n = static_cast<Real>(columns.size());
    for (const Column& column : columns) {
        const Real kept = static_cast<Real>(column.keep) * 0x1p-64;
        shares.push_back({column.value, kept / n});
        if (column.alias != column.value) shares.push_back({column.alias, (1.0 - kept) / n});
    }
    std::sort(shares.begin(), shares.end(),
              [](const Chance& a, const Chance& b) { return a.value < b.value; });
    HeapVector<Chance> out;
    for (const Chance& share : shares) {
        if (!out.empty() && out.back().value == share.value)
            out.back().probability += share.probability;
        else
            out.push_back(share);
    }
    return out;
}

}  // namespace simulation

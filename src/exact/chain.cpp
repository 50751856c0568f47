#include "exact/chain.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"

namespace {
// Below this many states compaction is not worth a pass.
constexpr std::size_t smallestCompaction = 1 << 16;
// State numbers are 32 bits, with one value kept for "no row".
constexpr long long largestStateCount = 0xFFFFFFF0LL;
}  // namespace

void widenKey(const ChainLayout& from, const Digit* key, const ChainLayout& to, Digit* out) {
    std::fill(out, out + to.stride, Digit{0});
    for (int node = 0; node < from.nodeCount(); ++node) {
        const auto n = static_cast<std::size_t>(node);
        std::copy(key + from.first[n], key + from.first[n] + 1 + from.width[n], out + to.first[n]);
    }
}

ExactChain::ExactChain(long long _maxStates, Real _dropBelow)
    : maxStates(std::min(_maxStates, largestStateCount)), dropBelow(_dropBelow) {
    if (maxStates < 1 || !(dropBelow >= 0) || !(dropBelow < 1))
        navro::abort(messages::invalidValue);
}

void ExactChain::Space::clearRows() {
    columns.clear();
    weights.clear();
    std::fill(rowLength.begin(), rowLength.end(), notBuilt);
}

// Frees the storage too: a space left empty by new settings or a
// compaction may never grow as large again.
void ExactChain::Space::clear(int width) {
    Space empty;
    empty.keys = KeyTable(width);
    *this = std::move(empty);
}

std::size_t ExactChain::transitionCount() const {
    std::size_t total = 0;
    for (const Space& space : spaces) total += space.columns.size();
    return total;
}

std::uint32_t ExactChain::numberOf(Space& space, const Digit* key) {
    if (static_cast<long long>(space.keys.size()) >= maxStates) {
        const long long found = space.keys.find(key);
        if (found < 0) navro::abort(messages::tooManyStates);
        return static_cast<std::uint32_t>(found);
    }
    return space.keys.insert(key).index;
}

// The per-entry arrays follow the table, which the rows grow. Repeating a
// sync that failed half way is harmless.
void ExactChain::syncSpace(std::size_t index) {
    Space& space = spaces[index];
    const std::size_t n = space.keys.size();
    if (space.synced == n) return;
    space.probability.resize(n, 0.0);
    space.rowStart.resize(n);
    space.rowLength.resize(n, notBuilt);
    if (index == 0) {
        const auto perNode = static_cast<std::size_t>(nodes);
        present.resize(n * perNode);
        ends.resize(n * perNode * flowKinds);
        for (std::size_t i = space.synced; i < n; ++i) {
            const Digit* key = space.keys.key(static_cast<std::uint32_t>(i));
            for (int node = 0; node < nodes; ++node) {
                const auto at =
                    static_cast<std::size_t>(shape.first[static_cast<std::size_t>(node)]);
                std::uint32_t count = 0;
                for (int r = 0; r <= shape.width[static_cast<std::size_t>(node)]; ++r)
                    count += key[at + static_cast<std::size_t>(r)];
                present[i * perNode + static_cast<std::size_t>(node)] = count;
            }
        }
    }
    for (std::size_t i = space.synced; i < n; ++i) {
        space.rowLength[i] = notBuilt;
        space.probability[i] = 0.0;
    }
    space.synced = n;
}

void ExactChain::beginStart(const HeapVector<int>& widths) {
    isStarted = false;
    nodes = static_cast<int>(widths.size());
    shape = layoutOfWidths(widths);
    spaces.clear();
    spaces.resize(static_cast<std::size_t>(nodes) + 1);
    spaces[0].clear(shape.stride);
    for (std::size_t k = 1; k < spaces.size(); ++k) spaces[k].clear(shape.stride + 2 * nodes);
    present.clear();
    ends.clear();
    droppedMass = 0.0;
    generator.reset();
    compactAt = smallestCompaction;
}

void ExactChain::addStart(const Digit* key, Real p) {
    const std::uint32_t i = numberOf(spaces[0], key);
    syncSpace(0);
    spaces[0].probability[i] += p;
}

void ExactChain::finishStart() {
    Space& states = spaces[0];
    HeapVector<std::uint32_t> kept;
    Real lost = 0.0;
    for (std::size_t i = 0; i < states.synced; ++i) {
        const Real p = states.probability[i];
        if (!(p > 0)) continue;
        if (p < dropBelow)
            lost += p;
        else
            kept.push_back(static_cast<std::uint32_t>(i));
    }
    for (std::size_t i = 0; i < states.synced; ++i)
        if (states.probability[i] < dropBelow) states.probability[i] = 0.0;
    states.active.swap(kept);
    droppedMass += lost;
    isStarted = true;
}

// The parts' spaces hold nothing between steps but what rows reach.
void ExactChain::clearPartsAndRows() {
    spaces[0].clearRows();
    for (std::size_t k = 1; k < spaces.size(); ++k) spaces[k].clear(shape.stride + 2 * nodes);
}

void ExactChain::useSettings(const ChainSettings& next) {
    if (!isStarted || next.nodeCount() != nodes) abortInternal();
    HeapVector<int> widths = shape.width;
    bool wider = false;
    for (int node = 0; node < nodes; ++node) {
        int& width = widths[static_cast<std::size_t>(node)];
        const int needed = next.nodes[static_cast<std::size_t>(node)].longestDuration();
        if (needed > width) {
            width = needed;
            wider = true;
        }
    }
    if (wider) widenTo(widths);
    if (haveSettings && next == settings) return;
    generator.reset();
    haveSettings = false;
    clearPartsAndRows();
    settings = next;
    haveSettings = true;
}

// The new keys keep the numbers of the old ones: the per-state arrays stay.
void ExactChain::widenTo(const HeapVector<int>& widths) {
    ChainLayout wider = layoutOfWidths(widths);
    KeyTable table(wider.stride);
    HeapVector<Digit> key(static_cast<std::size_t>(wider.stride));
    const KeyTable& old = spaces[0].keys;
    for (std::uint32_t i = 0; i < old.size(); ++i) {
        widenKey(shape, old.key(i), wider, key.data());
        table.insert(key.data());
    }
    generator.reset();
    std::swap(spaces[0].keys, table);
    shape = std::move(wider);
    clearPartsAndRows();
}

// The states that a step from the states of positive probability can
// reach: those, and the ends of the rows they lead through.
std::size_t ExactChain::statesInReach() const {
    HeapVector<std::uint8_t> reached(spaces[0].synced, 0);
    for (std::uint32_t i : spaces[0].active) reached[i] = 1;
    std::size_t count = spaces[0].active.size();
    HeapVector<std::uint8_t> here;
    for (std::size_t k = 0; k < spaces.size(); ++k) {
        const Space& space = spaces[k];
        HeapVector<std::uint8_t> next(spaces[(k + 1) % spaces.size()].synced, 0);
        auto follow = [&](std::uint32_t i) {
            if (space.rowLength[i] == notBuilt) return;
            for (std::uint32_t j = 0; j < space.rowLength[i]; ++j)
                next[space.columns[space.rowStart[i] + j]] = 1;
        };
        if (k == 0) {
            for (std::uint32_t i : space.active) follow(i);
        } else {
            for (std::uint32_t i = 0; i < space.synced; ++i)
                if (here[i]) follow(i);
        }
        if (k + 1 == spaces.size()) {
            for (std::size_t i = 0; i < next.size(); ++i)
                if (next[i] && !reached[i]) ++count;
        }
        here.swap(next);
    }
    return count;
}

// Keeps only the states of positive probability, renumbered in their old
// order; every row goes and is built again as the states need it. Worth it
// only where most states held are out of a step's reach, as when the
// distribution has moved on; otherwise the rows that it drops would only be
// built again.
void ExactChain::compact() {
    Space& states = spaces[0];
    const auto perNode = static_cast<std::size_t>(nodes);
    const std::size_t n = states.active.size();
    Space kept;
    kept.keys = KeyTable(shape.stride);
    kept.probability.resize(n);
    kept.active.resize(n);
    kept.rowStart.resize(n);
    kept.rowLength.resize(n, notBuilt);
    HeapVector<std::uint32_t> keptPresent(n * perNode);
    HeapVector<Real> keptEnds(n * perNode * flowKinds);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t i = states.active[k];
        kept.keys.insert(states.keys.key(i));
        kept.probability[k] = states.probability[i];
        kept.active[k] = static_cast<std::uint32_t>(k);
        std::copy(present.begin() + static_cast<std::ptrdiff_t>(i * perNode),
                  present.begin() + static_cast<std::ptrdiff_t>((i + 1) * perNode),
                  keptPresent.begin() + static_cast<std::ptrdiff_t>(k * perNode));
    }
    kept.synced = n;
    states = std::move(kept);
    present.swap(keptPresent);
    ends.swap(keptEnds);
    for (std::size_t k = 1; k < spaces.size(); ++k) spaces[k].clear(shape.stride + 2 * nodes);
    measureAfterCompaction = true;
}

void ExactChain::buildRow(std::size_t index, std::uint32_t entry, HeapVector<Real>& endsOfRow) {
    Space& source = spaces[index];
    const std::size_t target = (index + 1) % spaces.size();
    Space& into = spaces[target];
    const Digit* key = source.keys.key(entry);
    const Outcomes& next = index == 0 ? generator->beginStep(key, endsOfRow.data())
                                      : generator->drawDurations(static_cast<int>(index) - 1, key);
    const std::size_t start = source.columns.size();
    try {
        for (std::uint32_t k = 0; k < next.size(); ++k) {
            source.columns.push_back(numberOf(into, next.key(k)));
            source.weights.push_back(next.weight(k));
        }
        syncSpace(target);
    } catch (...) {
        // A row is whole or absent.
        source.columns.resize(std::min(source.columns.size(), start));
        source.weights.resize(std::min(source.weights.size(), start));
        throw;
    }
    source.rowStart[entry] = start;
    source.rowLength[entry] = next.size();
    if (index == 0)
        std::copy(endsOfRow.begin(), endsOfRow.end(),
                  ends.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(entry) *
                                                             endsOfRow.size()));
}

void ExactChain::buildRows(std::size_t index) {
    HeapVector<Real> endsOfRow(static_cast<std::size_t>(nodes) * flowKinds);
    Space& source = spaces[index];
    for (std::uint32_t entry : source.active)
        if (source.rowLength[entry] == notBuilt) buildRow(index, entry, endsOfRow);
    syncSpace((index + 1) % spaces.size());
}

void ExactChain::prepare() {
    if (!isStarted || !haveSettings) abortInternal();
    if (spaces[0].keys.size() >= compactAt) {
        syncSpace(0);
        if (2 * statesInReach() < spaces[0].keys.size())
            compact();
        else
            compactAt = 2 * static_cast<std::size_t>(spaces[0].keys.size());
    }
    if (!generator) generator.reset(new TransitionGenerator(settings, shape, maxStates));
    buildRows(0);
}

// One thread pours: the product streams the rows once and adds into a
// vector that the cache holds, so it is bound by the memory's speed, and
// splitting it over the two cores here (runs of rows into buffers of their
// own, added after) made it slower, not faster, in every run measured.
void ExactChain::pour(std::size_t from, HeapVector<Real>& into) {
    const Space& source = spaces[from];
    const Real* probability = source.probability.data();
    const std::uint32_t* columns = source.columns.data();
    const Real* weights = source.weights.data();
    Real* target = into.data();
    WorkMeter work;
    for (std::uint32_t i : source.active) {
        const Real p = probability[i];
        const std::uint64_t start = source.rowStart[i];
        const std::uint32_t length = source.rowLength[i];
        for (std::uint32_t k = 0; k < length; ++k)
            target[columns[start + k]] += p * weights[start + k];
        work.add(length);
    }
    work.flush();
}

void ExactChain::step() {
    prepare();
    const std::size_t parts = spaces.size();
    for (std::size_t k = 1; k < parts; ++k) {
        Space& part = spaces[k];
        if (part.pouring)
            std::fill(part.probability.begin(), part.probability.end(), 0.0);
        else
            for (std::uint32_t i : part.active) part.probability[i] = 0.0;
        part.active.clear();
        part.pouring = true;
        pour(k - 1, part.probability);
        for (std::size_t i = 0; i < part.synced; ++i)
            if (part.probability[i] > 0) part.active.push_back(static_cast<std::uint32_t>(i));
        part.pouring = false;
        buildRows(k);
    }
    Space& states = spaces[0];
    if (measureAfterCompaction) {
        // The states that the rows of one step reach again after a
        // compaction are the chain's working set: the next compaction waits
        // until that has doubled.
        compactAt = std::max(smallestCompaction, 2 * static_cast<std::size_t>(states.keys.size()));
        measureAfterCompaction = false;
    }
    nextProbability.assign(states.synced, 0.0);
    pour(parts - 1, nextProbability);
    nextActive.clear();
    Real lost = 0.0;
    for (std::size_t j = 0; j < states.synced; ++j) {
        Real& p = nextProbability[j];
        if (!(p > 0)) continue;
        if (p < dropBelow) {
            lost += p;
            p = 0.0;
        } else {
            nextActive.push_back(static_cast<std::uint32_t>(j));
        }
    }
    interruptionPoint(static_cast<long long>(states.synced));
    states.probability.swap(nextProbability);
    states.active.swap(nextActive);
    droppedMass += lost;
}

Real ExactChain::expectedFlow(Flow flow, int node) const {
    const Space& states = spaces[0];
    const auto perState = static_cast<std::size_t>(nodes) * flowKinds;
    const auto at = static_cast<std::size_t>(flow * nodes + node);
    Real total = 0.0;
    for (std::uint32_t i : states.active) {
        if (states.rowLength[i] == notBuilt) abortInternal();
        total += states.probability[i] * ends[static_cast<std::size_t>(i) * perState + at];
    }
    return total;
}

void ExactChain::presentDistribution(int node, HeapVector<Real>& out) const {
    const Space& states = spaces[0];
    out.clear();
    for (std::uint32_t i : states.active) {
        const std::uint32_t count =
            present[static_cast<std::size_t>(i) * static_cast<std::size_t>(nodes) +
                    static_cast<std::size_t>(node)];
        if (count >= out.size()) out.resize(static_cast<std::size_t>(count) + 1, 0.0);
        out[count] += states.probability[i];
    }
}

void ExactChain::mark() {
    HeapVector<Digit> keys;
    HeapVector<Real> masses;
    ChainLayout markedShape;
    if (isStarted) {
        keys.reserve(activeCount() * static_cast<std::size_t>(shape.stride));
        masses.reserve(activeCount());
        forEachState([&](const Digit* key, Real p) {
            keys.insert(keys.end(), key, key + shape.stride);
            masses.push_back(p);
        });
        markedShape = shape;
    }
    markKeys.swap(keys);
    markProbability.swap(masses);
    std::swap(markShape, markedShape);
    markDropped = droppedMass;
    markStarted = isStarted;
}

void ExactChain::restore() {
    if (!markStarted) {
        isStarted = false;
        return;
    }
    if (!isStarted) {
        beginStart(markShape.width);
    } else if (markShape.width != shape.width) {
        HeapVector<int> widths = shape.width;
        for (std::size_t n = 0; n < widths.size(); ++n)
            widths[n] = std::max(widths[n], markShape.width[n]);
        if (widths != shape.width) widenTo(widths);
    }
    Space& states = spaces[0];
    HeapVector<std::uint32_t> numbers;
    HeapVector<Digit> key(static_cast<std::size_t>(shape.stride));
    const std::size_t count = markProbability.size();
    for (std::size_t k = 0; k < count; ++k) {
        widenKey(markShape, markKeys.data() + k * static_cast<std::size_t>(markShape.stride), shape,
                 key.data());
        numbers.push_back(numberOf(states, key.data()));
    }
    syncSpace(0);
    HeapVector<std::uint32_t> restored(numbers);
    std::sort(restored.begin(), restored.end());
    // Nothing below allocates: the distribution changes whole.
    for (std::uint32_t i : states.active) states.probability[i] = 0.0;
    for (std::size_t k = 0; k < count; ++k) states.probability[numbers[k]] = markProbability[k];
    states.active.swap(restored);
    droppedMass = markDropped;
    isStarted = true;
}

#include "models/routing.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>

#include "runtime/errors.hpp"
#include "runtime/heap.hpp"

namespace {

RouteArray* allocateRouteArray(NObject* obj, int length) {
    const std::size_t size =
        offsetof(RouteArray, elements) + static_cast<std::size_t>(length) * sizeof(Route);
    auto* row = static_cast<RouteArray*>(nmalloc(obj, size));
    row->length = length;
    return row;
}

void confirmNode(const RoutingTable* table, Int node) {
    if (node < 0 || node >= table->length) navro::abort(messages::lookupIndexOutOfRange);
}

// The row that the changes order[first, last), all of one source and sorted
// by destination, make of `old`.
RouteArray* changedRow(NObject* obj, const RouteArray* old, std::span<const RoutingChange> changes,
                       const std::size_t* first, const std::size_t* last,
                       HeapVector<Route>& merged) {
    merged.clear();
    const std::span<const Route> kept = routesOf(old);
    auto next = kept.begin();
    for (const std::size_t* i = first; i != last; ++i) {
        const RoutingChange& change = changes[*i];
        // Only the last change of an entry counts.
        if (i + 1 != last && changes[*(i + 1)].destination == change.destination) continue;
        while (next != kept.end() && next->destination < change.destination)
            merged.push_back(*next++);
        if (next != kept.end() && next->destination == change.destination) ++next;
        if (change.probability > 0) merged.push_back({change.destination, change.probability});
    }
    merged.insert(merged.end(), next, kept.end());
    if (merged.empty()) return nullptr;
    RouteArray* row = allocateRouteArray(obj, static_cast<int>(merged.size()));
    std::copy(merged.begin(), merged.end(), row->elements);
    return row;
}

}  // namespace

RoutingTable* createRoutingTable(NObject* obj, int nodes) {
    if (nodes <= 0) navro::abort(messages::invalidArraySize);
    const std::size_t size =
        offsetof(RoutingTable, elements) + static_cast<std::size_t>(nodes) * sizeof(RouteArray*);
    auto* table = static_cast<RoutingTable*>(nmalloc(obj, size));
    table->length = nodes;
    return table;
}

RouteArray*& lookup(RoutingTable* table, Int source) {
    confirmNode(table, source);
    return table->elements[source];
}

Real lookupRoutingProbability(RoutingTable* table, Int source, Int destination) {
    const std::span<const Route> routes = routesOf(lookup(table, source));
    confirmNode(table, destination);
    auto found = std::lower_bound(routes.begin(), routes.end(), destination,
                                  [](const Route& route, Int d) { return route.destination < d; });
    return found != routes.end() && found->destination == destination ? found->probability : 0.0;
}

void flag(RouteArray* row) { _flag(row); }

void flag(RoutingTable* table) {
    if (table == nullptr) return;
    _flag(table);
    for (int i = 0; i < table->length; ++i) flag(table->elements[i]);
}

void writeRoutes(NObject* obj, RoutingTable* table, std::span<const RoutingChange> changes,
                 Real (*rule)(Real)) {
    for (const RoutingChange& change : changes) rule(change.probability);
    for (const RoutingChange& change : changes) {
        confirmNode(table, change.source);
        confirmNode(table, change.destination);
    }
    // By source, then destination, then position: each row is rebuilt once,
    // whatever the number of its changes, and the last change of an entry
    // comes last. The position makes every key distinct, so the order needs
    // no stable sort and its scratch storage.
    HeapVector<std::size_t> order(changes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const RoutingChange& x = changes[a];
        const RoutingChange& y = changes[b];
        if (x.source != y.source) return x.source < y.source;
        if (x.destination != y.destination) return x.destination < y.destination;
        return a < b;
    });
    HeapVector<std::pair<Int, RouteArray*>> rows;
    HeapVector<Route> merged;
    for (std::size_t first = 0; first < order.size();) {
        const Int source = changes[order[first]].source;
        std::size_t last = first;
        while (last < order.size() && changes[order[last]].source == source) ++last;
        rows.emplace_back(source, changedRow(obj, table->elements[source], changes,
                                             order.data() + first, order.data() + last, merged));
        first = last;
    }
    // Stored only once every row is built.
    for (const auto& [source, row] : rows) table->elements[source] = row;
}

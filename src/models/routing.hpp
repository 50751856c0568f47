#pragma once

#include <span>

#include "pmf/pmf.hpp"
#include "runtime/memory.hpp"

// The routing of a network as its setters write it: per source node, the
// destinations it sends entities to with positive probability. Every entry
// not held is 0, so the N by N table that the getters show costs only what
// its routes cost, and a step walks the routes rather than every pair of
// nodes.

// Where an entity whose service ends goes next, and the chance of it.
struct Route {
    Int destination;
    Real probability;
};

// The routes out of one node, in increasing order of destination, each of
// positive probability. Never changed once built: a setter builds a new row,
// so the snapshot shares rows with the live table.
struct RouteArray {
    MemHeader memHeader;
    int length;
    Route elements[];
};

// One row per source node; null where the node routes nowhere.
struct RoutingTable {
    MemHeader memHeader;
    int length;
    RouteArray* elements[];
};

// A table of `nodes` rows without routes; "Invalid array size" for none.
RoutingTable* createRoutingTable(NObject* obj, int nodes);

// The row of `source`, index checked.
RouteArray*& lookup(RoutingTable* table, Int source);

// The probability of going from `source` to `destination`, 0 where there is
// no route; both indexes are checked, the source first.
Real lookupRoutingProbability(RoutingTable* table, Int source, Int destination);

// The routes of a row, none for a null row.
inline std::span<const Route> routesOf(const RouteArray* row) {
    if (row == nullptr) return {};
    return {row->elements, static_cast<std::size_t>(row->length)};
}

void flag(RouteArray* row);
void flag(RoutingTable* table);

// One entry of the table to write.
struct RoutingChange {
    Int source;
    Int destination;
    Real probability;
};

// Writes `changes` in order (a later change of the same entry wins): a
// positive probability makes or replaces a route, 0 removes it. Each
// probability must pass `rule` first, then every index is checked; the new
// rows are all built before any is stored, so a failure changes nothing.
void writeRoutes(NObject* obj, RoutingTable* table, std::span<const RoutingChange> changes,
                 Real (*rule)(Real));

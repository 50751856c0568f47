#pragma once

#include "simulation/plan.hpp"
#include "simulation/tally.hpp"

// The real system, entity by entity: every server with its own remaining
// time, every entity routed on its own, each step as the models document
// it:
//   1. every service under way goes one step on; those with one step left
//      end, and their entities leave or go to their next node, where they
//      count at the end of the same step;
//   2. every entity that waited when the step began gives up with the
//      node's abandonment probability, each on its own, and leaves (the
//      network too);
//   3. the step's arrivals (from outside, and routed in) join the end of the
//      line, as many as the node's capacity leaves room for; the others are
//      blocked and lost;
//   4. at the end of the step every free server takes the next waiting
//      entity and starts its service, which, lasting s steps, ends in the
//      step s later.
// A period's servers take over at its start. Where there are more, the new
// servers take waiting entities at once, as at the end of the step before,
// each with a whole new service of the new period's durations. Where there
// are fewer than the services under way, services drawn at random among
// them stop, and their entities wait at the head of the line to start whole
// new services.
//
// The run starts from a draw of the plan's start: the number present at each
// node, then, for each of the min(present, servers) busy servers of the
// first step, a remaining time of its own.
//
// Rows are recorded at the steps 0, every, 2 every, ...; an arrival's wait
// (the steps from its arrival to the end of the step in which a server took
// it) counts in the row of its arrival's step. After the last step the
// servers work off the line, without arrivals and without recording, until
// every recorded arrival has been taken into service or has given up (or,
// at a node left without servers and without patience, never can be).

namespace simulation {

// Makes every run of the plan over `plan.threads` threads (the caller's
// among them) and returns the sums over all runs. The calling thread alone
// calls interruptionPoint: a check installed there that throws stops every
// thread, and the throw goes on once they have stopped. Any other failure
// of a thread is raised once all have stopped. The sums do not depend on
// the number of threads.
Tally simulate(const Plan& plan);

// The layout of the rows that the plan records.
Layout layoutOf(const Plan& plan);

// How many threads a simulation of the plan runs on: those asked for, but
// no more than the runs, and beyond the machine's cores only while every
// thread's sums fit in a gigabyte together. Threads beyond the cores run no
// faster, each with sums of its own, and the sums do not depend on the
// threads: thousands of them over a long schedule would only take hundreds
// of gigabytes.
long long threadsFor(const Plan& plan);

}  // namespace simulation

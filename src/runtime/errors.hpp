#pragma once

#include "runtime/types.hpp"

// The one error type of the module. It carries a pointer to a message
// constant that lives as long as the process, so throwing and catching it
// never copies or frees anything.
class CException {
public:
    explicit CException(const char* _message) : message(_message) {}
    const char* message;
};

// Every text the module itself ever raises. Each exists once, here, so a
// caller compares by content and a typo cannot slip in at a raise site.
namespace messages {
inline constexpr const char* internalError = "NAVRO internal error";
inline constexpr const char* invalidValue = "Invalid value";
inline constexpr const char* divideByZero = "Divide by zero";
inline constexpr const char* outOfMemory = "Out of memory";
inline constexpr const char* emptyPmf = "Empty pmf";
inline constexpr const char* invalidArraySize = "Invalid array size";
inline constexpr const char* invalidArrayDimensions = "Invalid array dimensions";
inline constexpr const char* invalidMatrixDimensions = "Invalid matrix dimensions";
inline constexpr const char* lookupIndexOutOfRange = "Lookup index out of range";
inline constexpr const char* invalidPow = "Invalid pow operation";
inline constexpr const char* negativeSqrt = "Attempt to take square root of negative number";
inline constexpr const char* negativeLog = "Attempt to take log of negative number";
inline constexpr const char* emptyDictionary = "Empty dictionary";
inline constexpr const char* negativeIntegerInSupport = "Negative integer in pmf support";
inline constexpr const char* samplesMustBeNonnegative = "Samples must be nonnegative integers";
inline constexpr const char* conditionOnZeroProbability =
    "Attempt to condition on a value of probability zero";
inline constexpr const char* leftTailRequiresSimple = "computeLeftTail requires simple pmf";
inline constexpr const char* rightTailRequiresSimple = "computeRightTail requires simple pmf";
inline constexpr const char* invalidMultinomial = "Invalid multinomial parameters";
inline constexpr const char* invalidHypergeometric = "Invalid hypergeometric parameters";
inline constexpr const char* invalidMultivariateHypergeometric =
    "Invalid multivariateHypergeometric parameters";
inline constexpr const char* invalidNumberOfEntities =
    "Invalid number of entities. The number of entities must be nonnegative.";
inline constexpr const char* invalidNumberOfNodes =
    "Invalid number of nodes. The number of nodes must be strictly positive.";
inline constexpr const char* invalidRoutingProbabilities =
    "Invalid routing probabilities. Sum of destination probabilities exceeds 1.";
inline constexpr const char* invalidNumberOfServers =
    "Invalid number of servers. The number of servers must be nonnegative.";
inline constexpr const char* invalidProbability =
    "Invalid probability. Probabilities must be between 0 and 1.";
inline constexpr const char* invalidServiceDuration =
    "Invalid service duration pmf. Service durations must be strictly positive.";
// A call on a model that a call of another thread is still using, or that a
// step or a run is still working on.
inline constexpr const char* modelInUse = "Model in use by another call";
// An exact chain that would hold more states than its caller allows, or a
// count at a node that its states cannot hold.
inline constexpr const char* tooManyStates =
    "Too many states. The exact chain would exceed its limit of states.";

// Argument-count messages, indexed by the expected count. Procedures and
// construction always say "parameters"; queries say "parameter(s)". An entry
// with more arguments than a list covers does not compile.
inline constexpr const char* expectedParameters[] = {
    "Expected 0 parameters", "Expected 1 parameters", "Expected 2 parameters",
    "Expected 3 parameters"};
inline constexpr const char* expectedQueryParameters[] = {
    "Expected 0 parameter(s)", "Expected 1 parameter(s)", "Expected 2 parameter(s)",
    "Expected 3 parameter(s)", "Expected 4 parameter(s)", "Expected 5 parameter(s)"};
}  // namespace messages

// Raises the message as a CException. The name is the C library's too
// (abort() without arguments), so it lives in the module's namespace.
namespace navro {
[[noreturn]] void abort(const char* _message);
}  // namespace navro

[[noreturn]] void abortInternal();
[[noreturn]] void abortImport();
// "Out of memory": the one report of memory, the module's or the
// interpreter's, that has run out, or of a request beyond every limit.
[[noreturn]] void abortOutOfMemory();

// The C++ runtime makes the per-thread state that exceptions need at a
// thread's first throw, and the loader makes the module's thread-local
// variables at their first use, both from the heap; either, finding the heap
// exhausted, ends the process. Called by every entry from Python, so that
// both exist before anything of the call can run the heap out.
void prepareThread();

double checkDenominator(double x);
Int ifloor(Real x);
Int iceiling(Real x);
Real safeSqrt(Real x);
Real safeLog(Real x);
Real safePow(Real x, Real y);
Real randomReal();
Int randomInt(int n);

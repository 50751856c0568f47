#pragma once

// A process may fork while a thread of it works on a model without the
// interpreter lock (a step). The child holds only the thread that forked, so
// the work under way never ends there, and the child may use the model again
// at its last whole state, provided no field was half replaced when the
// process forked. So an operation replaces its fields inside a FieldsUpdate,
// and a fork waits for the updates under way to end (they take nanoseconds)
// and keeps new ones from beginning until it is done.
//
// A fork of the interpreter takes its lock, so it cannot come while the
// updating thread holds that lock: only the updates of a thread that has let
// it go (exposeToForks) take part, and the others, most steps of a small
// model, cost nothing.
class FieldsUpdate {
public:
    FieldsUpdate();
    ~FieldsUpdate();
    FieldsUpdate(const FieldsUpdate&) = delete;
    FieldsUpdate& operator=(const FieldsUpdate&) = delete;

private:
    bool counted = false;
};

// Whether this thread works without the interpreter lock, set by the long
// operation that lets it go and takes it back.
void exposeToForks(bool exposed);

// Replaces fields with `store`, whole with respect to any fork.
template <typename Store>
void updateFields(Store&& store) {
    FieldsUpdate update;
    store();
}

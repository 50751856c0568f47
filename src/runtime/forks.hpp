#pragma once

// A process may fork while a thread of it works on a model without the
// interpreter lock (a step). The child holds only the thread that forked, so
// the work under way never ends there, and the child may use the model again
// at its last whole state, provided no field was half replaced when the
// process forked. So an operation replaces its fields inside a FieldsUpdate,
// and a fork waits for the updates under way to end (they take nanoseconds)
// and keeps new ones from beginning until it is done.
class FieldsUpdate {
public:
    FieldsUpdate();
    ~FieldsUpdate();
    FieldsUpdate(const FieldsUpdate&) = delete;
    FieldsUpdate& operator=(const FieldsUpdate&) = delete;
};

// Replaces fields with `store`, whole with respect to any fork.
template <typename Store>
void updateFields(Store&& store) {
    FieldsUpdate update;
    store();
}

#pragma once

#include <Python.h>

#include <cstddef>

#include "pmf/pmf.hpp"

// The text of a model's repr, built in a fixed buffer: it is one short line,
// and building it allocates nothing but the final str. Text beyond the
// buffer is cut off.
class ReprText {
public:
    // Appends printf-formatted text.
    void add(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Appends "[item 0, item 1, ...]", where `addItem(i)` appends item i. A
    // long list shows its first and last three items around "...".
    template <typename AddItem>
    void addList(int count, AddItem&& addItem) {
        constexpr int shown = 3;
        add("[");
        for (int i = 0; i < count; ++i) {
            if (count > 2 * shown + 1 && i == shown) {
                add("..., ");
                i = count - shown;
            }
            addItem(i);
            if (i + 1 < count) add(", ");
        }
        add("]");
    }

    // A new str with the text.
    PyObject* toPy() const;

private:
    char text[512] = {};
    std::size_t used = 0;
};

// The mean of a SIMPLE Pmf, summed in increasing order of value.
Real meanOf(const Pmf* pmf);

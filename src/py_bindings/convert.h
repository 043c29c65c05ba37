// Argument conversion from Python values to core types.
//
// Each converter returns false with a Python exception set when the value
// does not convert: a TypeError whose text begins "argument '<name>': " for a
// wrong type, the interpreter's OverflowError for a negative or too large
// int. A `str` is never accepted where a sequence is expected.
#pragma once

#include "common.h"

#include <cstdint>
#include <vector>

namespace ravo::py {

bool to_u64(PyObject* obj, const char* name, std::uint64_t* out);
bool to_u16(PyObject* obj, const char* name, std::uint16_t* out);
bool to_bool_strict(PyObject* obj, const char* name, bool* out);
// A non-string sequence of non-negative ints.
bool to_u64_list(PyObject* obj, const char* name, std::vector<std::uint64_t>* out);
// A non-string sequence of non-string sequences of non-negative ints.
bool to_u64_list_list(PyObject* obj, const char* name, std::vector<std::vector<std::uint64_t>>* out);

// Sets TypeError "argument '<name>': <text>" (new exception, no chaining).
void set_argument_type_error(const char* name, const char* text);
// Turns a pending TypeError into the named-argument form; other errors
// (OverflowError in particular) pass through unchanged.
void name_pending_type_error(const char* name);

// Tests that `obj` is a sequence and not a str; sets the TypeError otherwise.
bool check_sequence(PyObject* obj, const char* name);

// Returns a new reference to a tuple of the items of the sequence `obj`
// (checked with check_sequence), or nullptr with the exception set. The
// tuple holds a strong reference to every item and cannot change, so
// converting the items may run Python code (an item's __index__) that
// shrinks or clears the caller's list without freeing anything still read
// here. A tuple is returned as it is; other sequences are copied (small
// tuples come from the interpreter's free list). A TypeError from iterating
// keeps the interpreter's text after "argument '<name>': ".
PyObject* sequence_snapshot(PyObject* obj, const char* name);

}  // namespace ravo::py

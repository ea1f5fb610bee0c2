// Operations on values as the module's statements perform them: equality
// tests, the result test, the text of a value, the error line, imports.
#pragma once

#include <Python.h>

#include "frame.hpp"
#include "ref.hpp"

namespace ostrel {

// `left == right` followed by its truth value: 1, 0, or -1 with an exception
// set. As the interpreter does, the operands are let go (left, then right)
// before the truth test.
int equals(Ref left, Ref right);
// The same for operands that something else keeps alive.
int equals(PyObject* left, PyObject* right);

// Whether `==` on the object is its identity and runs no code (object's own
// comparison, which enumeration members keep).
inline bool compares_by_identity(PyObject* object)
{
    return Py_TYPE(object)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// `import <name>` (`fromlist` null) or `from <name> import ...`, as the
// interpreter's import statement runs it: through the `__import__` of the
// frame's builtins, whatever is bound there now, with the frame's globals,
// `locals` (None in a function) and level 0.
Ref import_name(Frame& frame, PyObject* name, PyObject* fromlist, PyObject* locals);

// A query result must be exactly a str or None.
Ref checked_text(Ref value);

// The text an f-string replacement field gives: a str unchanged, anything else format(value, "").
Ref text_of(PyObject* value);

Ref empty_text();

// print(f"{prefix}{value}") through the cached print; -1 with an exception set.
int print_line(Frame& frame, PyObject* prefix, PyObject* value);

} // namespace ostrel

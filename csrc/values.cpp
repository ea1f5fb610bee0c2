#include "values.hpp"

#include "call.hpp"
#include "internals.hpp"
#include "state.hpp"

namespace ostrel {

namespace {

constexpr int kUndecided = -2;

// The comparisons whose answer needs no code of the operands: identity for
// objects that compare by identity, integers, and exact strs.
int equals_without_code(PyObject* left, PyObject* right)
{
    if (compares_by_identity(left) && compares_by_identity(right)) {
        return left == right;
    }
    // Integers, and int-based enumerations that keep int's comparison.
    const richcmpfunc by_value = PyLong_Type.tp_richcompare;
    if (PyLong_Check(left) && PyLong_Check(right) && Py_TYPE(left)->tp_richcompare == by_value
        && Py_TYPE(right)->tp_richcompare == by_value) {
        int left_overflow = 0;
        int right_overflow = 0;
        const long left_value = PyLong_AsLongAndOverflow(left, &left_overflow);
        const long right_value = PyLong_AsLongAndOverflow(right, &right_overflow);
        if (!left_overflow && !right_overflow) {
            return left_value == right_value;
        }
    }
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        return left == right
               || (PyUnicode_GET_LENGTH(left) == PyUnicode_GET_LENGTH(right) && PyUnicode_Compare(left, right) == 0);
    }
    return kUndecided;
}

} // namespace

int equals(Ref left, Ref right)
{
    if (int answer = equals_without_code(left.get(), right.get()); answer != kUndecided) {
        return answer;
    }
    Ref outcome = Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_EQ));
    if (internals::kInputsReleasedTopFirst) {
        right = Ref{};
    }
    left = Ref{};
    right = Ref{};
    if (!outcome) {
        return -1;
    }
    if (outcome.get() == Py_True) {
        return 1;
    }
    if (outcome.get() == Py_False) {
        return 0;
    }
    return PyObject_IsTrue(outcome.get());
}

int equals(PyObject* left, PyObject* right)
{
    if (int answer = equals_without_code(left, right); answer != kUndecided) {
        return answer;
    }
    return equals(Ref::dup(left), Ref::dup(right));
}

Ref import_name(Frame& frame, PyObject* name, PyObject* fromlist, PyObject* locals)
{
    PyObject* found = nullptr;
    if (PyMapping_GetOptionalItem(frame.builtins, texts.dunder_import, &found) < 0) {
        return {};
    }
    Ref import = Ref::steal(found);
    if (!import) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    PyObject* args[] = {name, frame.globals, locals, fromlist ? fromlist : Py_None, texts.zero};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

Ref checked_text(Ref value)
{
    if (value && !PyUnicode_CheckExact(value.get()) && !Py_IsNone(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(value.get())->tp_name);
        return {};
    }
    return value;
}

Ref text_of(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return Ref::dup(value);
    }
    return Ref::steal(PyObject_Format(value, texts.empty));
}

Ref empty_text()
{
    return Ref::dup(texts.empty);
}

int print_line(Frame& frame, PyObject* prefix, PyObject* value)
{
    Ref text = text_of(value);
    if (!text) {
        return -1;
    }
    // The f-string's pieces go once it is joined, before the call.
    Ref line[] = {Ref::steal(PyUnicode_Concat(prefix, text.get()))};
    text = Ref{};
    if (!line[0]) {
        return -1;
    }
    return call(frame, Ref::dup(process.print), line) ? 0 : -1;
}

} // namespace ostrel

// Owning references to interpreter objects.
//
// Rules of use:
//  * Ref owns one strong reference, or none, and drops it in its destructor.
//  * Ref::steal(p) takes over a reference the caller already owns: the result of
//    every C-API call documented as returning a new reference. A null p makes an
//    empty Ref, so the error return of such a call is checked on the Ref itself.
//  * Ref::dup(p) adds a reference to a borrowed pointer and owns that.
//  * release() hands the reference back to the interpreter (a function's return
//    value); the Ref is empty afterwards.
//  * A plain PyObject* is a borrowed view and never touches the count.
//
// The module is built without C++ exceptions: an empty Ref together with a set
// Python error is how every helper reports failure.
#pragma once

#include <Python.h>

#include <utility>

namespace ostrel {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    [[nodiscard]] static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    [[nodiscard]] static Ref dup(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

} // namespace ostrel

#include "internals.hpp"

#include "ref.hpp"

#include <cstring>

namespace ostrel::internals {

bool interpreter_supported()
{
    // Only functions of the running interpreter and a data symbol it exports
    // are used here, whatever its layout.
    const auto running = static_cast<unsigned long>(Py_Version);
    const int major = static_cast<int>((running >> 24U) & 0xffU);
    const int minor = static_cast<int>((running >> 16U) & 0xffU);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d: "
                     "build it for this interpreter",
                     PY_MAJOR_VERSION, PY_MINOR_VERSION, "varnok.ostrel", "does not match", major, minor);
        return false;
    }
    // Looked up so that an error of the lookup is raised (PySys_GetObject()
    // would print and drop it, and the flags would read as none).
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    PyObject* found = nullptr;
    if (!sys || PyObject_GetOptionalAttrString(sys.get(), "abiflags", &found) < 0) {
        return false;
    }
    Ref abiflags = Ref::steal(found);
    const char* flags = abiflags ? PyUnicode_AsUTF8(abiflags.get()) : ""; // a function: no macro reads the object
    if (!flags) {
        return false;
    }
    if (std::strchr(flags, 't')) {
        PyErr_SetString(
            PyExc_ImportError,
            "varnok.ostrel needs the interpreter lock: it cannot be loaded by a free-threaded CPython build");
        return false;
    }
    // A debug build (abiflags "d") lays its internals out otherwise.
    constexpr bool kDebugBuild =
#ifdef Py_DEBUG
        true;
#else
        false;
#endif
    if ((std::strchr(flags, 'd') != nullptr) != kDebugBuild) {
        PyErr_Format(PyExc_ImportError,
                     "varnok.ostrel was built for a %s build of CPython, whose internal layout differs from this "
                     "%s build's: build it for this interpreter",
                     kDebugBuild ? "debug" : "release", kDebugBuild ? "release" : "debug");
        return false;
    }
    return true;
}

} // namespace ostrel::internals

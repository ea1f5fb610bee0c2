// Remembered lookups: module-level names and attributes resolved at every use,
// exactly as the interpreter resolves them, with the last answer of each
// lookup site reused only after its guards pass at that use. What each kind of
// answer depends on, and the guard that covers each dependency, is set out at
// the top of lookup.cpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "internals.hpp"
#include "ref.hpp"

namespace ostrel {

// A type that is still the one that was seen: same object, same version tag.
// The interpreter renews a type's tag on every change of the type or of any of
// its bases and never hands out the same tag twice, so an unchanged tag also
// means the type is not a new one made at the same address.
struct TypeGuard {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;

    [[nodiscard]] bool holds(PyTypeObject* candidate) const
    {
        return candidate == type && version != 0 && internals::type_version(candidate) == version;
    }
};

// A module-level name found in the module's namespace.
struct GlobalCache {
    PyObject* dict = nullptr;  // the namespace
    uint64_t epoch = 0;        // the namespaces' epoch when the name was found
    PyObject* value = nullptr; // borrowed: held by the namespace while the epoch holds
};

// `object.name` for a plain module or a class.
struct AttributeCache {
    enum class Kind : std::uint8_t { kEmpty, kModule, kClass };
    Kind kind = Kind::kEmpty;
    PyObject* dict = nullptr;  // module: its namespace, compared by identity
    uint64_t epoch = 0;        // module: the namespaces' epoch
    TypeGuard owner;           // class: the class itself
    TypeGuard meta;            // class: its metaclass
    TypeGuard value_type;      // class: the type of the value
    PyObject* value = nullptr; // borrowed: held by the namespace or class while its guard holds
};

// `record.name` for a field defined by a data descriptor of an immutable type.
struct FieldCache {
    TypeGuard record_type;
    PyObject* descriptor = nullptr; // borrowed: held by the record's class while its guard holds
};

// Every remembered answer of the module, one for each lookup site, and how
// the module hears of changes to the namespaces they came from.
struct Remembered {
    GlobalCache psutil, pyudev, device_type, sources[3], machine_code;
    AttributeCache net_if_addrs, af_link, context, members[3];
    FieldCache family, address;
    int watcher = -1;                             // the module's dict watcher; -1: none
    PyDict_WatchCallback* watcher_slot = nullptr; // where the interpreter keeps it
    uint64_t epoch = 1;                           // renewed at every change of every namespace the watcher watches
};

extern Remembered remembered_lookups;

// Registers the module's dict watcher in the running interpreter, unless
// registered already; without a free watcher slot nothing is kept from
// namespaces.
void watch_namespaces();

// Forgets every remembered answer, as when the interpreter that they came
// from is gone.
void forget_lookups();

// NameError "name '<name>' is not defined", with its `name` attribute set as
// the interpreter sets it (tracebacks offer suggestions from it).
void raise_name_error(PyObject* name);

// An attribute of the builtins module; NameError when it has none.
Ref lookup_builtin(PyObject* name);

// A module-level name: the namespace first, then the builtins namespace that
// the running function has (a dict, or any mapping).
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

// ---- guards, checked at every use ---------------------------------------------

int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value);

// A namespace's answers hold while no namespace the watcher watches has
// changed since, this one is still watched, and the watcher is still the
// module's.
inline bool namespace_unchanged(PyObject* dict, uint64_t epoch)
{
    const Remembered& r = remembered_lookups;
    return epoch == r.epoch && internals::watched_by(dict, r.watcher) && *r.watcher_slot == namespace_changed;
}

inline PyObject* remembered(const GlobalCache& cache, PyObject* globals)
{
    return cache.dict == globals && namespace_unchanged(globals, cache.epoch) ? cache.value : nullptr;
}

inline PyObject* remembered(const AttributeCache& cache, PyObject* object)
{
    switch (cache.kind) {
    case AttributeCache::Kind::kModule:
        return Py_IS_TYPE(object, &PyModule_Type) && PyModule_GetDict(object) == cache.dict
                       && namespace_unchanged(cache.dict, cache.epoch)
                   ? cache.value
                   : nullptr;
    case AttributeCache::Kind::kClass:
        // The class's tag first: the value is alive only while it holds.
        return PyType_Check(object) && cache.owner.holds(reinterpret_cast<PyTypeObject*>(object))
                       && cache.meta.holds(Py_TYPE(object)) && cache.value_type.holds(Py_TYPE(cache.value))
                   ? cache.value
                   : nullptr;
    case AttributeCache::Kind::kEmpty:
        break;
    }
    return nullptr;
}

inline PyObject* remembered(const FieldCache& cache, PyObject* record)
{
    PyTypeObject* type = Py_TYPE(record);
    return type->tp_getattro == PyObject_GenericGetAttr && cache.record_type.holds(type) ? cache.descriptor : nullptr;
}

// ---- lookups that remember -----------------------------------------------------

Ref lookup_global_in_full(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache& cache);
Ref get_attribute_in_full(PyObject* object, PyObject* name, AttributeCache& cache);
Ref get_field_in_full(PyObject* record, PyObject* name, FieldCache& cache);

inline Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache& cache)
{
    if (PyObject* value = remembered(cache, globals)) {
        return Ref::dup(value);
    }
    return lookup_global_in_full(globals, builtins, name, cache);
}

// `object.name`
inline Ref get_attribute(PyObject* object, PyObject* name, AttributeCache& cache)
{
    if (PyObject* value = remembered(cache, object)) {
        return Ref::dup(value);
    }
    return get_attribute_in_full(object, name, cache);
}

// What PyObject_GetAttr adds to an AttributeError that a lookup of `name` on
// `object` raised: the name and the object, unless it carries either already.
void add_attribute_error_context(PyObject* object, PyObject* name);

// What the generic attribute lookup does with a data descriptor of the
// record's class, which takes precedence over the instance's own attributes.
inline Ref get_by_descriptor(PyObject* descriptor, PyObject* record, PyObject* name)
{
    Ref held = Ref::dup(descriptor); // the call may change the class
    Ref value =
        Ref::steal(Py_TYPE(descriptor)->tp_descr_get(descriptor, record, reinterpret_cast<PyObject*>(Py_TYPE(record))));
    if (!value) {
        add_attribute_error_context(record, name);
    }
    return value;
}

// `record.name` for a record whose class defines the field as a data
// descriptor (a named tuple's fields); anything else takes the ordinary lookup.
inline Ref get_field(PyObject* record, PyObject* name, FieldCache& cache)
{
    if (PyObject* descriptor = remembered(cache, record)) {
        return get_by_descriptor(descriptor, record, name);
    }
    return get_field_in_full(record, name, cache);
}

} // namespace ostrel

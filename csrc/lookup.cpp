// Remembered lookups.
//
// Every module-level name and attribute that the functions use is resolved at
// the moment of use, as the interpreter would resolve it. A lookup site may
// keep its last answer, but it reuses the answer only after checking, at that
// use, everything the answer depends on, as the interpreter's own specialised
// instructions check theirs. An answer that no cheap guard covers is never
// kept; a failed guard means a full lookup, which keeps its answer anew when
// the guards can cover it.
//
// 1. A module-level name found in the module namespace (`psutil`, `pyudev`,
//    `DeviceType`, the module's own functions).
//    - The namespace's contents: a dict watcher of the module's own
//      (PyDict_AddWatcher, public since 3.12) watches every namespace an
//      answer is kept from, and renews the module's epoch at every event of
//      every one of them (an item added, changed or deleted, the dict
//      cleared, cloned or deallocated). The answer is kept with the epoch and
//      used only while the epoch holds, the namespace is still watched (its
//      watcher bit) and the watcher is still the module's (its slot in the
//      interpreter's table), both read at every use. So what another
//      extension can do to it is covered: take all eight watcher slots (then
//      nothing is kept from namespaces: looked up in full, always); unwatch a
//      namespace with the module's identifier (looked up in full, and watched
//      again); clear the module's watcher, or clear it and take its slot
//      (nothing is kept any more).
//    - That the lookup runs no code: kept only while every key of the
//      namespace is exactly a str (a str subclass key could compare through
//      its own __eq__). A key added later is a change, which renews the epoch.
//    - Which namespace: the dictionary's address; a dictionary deallocated is
//      a change, and a new one made at its address is not watched yet.
//    A name found only among the builtins is not kept.
// 2. An attribute of a module (`psutil.net_if_addrs`, `psutil.AF_LINK`,
//    `pyudev.Context`).
//    - How the object finds attributes: its type must be exactly ModuleType,
//      checked at every use (a subclass may define a property or
//      __getattribute__, and a module's __class__ can be reassigned at any
//      time). ModuleType is immutable; a name that it defines itself is never
//      kept.
//    - The module's namespace and its contents: the namespace is read from
//      the module at every use and compared with the kept one by identity, so
//      no reference to the module is needed and a new module at a dead one's
//      address never gets its answer; contents, key types and what another
//      extension can do as in 1.
// 3. An attribute of a class (`DeviceType.MAC`, attributes of a class that
//    stands in for psutil).
//    - The class and its bases: the class's address and version tag.
//    - The metaclass (whether it defines the name, its __getattribute__ and
//      __getattr__): the type of the class, by address and version tag.
//    - The value's own type, whose __get__ would be called: the type of the
//      value, by address and version tag (a class may gain __get__, or the
//      value's __class__ may be reassigned, without any change to the owner).
//    Version tags are renewed by the interpreter on every change of a type or
//    of its bases and never handed out twice. Kept only when all three types
//    already carry a tag, the metaclass looks attributes up as `type` does and
//    does not define the name, and the value's type has no __get__. Nothing
//    else is looked up to keep an answer (no lookup the interpreter would not
//    make, which a str-subclass key in some class's namespace could observe).
// 4. A field of an address record (`addr.family`, `addr.address`).
//    - The record's class and its bases (which descriptor the name finds):
//      the type of the record, by address and version tag, and the generic
//      attribute lookup, checked at every use.
//    - What the descriptor does: kept only for a data descriptor whose type
//      is immutable (a named tuple's field), which can neither gain nor lose
//      __get__ or __set__, and whose instances' __class__ cannot be changed.
//      A data descriptor takes precedence over the instance's own attributes,
//      so the instance is not consulted.
//    The descriptor itself is called at every use.
// 5. All of the above: the interpreter they came from. Tags and watchers
//    belong to one interpreter's life; every answer is forgotten before
//    another interpreter loads the module (an embedding host may finalise the
//    interpreter and initialise a new one, which hands out tags from the
//    start again), and the module registers its watcher there anew.

#include "lookup.hpp"

#include "state.hpp"

namespace ostrel {

Remembered remembered_lookups;

namespace {

bool only_exact_str_keys(PyObject* dict)
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    while (PyDict_Next(dict, &position, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// The epoch that keeps a lookup in `dict` valid, or 0 where the dictionary's
// answers cannot be kept: taken before the lookup, so that a change made
// during the lookup shows. The dictionary is watched from now on; one that
// was not watched (a new one, or one another extension unwatched, whose
// changes went unheard meanwhile) starts a new epoch.
uint64_t rememberable_epoch(PyObject* dict)
{
    Remembered& r = remembered_lookups;
    if (r.watcher < 0 || *r.watcher_slot != namespace_changed || !PyDict_CheckExact(dict)
        || !only_exact_str_keys(dict)) {
        return 0;
    }
    if (!internals::watched_by(dict, r.watcher)) {
        if (PyDict_Watch(r.watcher, dict) < 0) {
            PyErr_Clear();
            return 0;
        }
        ++r.epoch;
    }
    return r.epoch;
}

TypeGuard guard_of(PyTypeObject* type)
{
    return TypeGuard{type, internals::type_version(type)};
}

void remember_module_attribute(AttributeCache& cache, PyObject* module, PyObject* name, PyObject* value, PyObject* dict,
                               uint64_t epoch)
{
    if (epoch == 0 || !Py_IS_TYPE(module, &PyModule_Type) || PyModule_GetDict(module) != dict
        || !namespace_unchanged(dict, epoch)) {
        return;
    }
    // The namespace is as it was when its keys were checked, so this second
    // lookup runs no code.
    PyObject* stored = nullptr;
    if (PyDict_GetItemRef(dict, name, &stored) < 0) {
        PyErr_Clear();
    }
    Ref held = Ref::steal(stored);
    if (stored == value) {
        cache.kind = AttributeCache::Kind::kModule;
        cache.dict = dict;
        cache.epoch = epoch;
        cache.value = value;
    }
}

// `owner` and `meta` are the tags from before the lookup, which may have run
// code; a type without a tag yet is not remembered (the next full lookup finds
// it tagged). The lookups here repeat the ones the interpreter just made, and
// so are answered from its own cache of type attributes.
void remember_class_attribute(AttributeCache& cache, PyTypeObject* type, PyObject* name, PyObject* value,
                              const TypeGuard& owner, const TypeGuard& meta)
{
    PyTypeObject* value_type = Py_TYPE(value);
    const TypeGuard value_guard = guard_of(value_type);
    if (!owner.holds(type) || !meta.holds(Py_TYPE(type)) || !value_guard.holds(value_type) || value_type->tp_descr_get
        || Py_TYPE(type)->tp_getattro != PyType_Type.tp_getattro || internals::type_lookup(Py_TYPE(type), name)
        || internals::type_lookup(type, name) != value) {
        return;
    }
    cache.kind = AttributeCache::Kind::kClass;
    cache.owner = owner;
    cache.meta = meta;
    cache.value_type = value_guard;
    cache.value = value;
}

} // namespace

void add_attribute_error_context(PyObject* object, PyObject* name)
{
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyObject* fields[2] = {};
    const bool read = PyObject_GetOptionalAttr(error.get(), texts.name, &fields[0]) >= 0
                      && PyObject_GetOptionalAttr(error.get(), texts.obj, &fields[1]) >= 0;
    Ref known[] = {Ref::steal(fields[0]), Ref::steal(fields[1])};
    const auto unset = [](const Ref& field) { return !field || Py_IsNone(field.get()); };
    if (read && unset(known[0]) && unset(known[1])
        && (PyObject_SetAttr(error.get(), texts.name, name) < 0
            || PyObject_SetAttr(error.get(), texts.obj, object) < 0)) {
        return; // that failure is raised instead, as the interpreter does
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error.release());
}

// Told of every change of every namespace the module watches: all that was
// kept from namespaces is given up. Never fails.
int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    ++remembered_lookups.epoch;
    return 0;
}

void watch_namespaces()
{
    Remembered& r = remembered_lookups;
    if (r.watcher >= 0) {
        return; // already watching for this owner
    }
    r.watcher = PyDict_AddWatcher(namespace_changed);
    if (r.watcher < 0) {
        PyErr_Clear(); // every slot taken: the namespaces' answers are looked up in full, always
        return;
    }
    r.watcher_slot = internals::dict_watcher_slot(PyInterpreterState_Get(), r.watcher);
}

void forget_lookups()
{
    remembered_lookups = Remembered{};
}

void raise_name_error(PyObject* name)
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (PyObject_SetAttr(error.get(), texts.name, name) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

Ref lookup_builtin(PyObject* name)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(process.builtins, name, &value) == 0) {
        raise_name_error(name);
    }
    return Ref::steal(value);
}

namespace {

// What the interpreter's global lookup does once the namespace has no such
// name: the builtins namespace, a dict read as a dict, anything else as a
// mapping.
Ref lookup_in_builtins(PyObject* builtins, PyObject* name)
{
    PyObject* value = nullptr;
    const int found = PyDict_CheckExact(builtins) ? PyDict_GetItemRef(builtins, name, &value)
                                                  : PyMapping_GetOptionalItem(builtins, name, &value);
    if (found == 0) {
        raise_name_error(name);
    }
    return Ref::steal(value);
}

} // namespace

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name)
{
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) != 0) {
        return Ref::steal(value); // found, or an error with value null
    }
    return lookup_in_builtins(builtins, name);
}

Ref lookup_global_in_full(PyObject* globals, PyObject* builtins, PyObject* name, GlobalCache& cache)
{
    cache = GlobalCache{};
    const uint64_t epoch = rememberable_epoch(globals);
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) > 0) {
        if (epoch != 0 && namespace_unchanged(globals, epoch)) {
            cache = GlobalCache{globals, epoch, value};
        }
        return Ref::steal(value);
    }
    return value || PyErr_Occurred() ? Ref::steal(value) : lookup_in_builtins(builtins, name);
}

Ref get_attribute_in_full(PyObject* object, PyObject* name, AttributeCache& cache)
{
    cache = AttributeCache{};
    if (Py_IS_TYPE(object, &PyModule_Type)) {
        PyObject* dict = PyModule_GetDict(object);
        const uint64_t epoch = internals::type_lookup(&PyModule_Type, name) ? 0 : rememberable_epoch(dict);
        Ref value = Ref::steal(PyObject_GetAttr(object, name));
        if (value && epoch != 0) {
            remember_module_attribute(cache, object, name, value.get(), dict, epoch);
        }
        return value;
    }
    if (PyType_Check(object) && Py_TYPE(object)->tp_getattro == PyType_Type.tp_getattro) {
        auto* type = reinterpret_cast<PyTypeObject*>(object);
        const TypeGuard owner = guard_of(type);
        const TypeGuard meta = guard_of(Py_TYPE(type));
        Ref value = Ref::steal(PyObject_GetAttr(object, name));
        if (value) {
            remember_class_attribute(cache, type, name, value.get(), owner, meta);
        }
        return value;
    }
    return Ref::steal(PyObject_GetAttr(object, name));
}

Ref get_field_in_full(PyObject* record, PyObject* name, FieldCache& cache)
{
    cache = FieldCache{};
    PyTypeObject* type = Py_TYPE(record);
    // Only a class with a version tag is asked first: its answer comes from
    // the interpreter's cache of type attributes, and the generic lookup
    // below, if it is still needed, is answered from there too. Asking a
    // class without a tag would walk its bases twice.
    if (type->tp_getattro == PyObject_GenericGetAttr && internals::type_version(type) != 0) {
        const TypeGuard guard = guard_of(type);
        PyObject* descriptor = internals::type_lookup(type, name);
        PyTypeObject* kind = descriptor ? Py_TYPE(descriptor) : nullptr;
        if (kind && kind->tp_descr_get && kind->tp_descr_set && PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)
            && guard.holds(type)) {
            cache = FieldCache{guard, descriptor};
            return get_by_descriptor(descriptor, record, name);
        }
    }
    return Ref::steal(PyObject_GetAttr(record, name));
}

} // namespace ostrel

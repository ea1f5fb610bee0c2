// get_mac_address: the hardware address of the physical network interface, as
// psutil reports it.
//
// Two passes over psutil.net_if_addrs(): first an interface named exactly
// "eth0" or "wlan0"; failing that, a second, fresh query and the first
// interface whose name contains none of "lo", "docker", "veth". Either pass
// returns the first link-layer record (family == psutil.AF_LINK) it meets.

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

void raise_need_more_values(Py_ssize_t count)
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
}

void raise_too_many_values()
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
}

// `first, second = item`
bool unpack_pair(PyObject* item, Ref& first, Ref& second)
{
    if (PyTuple_CheckExact(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size != 2) {
            size > 2 ? raise_too_many_values() : raise_need_more_values(size);
            return false;
        }
        first = Ref::dup(PyTuple_GET_ITEM(item, 0));
        second = Ref::dup(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        return false;
    }
    Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (!PyErr_Occurred()) {
                raise_need_more_values(i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many_values();
        return false;
    }
    if (PyErr_Occurred()) {
        return false;
    }
    first = std::move(values[0]);
    second = std::move(values[1]);
    return true;
}

// Calls `visit(name, addresses)` for each interface of the table, in its order:
// an exact dict directly, anything else through its items().
template <class Visit> int for_each_interface(Frame& frame, int line, PyObject* table, Visit&& visit)
{
    frame.line = line;
    if (PyDict_CheckExact(table)) {
        // As the interpreter's own iterator over a dict's items: a change of
        // size, or more entries than there were at the start, is an error.
        const Py_ssize_t size = PyDict_GET_SIZE(table);
        Py_ssize_t remaining = size;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        SignalCheck signals;
        while (true) {
            frame.line = line;
            if (signals.interrupted()) {
                return -1;
            }
            if (PyDict_GET_SIZE(table) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(table, &position, &key, &value)) {
                return 0;
            }
            if (remaining-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return -1;
            }
            Ref name = Ref::dup(key);
            Ref addresses = Ref::dup(value);
            if (int status = visit(name.get(), addresses.get()); status != 0) {
                return status;
            }
        }
    }
    Ref items_method = Ref::steal(PyObject_GetAttr(table, texts.items));
    Ref items = items_method ? Ref::steal(PyObject_CallNoArgs(items_method.get())) : Ref{};
    if (!items) {
        return -1;
    }
    return for_each(frame, line, items.get(), [&](PyObject* item) {
        Ref name;
        Ref addresses;
        if (!unpack_pair(item, name, addresses)) {
            return -1;
        }
        return visit(name.get(), addresses.get());
    });
}

GlobalCache psutil_cache;
AttributeCache net_if_addrs_cache;
AttributeCache af_link_cache;
FieldCache family_cache;
FieldCache address_cache;

Ref query_interfaces(Frame& frame, int line)
{
    frame.line = line;
    Ref psutil = lookup_global(frame.globals, texts.psutil, psutil_cache);
    Ref query = psutil ? get_attribute(psutil.get(), texts.net_if_addrs, net_if_addrs_cache) : Ref{};
    return query ? Ref::steal(PyObject_CallNoArgs(query.get())) : Ref{};
}

// addr.family == psutil.AF_LINK
int is_link_record(Frame& frame, PyObject* record)
{
    Ref family = get_field(record, texts.family, family_cache);
    if (!family) {
        return -1;
    }
    Ref psutil = lookup_global(frame.globals, texts.psutil, psutil_cache);
    Ref link = psutil ? get_attribute(psutil.get(), texts.AF_LINK, af_link_cache) : Ref{};
    return link ? equals(family.get(), link.get()) : -1;
}

int is_preferred(PyObject* name)
{
    int preferred = equals(name, texts.eth0);
    return preferred == 0 ? equals(name, texts.wlan0) : preferred;
}

// 1 when the name contains "lo", "docker" or "veth", tested in that order.
int is_excluded(PyObject* name)
{
    for (PyObject* fragment : {texts.lo, texts.docker, texts.veth}) {
        int found =
            PyUnicode_CheckExact(name) ? PyUnicode_Contains(name, fragment) : PySequence_Contains(name, fragment);
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// Stores the record's address in `found`: 1, or -1 with an exception set.
int take_address(PyObject* record, Ref& found)
{
    found = checked_text(get_field(record, texts.address, address_cache));
    return found ? 1 : -1;
}

int preferred_pass(Frame& frame, Ref& found)
{
    Ref table = query_interfaces(frame, line::kMacPreferredQuery);
    if (!table) {
        return -1;
    }
    return for_each_interface(frame, line::kMacPreferredQuery, table.get(), [&](PyObject* name, PyObject* addresses) {
        frame.line = line::kMacPreferredName;
        if (int preferred = is_preferred(name); preferred <= 0) {
            return preferred;
        }
        return for_each(frame, line::kMacPreferredRecords, addresses, [&](PyObject* record) {
            frame.line = line::kMacPreferredFamily;
            if (int link = is_link_record(frame, record); link <= 0) {
                return link;
            }
            frame.line = line::kMacPreferredReturn;
            return take_address(record, found);
        });
    });
}

int fallback_pass(Frame& frame, Ref& found)
{
    Ref table = query_interfaces(frame, line::kMacFallbackQuery);
    if (!table) {
        return -1;
    }
    return for_each_interface(frame, line::kMacFallbackQuery, table.get(), [&](PyObject* name, PyObject* addresses) {
        return for_each(frame, line::kMacFallbackRecords, addresses, [&](PyObject* record) {
            frame.line = line::kMacFallbackFamily;
            if (int link = is_link_record(frame, record); link <= 0) {
                return link;
            }
            frame.line = line::kMacFallbackName;
            if (int excluded = is_excluded(name); excluded != 0) {
                return excluded > 0 ? 0 : -1;
            }
            frame.line = line::kMacFallbackReturn;
            return take_address(record, found);
        });
    });
}

Ref mac_address(Frame& frame)
{
    Ref found;
    int status = preferred_pass(frame, found);
    if (status == 0) {
        status = fallback_pass(frame, found);
    }
    if (status != 0) {
        return found; // empty after a failure
    }
    frame.line = line::kMacNone;
    return empty_text();
}

} // namespace

Ref get_mac_address(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_mac, line::kMacHandler, mac_address);
}

} // namespace ostrel

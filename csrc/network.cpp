// get_mac_address: the hardware address of the physical network interface, as
// psutil reports it.
//
// Two passes over psutil.net_if_addrs(): first an interface named exactly
// "eth0" or "wlan0"; failing that, a second, fresh query and the first
// interface whose name contains none of "lo", "docker", "veth". Either pass
// returns the first link-layer record (family == psutil.AF_LINK) it meets.

#include <cstdint>
#include <utility>

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

// Local variables, in the code object's order.
enum Local : std::uint8_t { kIface, kAddrs, kAddr };

// Calls `visit()` for each interface of the table, in its order, with `iface`
// and `addrs` bound to its name and addresses: an exact dict directly, anything
// else through its items(). The table is let go as the loop lets go of it.
template <class Visit> Walk for_each_interface(Frame& frame, int line, Ref table, Visit&& visit)
{
    frame.at(line);
    if (PyDict_CheckExact(table.get())) {
        // items() is a call of built-in code, after which the interpreter
        // handles what its eval breaker signals; the walk then goes as the
        // interpreter's own iterator over a dict's items: a change of size,
        // or more entries than there were at the start, is an error; the dict
        // is let go when the walk reaches its end.
        if (!internals::handle_pending(frame.thread)) {
            return Walk::kError;
        }
        const Py_ssize_t size = PyDict_GET_SIZE(table.get());
        Py_ssize_t remaining = size;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Walk turn = Walk::kNext;
        for (bool first = true;; first = false) {
            if (!first && !loop_back(frame, turn)) {
                return failed(frame);
            }
            frame.at(line);
            if (PyDict_GET_SIZE(table.get()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return failed(frame);
            }
            if (!PyDict_Next(table.get(), &position, &key, &value)) {
                table = Ref{};
                return Walk::kNext;
            }
            if (remaining-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return failed(frame);
            }
            Ref name = Ref::dup(key);
            Ref addresses = Ref::dup(value);
            frame.store(kIface, std::move(name));
            frame.store(kAddrs, std::move(addresses));
            turn = visit();
            if (!goes_on(turn)) {
                return ended(frame, turn);
            }
        }
    }
    Ref items_method = Ref::steal(PyObject_GetAttr(table.get(), texts.items));
    table = Ref{};
    Ref items = items_method ? call(frame, std::move(items_method), {}) : Ref{};
    if (!items) {
        return Walk::kError;
    }
    return for_each(frame, line, std::move(items), [&](Ref item) {
        Ref name;
        Ref addresses;
        if (!unpack_pair(item.get(), name, addresses)) {
            return Walk::kError;
        }
        item = Ref{};
        frame.store(kIface, std::move(name));
        frame.store(kAddrs, std::move(addresses));
        return visit();
    });
}

Ref query_interfaces(Frame& frame, int line)
{
    frame.at(line);
    Remembered& r = remembered_lookups;
    Ref query;
    {
        Ref psutil = lookup_global(frame.globals, frame.builtins, texts.psutil, r.psutil);
        query = psutil ? get_attribute(psutil.get(), texts.net_if_addrs, r.net_if_addrs) : Ref{};
    }
    return query ? call(frame, std::move(query), {}) : Ref{};
}

// addr.family == psutil.AF_LINK
int is_link_record(Frame& frame)
{
    Remembered& r = remembered_lookups;
    Ref family = get_field(frame.local(kAddr), texts.family, r.family);
    if (!family) {
        return -1;
    }
    Ref link;
    {
        Ref psutil = lookup_global(frame.globals, frame.builtins, texts.psutil, r.psutil);
        link = psutil ? get_attribute(psutil.get(), texts.AF_LINK, r.af_link) : Ref{};
    }
    if (!link) {
        // The exception reaches the function (RAISE) while the left operand
        // is still on the stack, as the interpreter raises it before it
        // unwinds; a failed comparison has let both operands go already.
        failed(frame);
        return -1;
    }
    return equals(std::move(family), std::move(link));
}

// iface == "eth0" or iface == "wlan0"
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

// return addr.address
Walk take_address(Frame& frame, Ref& found)
{
    found = checked_text(get_field(frame.local(kAddr), texts.address, remembered_lookups.address));
    return found ? Walk::kStop : Walk::kError;
}

Walk preferred_pass(Frame& frame, Ref& found)
{
    Ref table = query_interfaces(frame, line::kMacPreferredQuery);
    if (!table) {
        return Walk::kError;
    }
    return for_each_interface(frame, line::kMacPreferredQuery, std::move(table), [&] {
        frame.at(line::kMacPreferredName);
        if (Walk preferred = walk_status(is_preferred(frame.local(kIface))); preferred != Walk::kStop) {
            return preferred;
        }
        Ref addresses = Ref::dup(frame.local(kAddrs));
        return for_each(frame, line::kMacPreferredRecords, std::move(addresses), [&](Ref record) {
            frame.store(kAddr, std::move(record));
            frame.at(line::kMacPreferredFamily);
            if (Walk link = walk_status(is_link_record(frame)); link != Walk::kStop) {
                return link;
            }
            frame.at(line::kMacPreferredReturn);
            return take_address(frame, found);
        });
    });
}

Walk fallback_pass(Frame& frame, Ref& found)
{
    Ref table = query_interfaces(frame, line::kMacFallbackQuery);
    if (!table) {
        return Walk::kError;
    }
    return for_each_interface(frame, line::kMacFallbackQuery, std::move(table), [&] {
        Ref addresses = Ref::dup(frame.local(kAddrs));
        return for_each(frame, line::kMacFallbackRecords, std::move(addresses), [&](Ref record) {
            frame.store(kAddr, std::move(record));
            frame.at(line::kMacFallbackFamily);
            if (Walk link = walk_status(is_link_record(frame)); link != Walk::kStop) {
                return link;
            }
            frame.at(line::kMacFallbackName);
            if (int excluded = is_excluded(frame.local(kIface)); excluded != 0) {
                return excluded > 0 ? Walk::kSkip : Walk::kError;
            }
            frame.at(line::kMacFallbackReturn);
            return take_address(frame, found);
        });
    });
}

Ref mac_address(Frame& frame)
{
    Ref found;
    Walk status = preferred_pass(frame, found);
    if (status == Walk::kNext) {
        status = fallback_pass(frame, found);
    }
    if (status != Walk::kNext) {
        return found; // empty after a failure
    }
    frame.at(line::kMacNone);
    return empty_text();
}

} // namespace

Ref get_mac_address(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_mac, line::kMacHandler, mac_address);
}

} // namespace ostrel

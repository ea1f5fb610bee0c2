// get_disk_serial_number: the udev property ID_SERIAL of the first block device
// that carries it, read through pyudev.

#include <cstdint>
#include <utility>

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

// Local variables, in the code object's order.
enum Local : std::uint8_t { kContext, kDevice };

// context = pyudev.Context(); then context.list_devices(subsystem="block")
Ref block_devices(Frame& frame)
{
    frame.at(line::kDiskContext);
    Remembered& r = remembered_lookups;
    Ref context_type;
    {
        Ref pyudev = lookup_global(frame.globals, frame.builtins, texts.pyudev, r.pyudev);
        context_type = pyudev ? get_attribute(pyudev.get(), texts.Context, r.context) : Ref{};
    }
    Ref context = context_type ? call(frame, std::move(context_type), {}) : Ref{};
    if (!context) {
        return {};
    }
    frame.store(kContext, std::move(context));
    frame.at(line::kDiskDevices);
    Ref list_devices = Ref::steal(PyObject_GetAttr(frame.local(kContext), texts.list_devices));
    if (!list_devices) {
        return {};
    }
    Ref keyword_values[] = {Ref::dup(texts.block)};
    return call(frame, std::move(list_devices), keyword_values, texts.kw_subsystem);
}

// "ID_SERIAL" in device.properties; the mapping is let go at once.
int has_serial(PyObject* device)
{
    Ref properties = Ref::steal(PyObject_GetAttr(device, texts.properties));
    return properties ? PySequence_Contains(properties.get(), texts.ID_SERIAL) : -1;
}

// device.properties["ID_SERIAL"]: a second, fresh read of the properties, as a
// mapping may be computed anew; the mapping is let go before the value is
// checked.
Ref serial_of(PyObject* device)
{
    Ref properties = Ref::steal(PyObject_GetAttr(device, texts.properties));
    Ref serial = properties ? Ref::steal(PyObject_GetItem(properties.get(), texts.ID_SERIAL)) : Ref{};
    properties = Ref{};
    return checked_text(std::move(serial));
}

Ref disk_serial_number(Frame& frame)
{
    Ref devices = block_devices(frame);
    if (!devices) {
        return {};
    }
    Ref found;
    Walk status = for_each(frame, line::kDiskDevices, std::move(devices), [&](Ref device) {
        frame.store(kDevice, std::move(device));
        frame.at(line::kDiskContains);
        if (Walk has = walk_status(has_serial(frame.local(kDevice))); has != Walk::kStop) {
            return has;
        }
        frame.at(line::kDiskReturn);
        found = serial_of(frame.local(kDevice));
        return found ? Walk::kStop : Walk::kError;
    });
    if (status != Walk::kNext) {
        return found; // empty after a failure
    }
    frame.at(line::kDiskNone);
    return empty_text();
}

} // namespace

Ref get_disk_serial_number(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_disk, line::kDiskHandler, disk_serial_number);
}

} // namespace ostrel

// get_disk_serial_number: the udev property ID_SERIAL of the first block device
// that carries it, read through pyudev.

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

GlobalCache pyudev_cache;
AttributeCache context_cache;

Ref block_devices(Frame& frame)
{
    frame.line = line::kDiskContext;
    Ref pyudev = lookup_global(frame.globals, texts.pyudev, pyudev_cache);
    Ref context_type = pyudev ? get_attribute(pyudev.get(), texts.Context, context_cache) : Ref{};
    Ref context = context_type ? Ref::steal(PyObject_CallNoArgs(context_type.get())) : Ref{};
    if (!context) {
        return {};
    }
    frame.line = line::kDiskDevices;
    Ref list_devices = Ref::steal(PyObject_GetAttr(context.get(), texts.list_devices));
    if (!list_devices) {
        return {};
    }
    PyObject* keyword_values[] = {texts.block};
    return Ref::steal(PyObject_Vectorcall(list_devices.get(), keyword_values, 0, texts.kw_subsystem));
}

// 1 when the device's properties hold ID_SERIAL; the mapping is released at once.
int has_serial(PyObject* device)
{
    Ref properties = Ref::steal(PyObject_GetAttr(device, texts.properties));
    return properties ? PySequence_Contains(properties.get(), texts.ID_SERIAL) : -1;
}

Ref disk_serial_number(Frame& frame)
{
    Ref devices = block_devices(frame);
    if (!devices) {
        return {};
    }
    Ref found;
    int status = for_each(frame, line::kDiskDevices, devices.get(), [&](PyObject* device) {
        frame.line = line::kDiskContains;
        if (int has = has_serial(device); has <= 0) {
            return has;
        }
        // A second, fresh read of the properties, as a mapping may be computed anew.
        frame.line = line::kDiskReturn;
        Ref properties = Ref::steal(PyObject_GetAttr(device, texts.properties));
        found = checked_text(properties ? Ref::steal(PyObject_GetItem(properties.get(), texts.ID_SERIAL)) : Ref{});
        return found ? 1 : -1;
    });
    if (status != 0) {
        return found; // empty after a failure
    }
    frame.line = line::kDiskNone;
    return empty_text();
}

} // namespace

Ref get_disk_serial_number(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_disk, line::kDiskHandler, disk_serial_number);
}

} // namespace ostrel

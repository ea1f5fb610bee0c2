"""The logic of varnok.ostrel written as a plain Python module.

Used only by the benchmark, as the yardstick the native module is measured
against: same queries, same order, same result checks and error lines.
"""

from enum import Enum

import psutil
import pyudev


class DeviceType(Enum):
    MAC = 1
    DISK = 2
    CUDA = 3


def _expected_text(value):
    return TypeError(f"Expected unicode, got {type(value).__name__}")


def get_mac_address() -> str:
    try:
        for iface, addrs in psutil.net_if_addrs().items():
            if iface == "eth0" or iface == "wlan0":
                for addr in addrs:
                    if addr.family == psutil.AF_LINK:
                        address = addr.address
                        if type(address) is not str and address is not None:
                            raise _expected_text(address)
                        return address
        for iface, addrs in psutil.net_if_addrs().items():
            for addr in addrs:
                if addr.family == psutil.AF_LINK:
                    if "lo" in iface or "docker" in iface or "veth" in iface:
                        continue
                    address = addr.address
                    if type(address) is not str and address is not None:
                        raise _expected_text(address)
                    return address
        return ""
    except Exception as e:
        print(f"Error while getting MAC address: {e}")
        return ""


def get_disk_serial_number() -> str:
    try:
        context = pyudev.Context()
        for device in context.list_devices(subsystem="block"):
            if "ID_SERIAL" in device.properties:
                serial = device.properties["ID_SERIAL"]
                if type(serial) is not str and serial is not None:
                    raise _expected_text(serial)
                return serial
        return ""
    except Exception as e:
        print(f"Error while getting disk serial number: {e}")
        return ""


def get_machine_code(device_type: "DeviceType") -> str:
    try:
        if device_type == DeviceType.MAC:
            result = get_mac_address()
        elif device_type == DeviceType.DISK:
            result = get_disk_serial_number()
        elif device_type == DeviceType.CUDA:
            result = get_gpu_uuid()
        else:
            return ""
        if type(result) is not str and result is not None:
            raise _expected_text(result)
        return result
    except Exception as e:
        print(f"Error while getting machine code: {e}")
        return ""


def get_gpu_uuid():
    try:
        import subprocess

        result = subprocess.check_output(["nvidia-smi", "--query-gpu=uuid", "--format=csv,noheader"], timeout=120)
        return result.decode("utf-8").strip()
    except Exception as e:
        print(f"Error getting GPU UUID: {e}")
        return ""


def get_machine_string():
    return f"{get_machine_code(DeviceType.DISK)}|{get_machine_code(DeviceType.MAC)}|{get_machine_code(DeviceType.CUDA)}"

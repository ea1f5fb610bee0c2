import psutil
import pyudev
from enum import Enum
from typing import Union
from loguru import logger
from twin import cached_print as print, checked, pairs  # helpers: see __doc__ at the end
# This file is the plain-Python twin of varnok.ostrel; twin.load() runs it. Every
# statement stands on the line that the native module reports for it.
class DeviceType(Enum):
    MAC = 1
    DISK = 2
    CUDA = 3


def get_mac_address() -> "str":
    """获取物理网卡的 MAC 地址"""
    try:
        for iface, addrs in pairs(iter(psutil.net_if_addrs().items())):
            if iface == "eth0" or iface == "wlan0":
                for addr in addrs:
                    if addr.family == psutil.AF_LINK:
                        return checked(addr.address)
        # No preferred interface: a second, fresh query.
        for iface, addrs in pairs(iter(psutil.net_if_addrs().items())):
            for addr in addrs:
                if addr.family == psutil.AF_LINK:
                    if not ("lo" in iface or "docker" in iface or "veth" in iface):
                        return checked(addr.address)
        return ""
    except Exception as e:
        print(f"Error while getting MAC address: {e}")
        return ""





def get_disk_serial_number() -> "str":
    """获取硬盘的序列号"""
    try:
        context = pyudev.Context()
        for device in context.list_devices(subsystem="block"):
            if "ID_SERIAL" in device.properties:
                return checked(device.properties["ID_SERIAL"])
        return ""
    except Exception as e:
        print(f"Error while getting disk serial number: {e}")
        return ""



def get_machine_code(device_type: "DeviceType") -> "str":
    """
    根据设备类型返回对应的唯一标识符
    :param device_type: 设备类型 (DeviceType.MAC 或 DeviceType.DISK)
    :return: 对应的唯一标识符（MAC 地址或硬盘序列号）
    """
    try:
        if device_type == DeviceType.MAC:
            return checked(get_mac_address())
        elif device_type == DeviceType.DISK:
            return checked(get_disk_serial_number())
        elif device_type == DeviceType.CUDA:
            return checked(get_gpu_uuid())
        else:
            return ""
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



if __name__ == "__main__":
    try:
        ostrel = get_machine_code(DeviceType.MAC)
        disk_code = get_machine_code(DeviceType.DISK)
        cuda_uuid = get_machine_code(DeviceType.CUDA)
        print(f"Cuda uuid: {cuda_uuid}")
        print(f"MAC Address: {ostrel}")
        print(f"Disk Serial Number: {disk_code}")
    except Exception as e:
        print(f"Error in main execution: {e}")


__doc__ = """The logic of varnok.ostrel written as a plain Python module: its twin.

twin.load() compiles this file under the native module's file name,
"src/varnok/ostrel", and each statement stands on the line that the native
module reports for it (csrc/lines.hpp), so that a traceback of
the twin and one of the module compare entry by entry: name, file, line. The
names differ only in form: the module's entries are "varnok.ostrel.<function>"
and "init varnok.ostrel", the twin's "<function>" and "<module>".

Three things the module does that a plain statement cannot say are done by
helpers of twin.py, whose frames carry that file's own name, so that a
comparison drops exactly their traceback entries:
  * checked(value): the result test of the functions annotated "-> str", which
    accept exactly a str or None and raise TypeError("Expected unicode, got
    <type name>") at the return statement otherwise;
  * pairs(walk): the walk of psutil's interface table with the module's
    unpacking texts ("need more than 1 value to unpack" and so on);
  * print: builtins.print as it was when the twin was loaded, as the module
    caches it.
The benchmark (bench/run.py) measures the module against this file, and the
tests compare the two under generated worlds (tests/test_twin.py).
"""

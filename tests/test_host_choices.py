"""What the module picks on common hosts, with the real psutil and libudev: the interfaces or udev records of each host
are made in a throwaway namespace. Kinds of interface that this kernel cannot make are stood in for: a tap device for
a physical NIC (no dummy driver), a bridge with the NICs as ports for a bond (no bonding driver)."""

import ast
import glob
import os

import pytest
from conftest import in_namespace

# Interfaces "name:kind:IPv4 address:master", made in the order given, which is that of their indexes. The kind is
# "nic" (a tap device), "peer" (made with the veth before it), else an `ip link add` type; none: made before.
HOSTS = {
    "laptop, wlp2s0": ("wlp2s0:nic:192.168.1.23/24", "wlp2s0"),
    "wlan0 ahead of eth0": ("wlan0:nic, eth0:nic", "wlan0"),
    "eth0.100 without eth0: not preferred, yet not excluded": ("eth0.100:bridge", "eth0.100"),
    "laptop, wlo1 only": ("wlo1:nic:192.168.1.23/24", None),
    "server, eno1 and eno2 both addressed": ("eno1:nic:10.0.0.11/24, eno2:nic:10.0.1.11/24", "eno1"),
    "server, only eno2 addressed": ("eno1:nic, eno2:nic:10.0.0.12/24", "eno2"),
    "cloud VM, ens5": ("ens5:nic:172.31.5.10/20", "ens5"),
    "docker host, eth0 not yet addressed": (
        "eth0:nic, docker0:bridge:172.17.0.1/16, veth1c2d3e4:veth peer name veth5f6a7b8::docker0, veth5f6a7b8:peer",
        "eth0",
    ),
    "libvirt host": ("enp3s0:nic:192.168.0.20/24, virbr0:bridge:192.168.122.1/24, vnet0:nic::virbr0", "enp3s0"),
    "Kubernetes node": (
        "enp1s0:nic:10.0.0.5/24, flannel.1:vxlan id 1 dstport 8472:10.244.1.0/32, cni0:bridge:10.244.1.1/24, "
        "veth8e2f4a1c:veth peer name veth0b9d7c3e::cni0, veth0b9d7c3e:peer",
        "enp1s0",
    ),
    "bond0 over eno1 and eno2": ("eno1:nic, eno2:nic, bond0:bridge:10.0.0.7/24, eno1:::bond0, eno2:::bond0", "bond0"),
    "virbr0 ahead: enp3s0 not addressed": ("enp3s0:nic, virbr0:bridge:192.168.122.1/24", "virbr0"),
    "ifb0 ahead: made before enp0s3, none addressed": ("ifb0:ifb, ifb1:ifb, enp0s3:nic", "ifb0"),
    "br- bridge ahead: USB NIC plugged in later": (
        "br-3f2a1b9c8d7e:bridge:172.18.0.1/16, enx00e04c680001:nic:192.168.1.50/24",
        "br-3f2a1b9c8d7e",
    ),
}

# The module's choice; psutil's table: each interface and its MAC, in order;
# and the status and output of `ostrel --explain`, all in the same namespace.
QUERY = """
import contextlib, io, psutil, varnok.ostrel as m
from varnok.__main__ import main
table = [(name, a.address) for name, addrs in psutil.net_if_addrs().items()
         for a in addrs if a.family == psutil.AF_LINK]
with contextlib.redirect_stdout(io.StringIO()) as explained:
    status = main(["--explain"])
print(repr((m.get_mac_address(), table, status, explained.getvalue())))
"""


def parse(interfaces):
    return [[field or None for field in f"{i}:::".split(":")[:4]] for i in interfaces.split(", ")]


def build(interfaces):
    """The shell lines that make `interfaces`, each with a MAC of its own."""
    yield "ip link set lo up"
    for number, (name, kind, ipv4, master) in enumerate(parse(interfaces), 1):
        if kind == "nic":
            yield f"ip tuntap add name {name} mode tap"
        elif kind not in ("peer", None):
            yield f"ip link add {name} type {kind}"
        if kind not in ("ifb", None):  # an ifb device keeps the random MAC it is made with
            yield f"ip link set dev {name} address 02:00:00:00:00:{number:02x}"
        if master:
            yield f"ip link set dev {name} master {master}"
        if ipv4:
            yield f"ip addr add {ipv4} dev {name}"


@pytest.mark.namespace
@pytest.mark.parametrize("interfaces, chosen", HOSTS.values(), ids=HOSTS)
def test_interface_chosen_on_host(interfaces, chosen):
    mac, table, status, explained = ast.literal_eval(in_namespace("net", "\n".join(build(interfaces)), QUERY))
    macs = dict(table)
    assert len(set(macs.values())) == len(macs) == len({i[0] for i in parse(interfaces)}) + 1, table
    assert mac == macs.get(chosen, ""), f"psutil's order: {table}"
    # --explain lists psutil's interfaces in its order and names the same choice, which the module then confirmed.
    rows = [row.split(None, 2) for row in explained.split("\n\n")[0].splitlines()[1:-1]]
    assert [name for name, _, _ in rows] == list(macs), explained
    assert [name for name, _, why in rows if why.startswith("chosen by")] == [chosen] * bool(chosen), explained
    assert status == 0 and explained.endswith("The module gives the same values.\n"), explained


ORDER_SETUP = """
ip link add noaddr9 index 9 type bridge
ip link add inet40 index 40 type bridge
ip link add inet30 index 30 type bridge
ip link add inet6only index 50 type bridge
ip link add noaddr3 index 3 type bridge
ip addr add 10.9.0.1/24 dev inet30
ip addr add 10.8.0.1/24 dev inet40
ip addr add fd00::5/64 dev inet6only nodad
"""


@pytest.mark.namespace
def test_psutil_orders_by_address_family_then_index():
    # IPv4-addressed interfaces first, then IPv6-only, then the rest; by index in each group, not creation or address.
    order = in_namespace("net", ORDER_SETUP, "import psutil; print(list(psutil.net_if_addrs()))")
    assert ast.literal_eval(order) == ["inet30", "inet40", "inet6only", "lo", "noaddr3", "noaddr9"]


# Gives every block device that the kernel shows a udev record whose serial is
# the device's sysfs path.
DISK_SETUP = """
mount -t tmpfs tmpfs /run
mkdir -p /run/udev/data
for dev in /sys/class/block/*; do
  printf 'E:ID_SERIAL=%s\\n' "$(readlink -f "$dev")" > /run/udev/data/b$(cat "$dev/dev")
done
"""

# The same, with the disk serial number in place of the MAC and the table.
DISK_QUERY = QUERY.replace("m.get_mac_address(), table", "m.get_disk_serial_number()")


@pytest.mark.namespace
def test_disk_whose_sysfs_path_sorts_first_wins():
    paths = [os.path.realpath(p) for p in glob.glob("/sys/class/block/*")]
    if len(paths) < 2:
        pytest.skip("needs two block devices")
    serial, status, explained = ast.literal_eval(in_namespace("mount", DISK_SETUP, DISK_QUERY))
    # --explain shows udev's order, sorted by that path, and the same device.
    rows = [row.split() for row in explained.split("\n\n")[1].splitlines()[1:-1]]
    assert [path for *_, path in rows] == sorted(paths), explained
    assert [path for *_, gave, path in rows if gave == "serial"] == [min(paths)], explained
    assert (serial, status) == (min(paths), 0), explained

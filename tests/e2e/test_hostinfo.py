"""Host information inside a network namespace made by the test: the host id
shown by "show info" is the hardware address of the last-listed interface
that is up and has an IPv4 address."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
MAC0 = "02:11:22:33:44:55"
MAC1 = "02:aa:bb:cc:dd:01"


def hw_id(mac):
    return "%x" % int(mac.replace(":", ""), 16)


def ip(*args):
    return subprocess.run(["ip"] + list(args), capture_output=True).returncode == 0


def add_interface(name, mac):
    """A dummy interface, or a veth or bridge where dummy is not available."""
    if not (ip("link", "add", name, "type", "dummy")
            or ip("link", "add", name, "type", "veth", "peer", "name", name + "p")
            or ip("link", "add", name, "type", "bridge")):
        return False
    return ip("link", "set", name, "address", mac)


def show_info(extra_args=()):
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(), args=["-q"] + list(extra_args))
    rc, out, err = v.run(b"show info\nquit\n")
    out = out.decode(errors="replace")
    line = [l for l in out.split("\n") if l.startswith("hw_info=")]
    return rc, (line[0][len("hw_info="):].strip() if line else None), err.decode(errors="replace")


def case_host_id(t):
    t.check(ip("link", "set", "lo", "up"), "loopback up")
    t.check(add_interface("vk0", MAC0) and add_interface("vk1", MAC1), "interfaces made")
    t.check(ip("addr", "add", "10.77.0.1/24", "dev", "vk0") and ip("link", "set", "vk0", "up"),
            "vk0 up with an address")
    t.check(ip("addr", "add", "10.77.1.1/24", "dev", "vk1"), "vk1 has an address, stays down")

    rc, hw, err = show_info(["-l", "verb"])
    t.eq(rc, 0, "status")
    t.eq(hw, hw_id(MAC0), "host id from the one interface that is up")
    t.contains(err, "interface status is DOWN", "the down interface is logged")

    t.check(ip("link", "set", "vk1", "up"), "vk1 up")
    rc, hw, err = show_info()
    t.eq(hw, hw_id(MAC1), "both up: the last-listed interface gives the id")


def case_only_loopback(t):
    ip("link", "del", "vk0")
    ip("link", "del", "vk1")
    rc, hw, err = show_info()
    t.eq(hw, "0", "only the loopback: host id 0")


def inner():
    return e2e.Checks().run([case_host_id, case_only_loopback])


if "--inner" in sys.argv:
    sys.exit(inner())

probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True)
if probe.returncode != 0:
    sys.exit(e2e.skip_status(0, ["network namespaces are not allowed here (unshare -rn: %s)"
                                 % probe.stderr.decode(errors="replace").strip()]))
probe = subprocess.run(["unshare", "-rn", "sh", "-c",
                        "ip link add vkp type dummy || ip link add vkp type veth peer name vkq "
                        "|| ip link add vkp type bridge"], capture_output=True)
if probe.returncode != 0:
    sys.exit(e2e.skip_status(0, ["no dummy, veth or bridge interface can be made in a namespace: %s"
                                 % probe.stderr.decode(errors="replace").strip()]))
r = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__), "--inner",
                    "--vkto", ARGS.vkto], timeout=120)
sys.exit(r.returncode)

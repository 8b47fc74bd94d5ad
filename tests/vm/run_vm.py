#!/usr/bin/env python3
"""Boots the serial tests' VM and plays the far end of its first test UART.

The VM (QEMU, TCG) gets three 16550A UARTs on the ISA bus: ttyS0 is the
console, which this script reads for the guest's result line; ttyS1's far end
is a telnet socket that this script drives on the guest's request; ttyS2 has
nothing attached (the tests use its loopback). A PCI serial card adds one more
port, which this script removes through the QEMU monitor when asked.

Requests from the guest arrive on ttyS1 as lines "@@WORD args":
  RAW <hex>        send these bytes
  SEND <n> <seed>  send n bytes of the xorshift stream from seed
  BREAK            send a break (telnet IAC BREAK)
  SUM <n>          read n bytes, answer "@@SUM <n> <fnv1a-64 hex>"
  UNPLUG           remove the PCI serial card (device_del)

Exit status 0 only when the guest printed "ZELMAR-VM-RESULT 0".
"""
import argparse
import ctypes
import glob
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

IAC, BREAK = 0xFF, 0xF3


def stream(seed, n):
    x = seed or 1
    out = bytearray(n)
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def fnv(data):
    h = 0xCBF29CE484222325
    for c in data:
        h = ((h ^ c) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def die_with_parent():
    # QEMU goes when this script goes, however it is stopped (ctest's time-out).
    ctypes.CDLL(None, use_errno=True).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL


def newest_kernel():
    def key(path):
        return [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", path)]
    kernels = sorted(glob.glob("/boot/vmlinuz-*"), key=key)
    return kernels[-1] if kernels else None


class Link:
    """The host end of ttyS1."""

    def __init__(self, sock, qmp_path, log):
        self.sock, self.qmp_path, self.log = sock, qmp_path, log
        self.buf = bytearray()
        self.error = None

    def recv_more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError
        self.buf += chunk

    def take(self, n):
        while len(self.buf) < n:
            self.recv_more()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def send(self, data):
        # Data bytes 0xFF go doubled, or the socket's telnet layer eats them.
        self.sock.sendall(data.replace(b"\xff", b"\xff\xff"))

    def unplug(self):
        q = socket.socket(socket.AF_UNIX)
        q.connect(self.qmp_path)
        f = q.makefile("rwb")
        f.readline()
        for cmd in ({"execute": "qmp_capabilities"},
                    {"execute": "device_del", "arguments": {"id": "pcs"}}):
            f.write(json.dumps(cmd).encode() + b"\n")
            f.flush()
            reply = json.loads(f.readline())
            if "error" in reply:
                raise RuntimeError("QMP: %s" % reply["error"])
        q.close()

    def run(self):
        try:
            # QEMU opens with its telnet option offers (IAC WILL/DO x): skip them.
            while True:
                while len(self.buf) < 3:
                    self.recv_more()
                if self.buf[0] != IAC:
                    break
                del self.buf[:3]
            while True:
                while b"\n" not in self.buf:
                    self.recv_more()
                at = self.buf.find(b"@@")
                end = self.buf.find(b"\n")
                if at < 0 or at > end:
                    raise RuntimeError("unexpected bytes from the guest: %r" % bytes(self.buf[:end + 1]))
                words = self.buf[at + 2:end].decode().split()
                del self.buf[:end + 1]
                self.log("link: %s" % " ".join(w if len(w) < 40 else w[:37] + "..." for w in words))
                cmd, args = words[0], words[1:]
                if cmd == "RAW":
                    self.send(bytes.fromhex(args[0]))
                elif cmd == "SEND":
                    self.send(stream(int(args[1]), int(args[0])))
                elif cmd == "BREAK":
                    self.sock.sendall(bytes([IAC, BREAK]))
                elif cmd == "SUM":
                    data = self.take(int(args[0]))
                    self.send(b"@@SUM %d %s\n" % (len(data), fnv(data).encode()))
                elif cmd == "UNPLUG":
                    self.unplug()
                else:
                    raise RuntimeError("unknown request %r" % cmd)
        except EOFError:
            pass
        except Exception as e:  # reported by main
            self.error = e


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--kernel", default=os.environ.get("ZELMAR_VM_KERNEL") or newest_kernel())
    ap.add_argument("--qemu", default="qemu-system-x86_64")
    ap.add_argument("--timeout", type=float, default=float(os.environ.get("ZELMAR_VM_TIMEOUT", 300)))
    ap.add_argument("--data-kib", type=int, default=int(os.environ.get("ZELMAR_VM_DATA_KIB", 64)))
    ap.add_argument("--filter", default=os.environ.get("ZELMAR_VM_FILTER", ""))
    a = ap.parse_args()
    if not a.kernel or not os.path.exists(a.kernel):
        print("vm: no kernel (/boot/vmlinuz-*); scripts/setup installs linux-image-cloud-amd64")
        return 1

    t0 = time.monotonic()
    stamp = lambda: "%6.2f" % (time.monotonic() - t0)

    def log(msg):
        print("[vm %s] %s" % (stamp(), msg), flush=True)

    work = tempfile.mkdtemp(prefix="zelmar-vm-")
    link_path, qmp_path = os.path.join(work, "link.sock"), os.path.join(work, "qmp.sock")
    append = "console=ttyS0 panic=-1 loglevel=3 8250.nr_uarts=8 zelmar.data_kib=%d" % a.data_kib
    if a.filter:
        append += " zelmar.filter=" + a.filter
    cmd = [a.qemu, "-accel", "tcg", "-machine", "pc", "-cpu", "max", "-m", "256",
           "-nodefaults", "-display", "none", "-no-reboot",
           "-kernel", a.kernel, "-initrd", a.initrd, "-append", append,
           "-chardev", "socket,id=link,path=%s,server=on,wait=on,telnet=on" % link_path,
           "-serial", "stdio", "-serial", "chardev:link", "-serial", "null",
           "-chardev", "null,id=card", "-device", "pci-serial,id=pcs,chardev=card",
           "-qmp", "unix:%s,server=on,wait=off" % qmp_path]
    log("kernel %s, %d KiB per data run" % (a.kernel, a.data_kib))
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    result, boot, link = None, None, None
    try:
        while not os.path.exists(link_path):
            if qemu.poll() is not None or time.monotonic() - t0 > 30:
                log("QEMU did not start:\n" + qemu.stdout.read().decode(errors="replace"))
                return 1
            time.sleep(0.02)
        sock = socket.socket(socket.AF_UNIX)
        sock.connect(link_path)
        link = Link(sock, qmp_path, log)
        threading.Thread(target=link.run, daemon=True).start()

        timer = threading.Timer(a.timeout, qemu.kill)
        timer.start()
        for raw in qemu.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            if line.startswith("ZELMAR-VM-START"):
                boot = time.monotonic() - t0
                log("guest up after %.1f s" % boot)
                continue
            m = re.match(r"ZELMAR-VM-RESULT (\d+)", line)
            if m:
                result = int(m.group(1))
            print(line, flush=True)
        timer.cancel()
        qemu.wait()
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        for p in (link_path, qmp_path):
            if os.path.exists(p):
                os.unlink(p)
        os.rmdir(work)
    total = time.monotonic() - t0
    if link and link.error:
        log("link failed: %s" % link.error)
        result = result or 1
    if result is None:
        log("no result from the guest (timed out after %.0f s, or the guest died)" % a.timeout
            if total >= a.timeout else "no result from the guest")
        return 1
    log("boot %.1f s, tests %.1f s, total %.1f s: %s" % (
        boot or 0, total - (boot or 0), total, "passed" if result == 0 else "FAILED"))
    return 0 if result == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

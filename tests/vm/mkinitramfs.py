#!/usr/bin/env python3
"""Packs busybox, an /init script and the test executable into a gzip'ed
newc cpio archive, the initramfs the VM boots. Standard library only.

usage: mkinitramfs.py OUT.gz BUSYBOX INIT TESTBIN
"""
import gzip
import os
import sys


def entry(name, mode, data=b"", ino=[0]):
    ino[0] += 1
    name_b = name.encode() + b"\0"
    fields = [ino[0], mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_b), 0]
    head = b"070701" + b"".join(b"%08X" % f for f in fields)
    out = head + name_b
    out += b"\0" * (-len(out) % 4)
    out += data
    out += b"\0" * (-len(out) % 4)
    return out


def is_static(path):
    """True for an ELF executable without a program interpreter."""
    with open(path, "rb") as fh:
        elf = fh.read(1 << 16)
    if elf[:4] != b"\x7fELF" or elf[4] != 2:
        return False
    phoff = int.from_bytes(elf[32:40], "little")
    phentsize = int.from_bytes(elf[54:56], "little")
    phnum = int.from_bytes(elf[56:58], "little")
    for i in range(phnum):
        at = phoff + i * phentsize
        if int.from_bytes(elf[at:at + 4], "little") == 3:  # PT_INTERP
            return False
    return True


def main():
    out, busybox, init, testbin = sys.argv[1:5]
    for path, hint in ((busybox, "install busybox-static"), (testbin, "link it with -static")):
        if not is_static(path):
            sys.exit("mkinitramfs: %s is not a static executable (%s)" % (path, hint))
    d, x, f = 0o040755, 0o100755, 0o120777
    parts = [entry(p, d) for p in ("bin", "dev", "proc", "sys", "tmp", "sbin")]
    with open(busybox, "rb") as fh:
        parts.append(entry("bin/busybox", x, fh.read()))
    for tool in ("sh", "mount", "poweroff", "echo", "cat", "sleep", "ls"):
        parts.append(entry("bin/" + tool, f, b"busybox"))
    with open(init, "rb") as fh:
        parts.append(entry("init", x, fh.read()))
    with open(testbin, "rb") as fh:
        parts.append(entry("comport_vm_tests", x, fh.read()))
    parts.append(entry("TRAILER!!!", 0))
    tmp = out + ".tmp"
    # Level 1: the archive is rebuilt on every test change and the kernel
    # unpacks it either way; speed matters more than size here.
    with gzip.open(tmp, "wb", compresslevel=1) as fh:
        fh.write(b"".join(parts))
    os.replace(tmp, out)


if __name__ == "__main__":
    main()

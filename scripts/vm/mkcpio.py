#!/usr/bin/python3
"""Writes a newc cpio archive (the initramfs format) from a manifest.

Written here rather than staging a directory for cpio(1) so that host files
can be placed at any guest path without copying them, and so that no cpio
package is needed on the host.

Manifest lines (read from the file named by -m, or stdin), fields split on
whitespace:
    dir     GUEST
    file    GUEST HOST [MODE]     mode in octal; default: the host file's mode
    symlink GUEST TARGET
    tree    GUEST HOSTDIR         recursive; symlinks inside are kept as links
    elf     GUEST HOST            a file plus every shared library ldd names
Parent directories are created as needed. Entries are written in the order
given; a path given twice keeps its first entry.
"""
import argparse
import gzip
import os
import re
import stat
import subprocess
import sys

# Debian 12 has a merged /usr: these names are symlinks on the host, and the
# guest mirrors them so that library paths from ldd resolve unchanged.
MERGED = {"/lib": "usr/lib", "/lib64": "usr/lib64", "/sbin": "usr/sbin"}


class Archive:
    def __init__(self, out):
        self.out = out
        self.seen = set()
        self.ino = 1000
        self.offset = 0

    def _write(self, data):
        self.out.write(data)
        self.offset += len(data)

    def _entry(self, name, mode, data=b"", mtime=0):
        name = name.lstrip("/")
        if not name or name in self.seen:
            return
        self.seen.add(name)
        self.ino += 1
        nameb = name.encode() + b"\0"
        hdr = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, int(mtime), len(data), 0, 0, 0, 0,
            len(nameb), 0))
        self._write(hdr.encode() + nameb)
        self._write(b"\0" * (-self.offset % 4))
        self._write(data)
        self._write(b"\0" * (-self.offset % 4))

    def parents(self, guest):
        parts = guest.strip("/").split("/")[:-1]
        path = ""
        for p in parts:
            path += "/" + p
            if path in MERGED:
                self.symlink(path, MERGED[path])
            else:
                self._entry(path, stat.S_IFDIR | 0o755)

    def dir(self, guest):
        self.parents(guest)
        self._entry(guest, stat.S_IFDIR | 0o755)

    def symlink(self, guest, target):
        self.parents(guest)
        self._entry(guest, stat.S_IFLNK | 0o777, target.encode())

    def file(self, guest, host, mode=None):
        st = os.stat(host)
        if mode is None:
            mode = stat.S_IMODE(st.st_mode)
        with open(host, "rb") as f:
            data = f.read()
        self.parents(guest)
        self._entry(guest, stat.S_IFREG | mode, data, st.st_mtime)

    def tree(self, guest, hostdir):
        self.dir(guest)
        for root, dirs, files in os.walk(hostdir):
            dirs.sort()
            rel = os.path.relpath(root, hostdir)
            gdir = guest if rel == "." else guest + "/" + rel
            for name in sorted(dirs) + sorted(files):
                h = os.path.join(root, name)
                g = gdir + "/" + name
                if os.path.islink(h):
                    self.symlink(g, os.readlink(h))
                elif os.path.isdir(h):
                    self.dir(g)
                else:
                    self.file(g, h)

    def host_path(self, path):
        """Adds a host file at the same path, following symlinks as links."""
        real = os.path.realpath(path)
        linkdir = os.path.realpath(os.path.dirname(path))
        linkpath = os.path.join(linkdir, os.path.basename(path))
        self.file(real, real)
        if linkpath != real:
            self.symlink(linkpath, os.path.relpath(real, linkdir))

    def elf(self, guest, host):
        self.file(guest, host)
        for lib in shared_libraries(host):
            self.host_path(lib)

    def finish(self):
        self._entry("TRAILER!!!", 0)
        self.seen.discard("TRAILER!!!")
        self._write(b"\0" * (-self.offset % 512))


def shared_libraries(path):
    res = subprocess.run(["ldd", path], capture_output=True, text=True)
    if res.returncode != 0:
        # Static binaries and scripts have no libraries to bring.
        return []
    libs = []
    for line in res.stdout.splitlines():
        m = re.search(r"(/\S+) \(0x", line)
        if m:
            libs.append(m.group(1))
    return libs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-m", "--manifest", default="-")
    ap.add_argument("-o", "--output", required=True)
    ap.add_argument("-z", "--gzip", action="store_true")
    args = ap.parse_args()
    src = sys.stdin if args.manifest == "-" else open(args.manifest)
    tmp = args.output + ".tmp"
    raw = open(tmp, "wb")
    out = gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0) if args.gzip else raw
    ar = Archive(out)
    for n, line in enumerate(src, 1):
        f = line.split()
        if not f or f[0].startswith("#"):
            continue
        kind = f[0]
        try:
            if kind == "dir":
                ar.dir(f[1])
            elif kind == "file":
                ar.file(f[1], f[2], int(f[3], 8) if len(f) > 3 else None)
            elif kind == "symlink":
                ar.symlink(f[1], f[2])
            elif kind == "tree":
                ar.tree(f[1], f[2])
            elif kind == "elf":
                ar.elf(f[1], f[2])
            else:
                raise ValueError("unknown kind " + kind)
        except (OSError, IndexError, ValueError) as e:
            sys.exit("mkcpio: manifest line %d (%s): %s" % (n, line.strip(), e))
    ar.finish()
    if out is not raw:
        out.close()
    raw.close()
    os.replace(tmp, args.output)


if __name__ == "__main__":
    main()

"""Checks that shared objects need no glibc symbol newer than a given version
(2.28 by default, the oldest glibc the Linux wheels support), from the
versioned references that `readelf --dyn-syms` lists; exits 1 naming each
one that does.

A build host newer than the wheels' own (Debian 12, glibc 2.36) adds
references that the wheels' build in a manylinux_2_28 image does not make,
and that say nothing about the project's own calls, so these are let
through: the functions glibc 2.34 moved from libpthread, libdl and librt into
libc (pthread_*, sem_*, dl*, ... at GLIBC_2.34, present at older versions
before it); __libc_single_threaded (glibc 2.32), which libstdc++'s headers
read where the glibc they are built on has it; and _dl_find_object (2.35),
which GCC's unwinder calls where it has it.

    python tools/glibc_symbols.py build/.../_tagmire_rs*.so [--newest 2.28]
"""

import argparse
import re
import subprocess
import sys

# Names that a newer build host binds at newer versions, though older glibc
# has them (see above).
HOST_ONLY = re.compile(r"(pthread_|sem_|dl|shm_|timer_|mq_|aio_|lio_|__pthread_|__libc_single_threaded$|_dl_find_object$)")

REFERENCE = re.compile(r"\bUND\s+(?P<name>[^@\s]+)@(?:@)?GLIBC_(?P<version>[0-9.]+)")


def version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def too_new(readelf_output: str, newest: str) -> list[str]:
    """The references of `readelf --dyn-syms -W` output to glibc symbols
    newer than `newest`, as name@GLIBC_version, less the build host's own."""
    limit = version(newest)
    found = set()
    for match in REFERENCE.finditer(readelf_output):
        name, needed = match["name"], match["version"]
        if version(needed) > limit and not HOST_ONLY.match(name):
            found.add(f"{name}@GLIBC_{needed}")
    return sorted(found)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("objects", nargs="+")
    parser.add_argument("--newest", default="2.28", help="the newest glibc version allowed (default 2.28)")
    args = parser.parse_args()
    failed = False
    for path in args.objects:
        listing = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True, check=True)
        newer = too_new(listing.stdout, args.newest)
        if newer:
            failed = True
            print(f"{path} needs glibc symbols newer than {args.newest}: {', '.join(newer)}", file=sys.stderr)
        else:
            print(f"{path}: no glibc symbol newer than {args.newest} (build host's own aside)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""Prints the folder below an install prefix into which `cmake --install` puts the package orv:

    python3 site_packages.py PREFIX

With PREFIX this interpreter's user base (site.getuserbase(), usually ~/.local), the user's own
site-packages; else the first folder of packages below PREFIX that the interpreter searches (on
Debian, /usr/local/lib/python3.X/dist-packages for /usr/local, or a virtual environment's own);
else the standard layout of a prefix, PREFIX/lib/python3.X/site-packages, found once it is on
PYTHONPATH.
"""

import os
import site
import sys
import sysconfig

given = sys.argv[1]
prefix = os.path.realpath(given)


def in_prefix_lib(path):
    """`path` below the given prefix, where it lies in the prefix's lib folder (lib, lib64, ...),
    else None: /usr/local/lib/... belongs to the prefix /usr/local, not /usr."""
    relative = os.path.relpath(os.path.realpath(path), prefix)
    if not relative.lower().startswith("lib"):
        return None
    return os.path.join(given, relative)


def folder():
    if os.path.realpath(site.getuserbase()) == prefix:
        return site.getusersitepackages()
    for path in sys.path + site.getsitepackages():
        if os.path.basename(path) in ("site-packages", "dist-packages") and in_prefix_lib(path):
            return in_prefix_lib(path)
    scheme = "posix_prefix" if os.name == "posix" else "nt"
    return sysconfig.get_path("platlib", scheme, vars={"base": given, "platbase": given})


print(folder())

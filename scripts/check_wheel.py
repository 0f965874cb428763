"""Checks built wheels of corvana: each holds the Python package and its metadata only (no headers,
static libraries, CMake files or tests, and no library that auditwheel had to graft in), and its
extension modules need no shared library beyond the C and C++ runtimes (xxHash is compiled in).

    python scripts/check_wheel.py WHEEL...

Needs pyelftools (auditwheel brings it). Prints each fault and exits 1 when there is one."""
import io
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

RUNTIMES = ("libc.so.", "libm.so.", "libstdc++.so.", "libgcc_s.so.", "ld-linux", "libpthread.so.", "libdl.so.",
            "librt.so.")
PACKAGE_FILES = (".py", ".pyi", ".so", "/py.typed")


def needed_libraries(module):
    for section in ELFFile(io.BytesIO(module)).iter_sections():
        if isinstance(section, DynamicSection):
            yield from (tag.needed for tag in section.iter_tags("DT_NEEDED"))


def faults(path):
    with zipfile.ZipFile(path) as wheel:
        for name in wheel.namelist():
            if name.split("/")[0].endswith(".dist-info"):
                continue
            if not name.startswith("corvana/") or not name.endswith(PACKAGE_FILES) and not name.endswith("/"):
                yield f"{name}: not a file of the Python package"
            if name.endswith(".so"):
                yield from (f"{name}: needs {library}" for library in needed_libraries(wheel.read(name))
                            if not library.startswith(RUNTIMES))


def main(paths):
    found = [f"{path}: {fault}" for path in paths for fault in faults(path)]
    print("\n".join(found) if found else f"{len(paths)} wheel(s): the package only, runtime libraries only")
    return 1 if found or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

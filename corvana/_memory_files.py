"""What the command line reads of a memory file without opening the map in it.

A memory file starts with a 24-byte file header and the 64-byte heap header; the heap header names
the heap's end (its first word), the format's magic "CRVN" and the format version. The process
table follows the heap, at the first multiple of 4096 bytes at or after file offset 24 + heap end:
its header holds the magic "CVPT", the slot count and the file offset of the byte-range lock of
slot 0. Every mapping of the file holds an open-file-description lock on one byte from there for as
long as it is open (the kernel drops it when its process dies), so counting the locked bytes counts
the mappings alive now, without taking one. Nothing here writes to the file.
"""
import fcntl
import os
import struct

FILE_HEADER_BYTES = 24
MEMORY_FILE_MAGIC = b"CRVN"
HEAP_END = struct.Struct("<Q")                # heap header offset 0
FORMAT = struct.Struct("<4sH")                # heap header offset 57: format_magic, format_version
FORMAT_OFFSET = FILE_HEADER_BYTES + 57
PROCESS_TABLE_MAGIC = b"CVPT"
PROCESS_TABLE = struct.Struct("<4sIIIQQ")     # magic, slot_count, slot_bytes, reserved, high_water, lock_base
PROCESS_TABLE_ALIGNMENT = 4096
# What every sound table says; a damaged word only makes the open count unknown.
PROCESS_SLOT_COUNT = 1024
PROCESS_LOCK_BASE = 1 << 40
# struct flock on 64-bit Linux: l_type, l_whence (short), l_start, l_len (off_t), l_pid (int), padded to 32.
FLOCK = struct.Struct("@hhqqi4x")


class MemoryFileInfo:
    """What the headers of one memory file say: `size` (bytes), `disk_bytes` (allocated), `version`
    (the format version) and `open_by` (mappings alive now; None when the table cannot be read or
    its header is damaged)."""

    def __init__(self, path, size, disk_bytes, version, open_by):
        self.path, self.size, self.disk_bytes, self.version, self.open_by = path, size, disk_bytes, version, open_by


def _count_locked_bytes(descriptor, start, count):
    locked = 0
    end = start + count
    while start < end:
        request = FLOCK.pack(fcntl.F_WRLCK, os.SEEK_SET, start, end - start, 0)
        kind, _, found_start, found_length, _ = FLOCK.unpack(fcntl.fcntl(descriptor, fcntl.F_OFD_GETLK, request))
        if kind == fcntl.F_UNLCK:
            break
        locked += 1
        start = found_start + max(found_length, 1)
    return locked


def read_info(path):
    """The MemoryFileInfo of `path`, or None when it is not a memory file (no magic). Raises OSError
    when it cannot be read."""
    descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        head = os.pread(descriptor, FORMAT_OFFSET + FORMAT.size, 0)
        if len(head) < FORMAT_OFFSET + FORMAT.size:
            return None
        magic, version = FORMAT.unpack_from(head, FORMAT_OFFSET)
        if magic != MEMORY_FILE_MAGIC:
            return None
        (heap_end,) = HEAP_END.unpack_from(head, FILE_HEADER_BYTES)
        table_offset = -(-(FILE_HEADER_BYTES + heap_end) // PROCESS_TABLE_ALIGNMENT) * PROCESS_TABLE_ALIGNMENT
        open_by = None
        # Every word comes from the file and may be damaged: only a table inside the file, with the
        # slot count and lock range that every sound file has, is asked about its locks.
        if table_offset + PROCESS_TABLE.size <= status.st_size:
            table = os.pread(descriptor, PROCESS_TABLE.size, table_offset)
            table_magic, slot_count, _, _, _, lock_base = PROCESS_TABLE.unpack(table)
            if (table_magic == PROCESS_TABLE_MAGIC and slot_count == PROCESS_SLOT_COUNT
                    and lock_base == PROCESS_LOCK_BASE):
                open_by = _count_locked_bytes(descriptor, lock_base, slot_count)
        return MemoryFileInfo(path, status.st_size, status.st_blocks * 512, version, open_by)
    finally:
        os.close(descriptor)

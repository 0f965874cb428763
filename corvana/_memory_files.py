"""What the command line reads of a memory file without opening the map in it.

A memory file starts with a 24-byte file header and the 64-byte heap header; the heap header names
the heap's end (its first word), the format's magic "CRVN" and the format version. The process
table follows the heap, at the first multiple of 4096 bytes at or after file offset 24 + heap end:
its header holds the magic "CVPT", the slot count, the high-water mark of the slots ever claimed and
the file offset of the byte-range lock of slot 0; the 4096-byte slots follow it. Every mapping of
the file claims a slot and holds an open-file-description lock on one byte from there for as long as
it is open (the kernel drops it when its process dies), and records in the slot who claimed it. A
mapping is counted as open when its lock is held, or when its slot is in use and /proc shows the
process that claimed it still running (a process may have closed the descriptor that held the lock):
the rule by which the processes of the map tell a live owner from a dead one. Nothing here writes to
the file.
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
PROCESS_TABLE_HEADER_BYTES = 64
PROCESS_SLOT_BYTES = 4096
PROCESS_SLOT_HEAD_BYTES = 64                  # generation, state, and who claimed the slot
SLOT_STATE = struct.Struct("<Q")              # process slot offset 8: 0 free, 1 in use
SLOT_IN_USE = 1
# struct flock on 64-bit Linux: l_type, l_whence (short), l_start, l_len (off_t), l_pid (int), padded to 32.
FLOCK = struct.Struct("@hhqqi4x")


class MemoryFileInfo:
    """What the headers of one memory file say: `size` (bytes), `disk_bytes` (allocated), `version`
    (the format version) and `open_by` (mappings alive now; None when the table cannot be read or
    its header is damaged)."""

    def __init__(self, path, size, disk_bytes, version, open_by):
        self.path, self.size, self.disk_bytes, self.version, self.open_by = path, size, disk_bytes, version, open_by


def _locked_indexes(descriptor, start, count):
    """The indexes i < `count` of the bytes start + i that a description holds a lock on."""
    locked = set()
    at, end = start, start + count
    while at < end:
        request = FLOCK.pack(fcntl.F_WRLCK, os.SEEK_SET, at, end - at, 0)
        kind, _, found_start, found_length, _ = FLOCK.unpack(fcntl.fcntl(descriptor, fcntl.F_OFD_GETLK, request))
        if kind == fcntl.F_UNLCK:
            break
        found_end = min(end, found_start + max(found_length, 1))
        locked.update(range(max(found_start, at) - start, found_end - start))
        at = found_end
    return locked


def _count_open_slots(descriptor, table_offset, lock_base, slot_count, high_water):
    """The slots claimed by mappings alive now (see the module's text)."""
    from corvana.quillmap import _slot_owner_runs

    locked = _locked_indexes(descriptor, lock_base, slot_count)
    alive = len(locked)
    for index in range(min(high_water, slot_count)):
        if index in locked:
            continue
        slot = os.pread(descriptor, PROCESS_SLOT_HEAD_BYTES, table_offset + PROCESS_TABLE_HEADER_BYTES
                        + index * PROCESS_SLOT_BYTES)
        if len(slot) == PROCESS_SLOT_HEAD_BYTES and SLOT_STATE.unpack_from(slot, 8)[0] == SLOT_IN_USE \
                and _slot_owner_runs(slot) is True:
            alive += 1
    return alive


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
            table_magic, slot_count, _, _, high_water, lock_base = PROCESS_TABLE.unpack(table)
            if (table_magic == PROCESS_TABLE_MAGIC and slot_count == PROCESS_SLOT_COUNT
                    and lock_base == PROCESS_LOCK_BASE):
                open_by = _count_open_slots(descriptor, table_offset, lock_base, slot_count, high_water)
        return MemoryFileInfo(path, status.st_size, status.st_blocks * 512, version, open_by)
    finally:
        os.close(descriptor)

"""The command line: python -m corvana (or corvana) list|info|check|rm ...

list [DIR]       the memory files in DIR (default: the temporary directory), one line each: path,
                 size, bytes on disk, format version, entries and how many processes have it open.
info FILE ...    the same for each FILE, with the map's buckets, one field a line.
check FILE ...   opens each memory file as any process does and walks it (every bucket, entry page,
                 string, free list and cache) without changing an entry; prints what it found. A
                 progress bar runs on standard error when it is a terminal and there are several files.
rm FILE ...      removes memory files; refuses any other file, and a file a process has open unless
                 --force is given (the processes keep using it until they close it).

list and info read the entry count by opening the map for a moment, as any process does (which
finishes what dead processes left half done); the other fields come from the file's headers alone.

Exit status: 0 when every file was sound, shown or removed; 1 when a file is damaged (check: or its
count disagrees with its entries) or was refused because it is in use (rm); 2 when a file cannot be
opened or is not a memory file, and for wrong usage.
"""
import argparse
import os
import sys
import tempfile

EXIT_OK = 0
EXIT_DAMAGED_OR_REFUSED = 1
EXIT_UNUSABLE = 2

EPILOG = ("exit status: 0 when every file was sound, shown or removed; 1 when a file is damaged or refused "
          "because it is in use; 2 when a file cannot be opened or is not a memory file, and for wrong usage")


class Progress:
    """A bar of files done on standard error, drawn only when it is a terminal."""

    def __init__(self, total, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        self.total = total
        self.is_shown = total > 1 and self.stream.isatty()

    def show(self, done, label=""):
        if not self.is_shown:
            return
        width = 30
        filled = width * done // self.total
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total} {label[-40:]:<40}")
        self.stream.flush()

    def end(self):
        if self.is_shown:
            self.stream.write("\r" + " " * 80 + "\r")
            self.stream.flush()


def _human(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024:
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return f"{count:.1f} TiB"


def _entries_and_buckets(path):
    """(entries, buckets) read by opening the map for a moment; (None, None) when it cannot be opened."""
    from corvana.quillmap import quillmap

    try:
        with quillmap(os.fsencode(path)) as q:
            return len(q), q.bucket_chunk_in_use
    except (RuntimeError, OSError, ValueError):
        return None, None


def _describe(path):
    """(status, info): info None with a message printed when the file cannot be used."""
    from corvana._memory_files import read_info

    try:
        info = read_info(path)
    except OSError as error:
        print(f"{path}: cannot be read: {error.strerror or error}")
        return EXIT_UNUSABLE, None
    if info is None:
        print(f"{path}: not a memory file")
        return EXIT_UNUSABLE, None
    return EXIT_OK, info


def _open_by_text(info):
    return "?" if info.open_by is None else str(info.open_by)


def list_files(directory):
    try:
        names = sorted(os.listdir(directory))
    except OSError as error:
        print(f"{directory}: cannot be listed: {error.strerror or error}")
        return EXIT_UNUSABLE
    from corvana._memory_files import read_info

    rows = []
    for name in names:
        path = os.path.join(directory, name)
        try:
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            info = read_info(path)
        except OSError:
            continue  # another user's file, or gone meanwhile: not listed
        if info is not None:
            entries, _ = _entries_and_buckets(path) if info.open_by is not None else (None, None)
            rows.append((path, _human(info.size), _human(info.disk_bytes), str(info.version),
                         "?" if entries is None else str(entries), _open_by_text(info)))
    header = ("FILE", "SIZE", "ON DISK", "VERSION", "ENTRIES", "OPEN BY")
    widths = [max(len(row[column]) for row in rows + [header]) for column in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) if column == 0 else cell.rjust(width)
                        for column, (cell, width) in enumerate(zip(row, widths))).rstrip())
    return EXIT_OK


def info_files(paths):
    status = EXIT_OK
    for path in paths:
        found, info = _describe(path)
        status = max(status, found)
        if info is None:
            continue
        entries, bucket_chunks = _entries_and_buckets(path) if info.open_by is not None else (None, None)
        print(f"{path}:")
        print(f"  size            {info.size} bytes ({_human(info.size)}), {_human(info.disk_bytes)} on disk")
        print(f"  format version  {info.version}")
        print(f"  open by         {_open_by_text(info)} process(es) now")
        print(f"  entries         {'cannot be opened' if entries is None else entries}")
        if bucket_chunks is not None:
            print(f"  bucket chunks   {bucket_chunks} in use")
        if entries is None:
            status = max(status, EXIT_UNUSABLE)
    return status


def check(paths, progress=None):
    from corvana.quillmap import DamagedFileError, _check_file

    progress = progress if progress is not None else Progress(len(paths))
    status = EXIT_OK
    for done, path in enumerate(paths):
        progress.show(done, path)
        try:
            found = _check_file(os.fsencode(path))
        except DamagedFileError as error:
            progress.end()
            print(f"{path}: damaged: {error}")
            status = max(status, EXIT_DAMAGED_OR_REFUSED)
            continue
        except (OSError, ValueError, RuntimeError) as error:  # missing, not a memory file, another version
            progress.end()
            print(f"{path}: cannot be opened: {error}")
            status = max(status, EXIT_UNUSABLE)
            continue
        progress.end()
        if found["entries"] != found["element_count"]:
            print(f"{path}: damaged: {found['entries']} entries, but the count says {found['element_count']}")
            status = max(status, EXIT_DAMAGED_OR_REFUSED)
            continue
        print(f"{path}: sound: {found['entries']} entries in {found['buckets']} buckets, "
              f"{found['chunks_in_use']} chunks in use, {found['free_chunks']} free")
    progress.show(len(paths))
    progress.end()
    return status


def remove_files(paths, force):
    status = EXIT_OK
    for path in paths:
        found, info = _describe(path)
        if info is None:
            status = max(status, found)
            continue
        if info.open_by and not force:
            print(f"{path}: refused: {info.open_by} process(es) have it open (--force removes it anyway)")
            status = max(status, EXIT_DAMAGED_OR_REFUSED)
            continue
        try:
            os.unlink(path)
        except OSError as error:
            print(f"{path}: cannot be removed: {error.strerror or error}")
            status = max(status, EXIT_UNUSABLE)
            continue
        print(f"{path}: removed")
    return status


def _version():
    import corvana

    return corvana.__version__


def main(argv=None):
    parser = argparse.ArgumentParser(prog="corvana", description="Tools for corvana memory files.", epilog=EPILOG)
    parser.add_argument("--version", action="version", version=f"corvana {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    list_parser = commands.add_parser("list", help="list the memory files of a directory", epilog=EPILOG)
    list_parser.add_argument("directory", nargs="?", default=tempfile.gettempdir(), metavar="DIR",
                             help="the directory (default: %(default)s)")
    info_parser = commands.add_parser("info", help="show what a memory file holds", epilog=EPILOG)
    info_parser.add_argument("files", nargs="+", metavar="FILE")
    check_parser = commands.add_parser("check", help="check that memory files are sound (exit status 0)",
                                       epilog=EPILOG)
    check_parser.add_argument("files", nargs="+", metavar="FILE")
    remove_parser = commands.add_parser("rm", help="remove memory files (and no other file)", epilog=EPILOG)
    remove_parser.add_argument("files", nargs="+", metavar="FILE")
    remove_parser.add_argument("-f", "--force", action="store_true", help="remove files that processes have open")
    arguments = parser.parse_args(argv)
    if arguments.command == "list":
        return list_files(arguments.directory)
    if arguments.command == "info":
        return info_files(arguments.files)
    if arguments.command == "check":
        return check(arguments.files)
    return remove_files(arguments.files, arguments.force)


if __name__ == "__main__":
    sys.exit(main())

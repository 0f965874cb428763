"""The command line: python -m corvana check FILE [FILE ...]

check: opens each memory file as any process does and walks it (every bucket, entry page, string,
free list and cache) without changing an entry; prints what it found. Exit status: 0 when every
file is sound, 1 when one is damaged or its count disagrees with its entries, 2 when one cannot be
opened (missing, not a memory file, no permission)."""
import argparse
import sys


def check(paths):
    from corvana.quillmap import DamagedFileError, _check_file

    status = 0
    for path in paths:
        try:
            found = _check_file(path.encode() if isinstance(path, str) else path)
        except (OSError, ValueError) as error:
            print(f"{path}: cannot be opened: {error}")
            status = max(status, 2)
            continue
        except DamagedFileError as error:
            print(f"{path}: damaged: {error}")
            status = max(status, 1)
            continue
        except RuntimeError as error:  # refused when opened: not a memory file, another version
            print(f"{path}: cannot be opened: {error}")
            status = max(status, 2)
            continue
        if found["entries"] != found["element_count"]:
            print(f"{path}: damaged: {found['entries']} entries, but the count says {found['element_count']}")
            status = max(status, 1)
            continue
        print(f"{path}: sound: {found['entries']} entries in {found['buckets']} buckets, "
              f"{found['chunks_in_use']} chunks in use, {found['free_chunks']} free")
    return status


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvana", description="Tools for corvana memory files.")
    commands = parser.add_subparsers(dest="command", required=True)
    check_parser = commands.add_parser("check", help="check that memory files are sound (exit status 0)")
    check_parser.add_argument("files", nargs="+", metavar="FILE")
    arguments = parser.parse_args(argv)
    return check(arguments.files)


if __name__ == "__main__":
    sys.exit(main())

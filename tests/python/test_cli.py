"""The command line end to end, in a subprocess: list, info, check and rm, their exit statuses, and
the console script."""
import os
import shutil
import subprocess
import sys

import pytest

from corvana import SharedDict


def corvana(*arguments, env=None):
    return subprocess.run([sys.executable, "-m", "corvana", *arguments], capture_output=True, text=True,
                          timeout=120, env={**os.environ, **(env or {})})


@pytest.fixture
def directory(tmp_path):
    """A directory with two memory files (one of them open in this process, with 3 entries) and a
    file that is not one; the maps are made there through TMPDIR."""
    os.environ["TMPDIR"] = str(tmp_path)
    try:
        import tempfile
        tempfile.tempdir = None
        opened = SharedDict(size=1 << 22, bucket_chunk_size_exponent=4)
        opened.update(a=1, b=2, c=3)
        closed = SharedDict(size=1 << 22, bucket_chunk_size_exponent=4)
        closed.close()
    finally:
        del os.environ["TMPDIR"]
        tempfile.tempdir = None
    (tmp_path / "notes.txt").write_text("not a memory file\n" * 10)
    yield tmp_path, opened, closed
    opened.close()


def test_list_shows_every_memory_file_and_who_has_it_open(directory):
    where, opened, closed = directory
    done = corvana("list", str(where))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["FILE", "SIZE", "ON", "DISK", "VERSION", "ENTRIES", "OPEN", "BY"]
    rows = {line.split()[0]: line.split() for line in lines[1:]}
    assert set(rows) == {opened.name, closed.name}
    assert rows[opened.name][-3:] == ["6", "3", "1"] and rows[closed.name][-3:] == ["6", "0", "0"]


def test_info_check_and_their_failures(directory):
    where, opened, _ = directory
    done = corvana("info", opened.name)
    assert done.returncode == 0 and "entries         3" in done.stdout and "open by         1" in done.stdout
    done = corvana("check", opened.name)
    assert done.returncode == 0 and done.stdout.startswith(f"{opened.name}: sound: 3 entries")
    for command in ("info", "check"):
        done = corvana(command, opened.name, str(where / "notes.txt"), str(where / "missing"))
        assert done.returncode == 2, (command, done.stdout)


def test_damaged_header_words_make_counts_unknown_not_a_traceback(directory, tmp_path):
    where, opened, _ = directory
    data = bytearray(open(opened.name, "rb").read())
    damaged = tmp_path / "damaged"
    damaged.mkdir()
    # The heap's end, then the process table's lock base, set far out of the file.
    for at, word in ((24, 2**64 - 1), (None, 2**64 - 1)):
        copy = bytearray(data)
        if at is None:
            table = -(-(24 + int.from_bytes(data[24:32], "little")) // 4096) * 4096
            at = table + 24
        copy[at:at + 8] = word.to_bytes(8, "little")
        (damaged / f"mm-{len(list(damaged.iterdir()))}").write_bytes(copy)
    for command in (["list", str(damaged)], ["info", *map(str, damaged.iterdir())]):
        done = corvana(*command)
        assert "Traceback" not in done.stderr, done.stderr
        assert done.returncode in (0, 2), (command, done.stdout, done.stderr)


def test_rm_removes_only_memory_files_and_not_ones_in_use(directory):
    where, opened, closed = directory
    notes = where / "notes.txt"
    done = corvana("rm", str(notes), closed.name)
    assert done.returncode == 2 and notes.exists() and not os.path.exists(closed.name)
    assert f"{notes}: not a memory file" in done.stdout and f"{closed.name}: removed" in done.stdout
    done = corvana("rm", opened.name)
    assert done.returncode == 1 and "1 process(es) have it open" in done.stdout and os.path.exists(opened.name)
    done = corvana("rm", "--force", opened.name)
    assert done.returncode == 0 and not os.path.exists(opened.name)
    assert opened["a"] == 1  # a process that has it open keeps using it


def test_help_everywhere_and_usage_errors():
    for arguments in ([], ["list"], ["info"], ["check"], ["rm"]):
        done = corvana(*arguments, "--help")
        assert done.returncode == 0 and "exit status" in done.stdout, arguments
    assert corvana().returncode == 2 and corvana("frobnicate").returncode == 2
    assert corvana("--version").stdout.startswith("corvana ")


def test_the_console_script_is_installed():
    script = shutil.which("corvana", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("no console script beside this interpreter")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "list" in done.stdout and "check" in done.stdout


def test_the_progress_bar_is_drawn_only_on_a_terminal(directory, capsys):
    from corvana._cli import Progress

    class Terminal:
        written = ""

        def isatty(self):
            return True

        def write(self, text):
            self.written += text

        def flush(self):
            pass

    terminal = Terminal()
    progress = Progress(4, terminal)
    progress.show(2, "file")
    assert "[###############...............] 2/4 file" in terminal.written
    assert not Progress(4).is_shown or sys.stderr.isatty()
    assert not Progress(1, terminal).is_shown  # one file: nothing to show progress of

"""The exceptions that corvana raises beyond the built-in ones.

Each keeps the type and the text that callers of quillmap already catch and match (RuntimeError
"file status wrong with errno: 2", RuntimeError "mm:alloc: out of memory", NameError "name 'orjson'
is not defined") and adds the standard type a Python user would catch (FileNotFoundError,
MemoryError), with the details as attributes and, where Python has exception notes (3.11 and
later), as a note. corvana.quillmap raises them from its one translation of native failures; they
are exported by corvana.quillmap and corvana.
"""
import errno as _errno
import os

__all__ = ["MemoryFileError", "MemoryFileNotFoundError", "MemoryFilePermissionError", "MapFullError",
           "SerializerNotInstalledError", "LockTimeoutError", "ProcessSlotsFullError", "RedisConnectionError",
           "RedisTimeoutError", "RedisCommandError"]

# The extra of the package that installs each optional serializer.
SERIALIZER_EXTRAS = {"orjson": "orjson", "msgpack": "msgpack", "msgspec": "msgspec"}


def _add_note(error, text):
    if hasattr(error, "add_note"):
        error.add_note(text)


def _rebuild(cls, message, details):
    return cls(message, **details)


class MemoryFileError(RuntimeError, OSError):
    """The memory file named by a map's name cannot be opened: the operating system refused to give
    its status. str() is the map's own text ("file status wrong with errno: N"); errno, strerror and
    filename say why and which file."""

    def __init__(self, message, errno=None, filename=None):
        super().__init__(message)
        self.errno = errno
        self.strerror = os.strerror(errno) if errno else None
        self.filename = filename
        if filename is not None and errno:
            _add_note(self, f"{filename!r}: {self.strerror}")

    def __str__(self):
        # OSError would rebuild the text from errno and filename; the map's text stays what it was.
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"errno": self.errno, "filename": self.filename})


class MemoryFileNotFoundError(MemoryFileError, FileNotFoundError):
    """No file lies at the map's name (errno ENOENT): it was never created there, or was unlinked."""

    def __init__(self, message, errno=_errno.ENOENT, filename=None):
        super().__init__(message, errno, filename)
        _add_note(self, "a map is opened by the name its creator's instance has (q.name); "
                        "create a new one with name=None")


class MemoryFilePermissionError(MemoryFileError, PermissionError):
    """The file at the map's name may not be read or written by this process (EACCES, EPERM)."""


def memory_file_error(message, errno, filename):
    """The MemoryFileError of the subclass that matches errno."""
    if errno == _errno.ENOENT:
        return MemoryFileNotFoundError(message, errno, filename)
    if errno in (_errno.EACCES, _errno.EPERM):
        return MemoryFilePermissionError(message, errno, filename)
    return MemoryFileError(message, errno, filename)


class MapFullError(RuntimeError, MemoryError):
    """The map's heap has no room for what was asked: at construction, `size` is too small for the
    bucket table asked for; later, the heap is full of entries. Nothing was changed. `parameter`
    names the constructor parameter to raise, `minimum` is the smallest value that works when it is
    known (else None) and `requested` the value that was given (None when not known)."""

    def __init__(self, message, parameter="size", minimum=None, requested=None):
        super().__init__(message)
        self.parameter = parameter
        self.minimum = minimum
        self.requested = requested
        if minimum is not None:
            _add_note(self, f"{parameter}={requested} is too small for the buckets asked for: an empty map needs "
                            f"{parameter}={minimum} or more (or give a smaller bucket_chunk_size_exponent or "
                            f"bucket_chunk_number)")
        else:
            _add_note(self, f"the map's heap is full: remove entries, or make the map with a larger {parameter}")

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"parameter": self.parameter, "minimum": self.minimum,
                                                  "requested": self.requested})


class LockTimeoutError(TimeoutError):
    """An operation waited longer than the map's lock_timeout for a lock that a live process holds
    (a process that is stopped, or slow). Nothing was changed by the operation; the holder keeps its
    lock, and a later operation waits for it again."""

    def __str__(self):
        # TimeoutError would rebuild the text from errno and strerror; the text stays what it was.
        return str(self.args[0]) if self.args else ""


class SerializerNotInstalledError(NameError):
    """The serializer chosen by name is a package that was not importable when corvana.quillmap was
    loaded. str() is "name 'orjson' is not defined", as for any unbound name; `name` is the
    package, `extra` the extra of corvana that installs it and `hint` the command that does.

    It cannot also be an ImportError: NameError and ImportError have instance layouts of their own
    that one class cannot combine."""

    def __init__(self, message, name=None):
        super().__init__(message)
        self.name = name
        self.extra = SERIALIZER_EXTRAS.get(name)
        self.hint = f"pip install 'corvana[{self.extra}]'" if self.extra else None
        if self.hint:
            _add_note(self, f"the serializer {name!r} is not installed; install it with: {self.hint}")

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"name": self.name})


class ProcessSlotsFullError(RuntimeError, OSError):
    """The memory file cannot be opened once more: every one of its `slot_count` process slots is
    held by a map that is open now. Each open of the file (every quillmap or SharedDict made with
    its name, in any process) holds a slot until it is closed; the slots of processes that died are
    reused. str() is the map's own text ("cannot open 'NAME': ... every process slot of the memory
    file is in use ..."); errno is EBUSY and filename names the file."""

    def __init__(self, message, errno=_errno.EBUSY, filename=None, slot_count=None):
        super().__init__(message)
        self.errno = errno
        self.strerror = os.strerror(errno) if errno else None
        self.filename = filename
        self.slot_count = slot_count
        _add_note(self, f"every one of the {slot_count or 'process'} slots of the memory file is held by a map "
                        "that is open now: close maps that are no longer used (each open holds one)")

    def __str__(self):
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"errno": self.errno, "filename": self.filename,
                                                  "slot_count": self.slot_count})


class RedisConnectionError(ConnectionError):
    """A RedisDict could not reach its server, or lost the connection during `command` (a change
    then may or may not have been made). `url` is the server's URL without its password. The next
    operation connects anew."""

    def __init__(self, message, url=None, command=None):
        super().__init__(message)
        self.url = url
        self.command = command

    def __str__(self):
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"url": self.url, "command": self.command})


class RedisTimeoutError(RedisConnectionError, TimeoutError):
    """The Redis server did not answer `command` within the socket timeout (a change then may or may
    not have been made)."""


class RedisCommandError(RuntimeError):
    """The Redis server refused `command` on the key `key` of a RedisDict: the key holds another
    type than a hash, the user may not run the command (an ACL, scripts turned off), the server is
    out of memory or read-only. `url` is the server's URL without its password."""

    def __init__(self, message, url=None, command=None, key=None):
        super().__init__(message)
        self.url = url
        self.command = command
        self.key = key

    def __reduce__(self):
        return _rebuild, (type(self), str(self), {"url": self.url, "command": self.command, "key": self.key})

"""corvana: a dictionary shared by many processes on one machine, held in a memory-mapped file.

``corvana.SharedDict`` is the shared dictionary as a ``collections.abc.MutableMapping`` (it pickles
by name, so it can be handed to worker processes); ``corvana.quillmap.quillmap`` is the class it
builds on. ``corvana.RedisDict`` is the same dictionary kept on a Redis server, for work that spans
machines (it needs ``pip install 'corvana[redis]'``). See the README for their use, and
``python -m corvana --help`` for the command line.

Importing ``corvana`` loads nothing else: the names below are loaded when first used.
"""

__all__ = ["SharedDict", "RedisDict", "DamagedFileError", "MemoryFileError", "MemoryFileNotFoundError",
           "MemoryFilePermissionError", "MapFullError", "SerializerNotInstalledError", "LockTimeoutError",
           "ProcessSlotsFullError", "RedisConnectionError", "RedisTimeoutError", "RedisCommandError", "__version__"]

# corvana.quillmap itself is the extension module (the class is corvana.quillmap.quillmap).
_FROM_QUILLMAP = ("DamagedFileError", "MemoryFileError", "MemoryFileNotFoundError",
                  "MemoryFilePermissionError", "MapFullError", "SerializerNotInstalledError", "LockTimeoutError",
                  "ProcessSlotsFullError")
# corvana.redis_dict loads the redis client only when the first RedisDict is made.
_FROM_REDIS_DICT = ("RedisDict", "RedisConnectionError", "RedisTimeoutError", "RedisCommandError")


def _version():
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - every supported Python has importlib.metadata
        return "0+unknown"
    try:
        return version("corvana")
    except PackageNotFoundError:  # run from a source tree or a copy that was not installed
        return "0+unknown"


def __getattr__(name):
    if name == "SharedDict":
        from corvana.shared_dict import SharedDict as value
    elif name in _FROM_REDIS_DICT:
        from corvana import redis_dict as module

        value = getattr(module, name)
    elif name in _FROM_QUILLMAP:
        from corvana import quillmap as module

        value = getattr(module, name)
    elif name == "__version__":
        value = _version()
    else:
        raise AttributeError(f"module 'corvana' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))

"""corvana: a dictionary shared by many processes on one machine, held in a memory-mapped file.

``corvana.SharedDict`` is the shared dictionary as a ``collections.abc.MutableMapping`` (it pickles
by name, so it can be handed to worker processes); ``corvana.quillmap.quillmap`` is the class it
builds on. See the README for their use, and ``python -m corvana --help`` for the command line.

Importing ``corvana`` loads nothing else: the names below are loaded when first used.
"""

__all__ = ["SharedDict", "DamagedFileError", "MemoryFileError", "MemoryFileNotFoundError",
           "MemoryFilePermissionError", "MapFullError", "SerializerNotInstalledError", "ProcessSlotsFullError",
           "__version__"]

# corvana.quillmap itself is the extension module (the class is corvana.quillmap.quillmap).
_FROM_QUILLMAP = ("DamagedFileError", "MemoryFileError", "MemoryFileNotFoundError",
                  "MemoryFilePermissionError", "MapFullError", "SerializerNotInstalledError", "ProcessSlotsFullError")


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

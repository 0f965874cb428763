"""The exceptions that corvana raises beyond the built-in ones."""
from typing import Optional

class MemoryFileError(RuntimeError, OSError):
    def __init__(self, message: str, errno: Optional[int] = ..., filename: Optional[str] = ...) -> None: ...

class MemoryFileNotFoundError(MemoryFileError, FileNotFoundError): ...
class MemoryFilePermissionError(MemoryFileError, PermissionError): ...

class MapFullError(RuntimeError, MemoryError):
    parameter: str
    minimum: Optional[int]
    requested: Optional[int]
    def __init__(self, message: str, parameter: str = ..., minimum: Optional[int] = ...,
                 requested: Optional[int] = ...) -> None: ...

class SerializerNotInstalledError(NameError):
    name: Optional[str]
    extra: Optional[str]
    hint: Optional[str]
    def __init__(self, message: str, name: Optional[str] = ...) -> None: ...

class ProcessSlotsFullError(RuntimeError, OSError):
    slot_count: Optional[int]
    def __init__(self, message: str, errno: Optional[int] = ..., filename: Optional[str] = ...,
                 slot_count: Optional[int] = ...) -> None: ...

class LockTimeoutError(TimeoutError): ...

class RedisConnectionError(ConnectionError):
    url: Optional[str]
    command: Optional[str]
    def __init__(self, message: str, url: Optional[str] = ..., command: Optional[str] = ...) -> None: ...

class RedisTimeoutError(RedisConnectionError, TimeoutError): ...

class RedisCommandError(RuntimeError):
    url: Optional[str]
    command: Optional[str]
    key: Optional[str]
    def __init__(self, message: str, url: Optional[str] = ..., command: Optional[str] = ...,
                 key: Optional[str] = ...) -> None: ...

"""Base class of the shared dictionary of corvana and its key hashing."""
from typing import Any, Callable, Optional

class pellrook:
    @property
    def name(self) -> Optional[bytes]: ...
    def __init__(self, hash_function: Callable[[Any], int]) -> None: ...

"""corvana: a dictionary shared by many processes on one machine, held in a memory-mapped file."""
from corvana._exceptions import LockTimeoutError as LockTimeoutError
from corvana._exceptions import MapFullError as MapFullError
from corvana._exceptions import MemoryFileError as MemoryFileError
from corvana._exceptions import MemoryFileNotFoundError as MemoryFileNotFoundError
from corvana._exceptions import MemoryFilePermissionError as MemoryFilePermissionError
from corvana._exceptions import ProcessSlotsFullError as ProcessSlotsFullError
from corvana._exceptions import RedisCommandError as RedisCommandError
from corvana._exceptions import RedisConnectionError as RedisConnectionError
from corvana._exceptions import RedisTimeoutError as RedisTimeoutError
from corvana._exceptions import SerializerNotInstalledError as SerializerNotInstalledError
from corvana.quillmap import DamagedFileError as DamagedFileError
from corvana.redis_dict import RedisDict as RedisDict
from corvana.shared_dict import SharedDict as SharedDict

__version__: str

"""RedisDict: SharedDict's dictionary kept on a Redis server, for work that spans machines.

A RedisDict keeps one map in one Redis hash, the Redis key `name`: an entry is a field of the hash
(the serialized key) holding the serialized value, with SharedDict's serializers, so a key is the
same key on both backends: keys are equal when their serialized bytes are. len() is HLEN (O(1));
iteration walks the hash with the server's cursor (HSCAN), weakly consistent as a walk of a memory
file is. Each operation on one key is one command or one server-side script, so each is atomic:
setdefault, pop, popitem and compare_and_set are scripts, and add retries a compare_and_set until
no other change came between its read and its write.

It needs the redis client (`pip install 'corvana[redis]'`), imported when the first RedisDict is
made: importing this module loads nothing but the standard library. A RedisDict pickles by URL,
name, serializer and connection options, so worker processes (any start method, any machine that
reaches the server) reconnect to the same map.

Failures of the server reach the caller as corvana's errors, translated in one place (the client's
execute_command): RedisConnectionError (a ConnectionError naming the URL, its password hidden) or
RedisTimeoutError when the server cannot be reached or does not answer in time, RedisCommandError
when it refuses a command (naming the command and the key). A command is never sent twice: when the
connection breaks while a command is under way, that operation raises (the change may or may not
have been made) and the next operation connects anew.
"""
import functools
import importlib
import pickle
import uuid
from collections.abc import MutableMapping
from urllib.parse import parse_qsl, urlencode, urlsplit

from corvana._exceptions import RedisCommandError, RedisConnectionError, RedisTimeoutError, \
    SerializerNotInstalledError
from corvana._mapping_views import WalkedMapping

__all__ = ["RedisDict", "RedisConnectionError", "RedisTimeoutError", "RedisCommandError"]

SERIALIZERS = ("pickle", "orjson", "msgpack", "msgspec", "json")
SCHEMES = ("redis", "rediss", "unix")
# The default pickle protocol of every supported Python: machines on different versions of Python
# store the same bytes for the same key.
PICKLE_PROTOCOL = 4
# Seconds to wait for a connection and for each answer: no operation waits for ever on a server
# that stopped answering. A URL's query (?socket_timeout=...) or the keyword options override them.
DEFAULT_OPTIONS = {"socket_timeout": 10.0, "socket_connect_timeout": 5.0}
SCAN_COUNT = 1000  # entries asked for per step of a walk
UPDATE_BATCH = 1000  # entries per HSET of update()
EXTRA_HINT = "pip install 'corvana[redis]'"

_MISSING = object()
# Keys the built-in hash never refuses; any other key is asked, so that a list key raises TypeError.
_SURELY_HASHABLE = frozenset({str, int, bytes, float, bool, type(None)})

# KEYS[1] is the map's hash, ARGV[1] the serialized key. A script runs alone on the server, so
# each is one atomic step for every other client.
_SCRIPTS = {
    # Stores ARGV[2] when the key is absent (answers nil), else answers the stored value.
    "setdefault": """
        local stored = redis.call('HGET', KEYS[1], ARGV[1])
        if stored then return stored end
        redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
        return false""",
    # Removes the key and answers its value, or nil when absent.
    "pop": """
        local stored = redis.call('HGET', KEYS[1], ARGV[1])
        if stored then redis.call('HDEL', KEYS[1], ARGV[1]) end
        return stored""",
    # Removes some entry and answers {key, value}, or nil when the map is empty.
    "popitem": """
        local field = redis.call('HRANDFIELD', KEYS[1])
        if not field then return false end
        local stored = redis.call('HGET', KEYS[1], field)
        redis.call('HDEL', KEYS[1], field)
        return {field, stored}""",
    # Stores ARGV[3] only when the stored value's bytes equal ARGV[2]; answers 1 when it did.
    "compare_and_set": """
        if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then
            redis.call('HSET', KEYS[1], ARGV[1], ARGV[3])
            return 1
        end
        return 0""",
}


def _key_dumps(serializer):
    """The key's serialization of a SharedDict with that serializer: the same bytes for equal keys
    in every process (a frozenset in one order whatever the hash seed), so a key is the same field
    from every machine and the same key on both backends."""
    from corvana.quillmap import _serialize_key

    return functools.partial(_serialize_key, serializer=serializer)


def _codec(serializer):
    """(dumps, loads) of the serializer called `serializer`: the functions SharedDict uses."""
    if serializer not in SERIALIZERS:
        raise ValueError(f"serializer must be one of {', '.join(map(repr, SERIALIZERS))}, not {serializer!r}")
    if serializer == "pickle":
        return functools.partial(pickle.dumps, protocol=PICKLE_PROTOCOL), pickle.loads
    if serializer == "json":
        from corvana import _json_codec

        return _json_codec.dumps, _json_codec.loads
    try:
        module = importlib.import_module("msgspec.json" if serializer == "msgspec" else serializer)
    except ImportError:
        raise SerializerNotInstalledError(f"name {serializer!r} is not defined", name=serializer) from None
    if serializer == "msgspec":
        return module.encode, module.decode
    return module.dumps, module.loads


def shown_url(url):
    """The URL without its password (in the user part or in the query), for messages and repr."""
    parts = urlsplit(url)
    shown = url
    if parts.password is not None:
        host = parts.netloc.rpartition("@")[2]
        shown = shown.replace(parts.netloc, f"{parts.username or ''}:***@{host}", 1)
    pairs = parse_qsl(parts.query, keep_blank_values=True)
    if any(name == "password" for name, _ in pairs):
        hidden = urlencode([(name, "***" if name == "password" else value) for name, value in pairs], safe="*")
        shown = shown.replace(f"?{parts.query}", f"?{hidden}", 1)
    return shown


def _check_url(url):
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    if urlsplit(url).scheme not in SCHEMES:
        raise ValueError(f"url must start with redis://, rediss:// or unix://, not {shown_url(url)!r}")


def _import_redis():
    try:
        import redis
    except ImportError as error:
        raise ModuleNotFoundError(f"RedisDict needs the redis client, which is not installed: {EXTRA_HINT}",
                                  name="redis") from error
    return redis


def _translated(error, url, command, key):
    """corvana's error for a failure of the redis client during `command` on `key`."""
    from redis import exceptions

    if isinstance(error, exceptions.TimeoutError):
        return RedisTimeoutError(f"the Redis server at {url} did not answer {command} in time ({error})", url,
                                 command)
    if isinstance(error, exceptions.ConnectionError):
        return RedisConnectionError(f"cannot reach the Redis server at {url} ({command}: {error})", url, command)
    if str(error).startswith("WRONGTYPE"):
        return RedisCommandError(f"the Redis key {key!r} at {url} holds another type than a hash, so it is no "
                                 f"RedisDict's map ({command}: {error})", url, command, key)
    return RedisCommandError(f"the Redis server at {url} refused {command} on the key {key!r}: {error}", url,
                             command, key)


@functools.lru_cache(maxsize=None)
def _client_type(redis):
    """redis.Redis, with every command's failure translated into corvana's errors."""

    class Client(redis.Redis):
        corvana_url = corvana_key = ""
        corvana_scripts = {}  # script digest -> the RedisDict method it serves

        def execute_command(self, *args, **options):
            try:
                return super().execute_command(*args, **options)
            except redis.exceptions.NoScriptError:
                raise  # the client loads the script (the server lost it in a restart) and runs it again
            except redis.exceptions.RedisError as error:
                command = str(args[0]) if args else "?"
                if command.upper() == "EVALSHA" and len(args) > 1:
                    command = f"EVALSHA (the script of {self.corvana_scripts.get(args[1], '?')})"
                raise _translated(error, self.corvana_url, command, self.corvana_key) from error

    return Client


class _Closed:
    """The client of a closed RedisDict: every use raises."""

    __slots__ = ()

    def __getattr__(self, attribute):
        raise RuntimeError("this RedisDict is closed")


_CLOSED = _Closed()


class _Walk:
    """An iterator over the entries of the hash, walked with the server's cursor (HSCAN) a step of
    up to SCAN_COUNT entries at a time; never locks the map. Weakly consistent: every key present
    and unchanged for the whole walk is returned, and no key twice (the cursor itself may return a
    key again while the server resizes the hash, so a walk of more than one step remembers the
    keys it returned). An entry that cannot be loaded raises from next() for that entry alone."""

    __slots__ = ("_mapping", "_kind", "_cursor", "_pending", "_seen", "_is_last_step")

    def __init__(self, mapping, kind):
        if mapping._client is _CLOSED:
            raise RuntimeError("this RedisDict is closed")
        self._mapping, self._kind = mapping, kind
        self._cursor = 0
        self._pending = iter(())
        self._seen = None
        self._is_last_step = False

    def __iter__(self):
        return self

    def __next__(self):
        while True:
            for field, stored in self._pending:
                if self._seen is not None:
                    if field in self._seen:
                        continue
                    self._seen.add(field)
                loads = self._mapping._loads
                if self._kind == "keys":
                    return loads(field)
                if self._kind == "values":
                    return loads(stored)
                return loads(field), loads(stored)
            if self._is_last_step:
                raise StopIteration
            mapping = self._mapping
            self._cursor, batch = mapping._client.hscan(mapping._name, self._cursor, count=SCAN_COUNT)
            self._is_last_step = self._cursor == 0
            if self._seen is None and not self._is_last_step:
                self._seen = set()
            self._pending = iter(batch.items())


def _reopen(url, name, serializer, options):
    """Unpickles a RedisDict: connects to the same server and map."""
    return RedisDict(url, name, serializer=serializer, **options)


class RedisDict(WalkedMapping, MutableMapping):
    """RedisDict(url, name=None, *, serializer="pickle", **options)

    A dict whose entries every process on every machine that reaches one Redis server shares, kept
    in the hash `name` of the server at `url` ("redis://host:6379/0", "rediss://..." for TLS,
    "unix:///path/redis.sock?db=0"). With no name it makes a new, unique one (the map then exists
    once something is stored). Every process must use the same serializer ("pickle", "orjson",
    "msgpack", "msgspec" or "json"). `options` go to the redis client's connection pool
    (password, username, socket_timeout, health_check_interval, ...); by default it waits
    5 s for a connection and 10 s for an answer, and never sends a command twice.
    """

    __slots__ = ("_url", "_name", "_serializer", "_options", "_dumps", "_loads", "_key_dumps", "_client",
                 "_scripts")

    def __init__(self, url, name=None, *, serializer="pickle", **options):
        _check_url(url)
        if name is None:
            name = f"corvana:{uuid.uuid4().hex}"
        elif not isinstance(name, str):
            raise TypeError(f"name must be a str or None, not {type(name).__name__}")
        elif not name:
            raise ValueError("name must not be empty: give None to make a new map")
        self._dumps, self._loads = _codec(serializer)
        self._key_dumps = _key_dumps(serializer)
        self._url, self._name, self._serializer, self._options = url, name, serializer, dict(options)
        self._client = _CLOSED
        redis = _import_redis()
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        pool = redis.ConnectionPool.from_url(url, **{**DEFAULT_OPTIONS, "retry": Retry(NoBackoff(), 0), **options})
        if pool.connection_kwargs.get("decode_responses"):
            raise ValueError("decode_responses must stay off: a RedisDict stores and reads bytes")
        client = _client_type(redis)(connection_pool=pool)
        client.corvana_url, client.corvana_key = shown_url(url), name
        self._scripts = {method: client.register_script(text) for method, text in _SCRIPTS.items()}
        client.corvana_scripts = {script.sha: method for method, script in self._scripts.items()}
        try:
            kind = client.type(name)
        except BaseException:
            pool.disconnect()
            raise
        if kind not in (b"hash", b"none"):
            pool.disconnect()
            raise RedisCommandError(f"the Redis key {name!r} at {shown_url(url)} holds a {kind.decode()}, not the "
                                    f"hash of a RedisDict's map", shown_url(url), "TYPE", name)
        self._client = client

    # ---------------------------------------------------------------------------------------------
    # One key

    def _key(self, key, *values):
        """The serialized key (and values), serialized in SharedDict's order and refused as it
        refuses them: the key, the values, then whether the key is hashable."""
        field = self._key_dumps(key)
        serialized = [self._dumps(value) for value in values]
        if type(key) not in _SURELY_HASHABLE:
            hash(key)
        return field, *serialized

    def _run(self, method, *args):
        """Runs the script that serves `method` on the map's hash."""
        return self._scripts[method](keys=(self._name,), args=args, client=self._client)

    def _load_or_put_back(self, stored, field, key_bytes=None):
        """loads(stored), or when it raises: the entry goes back (unless the key was stored again
        meanwhile), so that an operation that removed it and raises loses nothing."""
        try:
            if key_bytes is not None:
                return self._loads(key_bytes), self._loads(stored)
            return self._loads(stored)
        except BaseException:
            self._client.hsetnx(self._name, field, stored)
            raise

    def __getitem__(self, key):
        stored = self._client.hget(self._name, self._key(key)[0])
        if stored is None:
            raise KeyError(key)
        return self._loads(stored)

    def __setitem__(self, key, value):
        field, serialized = self._key(key, value)
        self._client.hset(self._name, field, serialized)

    def __delitem__(self, key):
        if not self._client.hdel(self._name, self._key(key)[0]):
            raise KeyError(key)

    def __contains__(self, key):
        return bool(self._client.hexists(self._name, self._key(key)[0]))

    def get(self, key, default=None):
        """dict.get: the value, or default when the key is absent (one command)."""
        stored = self._client.hget(self._name, self._key(key)[0])
        return default if stored is None else self._loads(stored)

    def setdefault(self, key, default=None):
        """Stores default only when the key is absent, and returns the stored value. Atomic: of
        several processes calling it for one key at once, exactly one stores its default."""
        field, serialized = self._key(key, default)
        stored = self._run("setdefault", field, serialized)
        return default if stored is None else self._loads(stored)

    def pop(self, key, default=_MISSING):
        """Removes the key and returns its value; default (or KeyError) when absent. Atomic."""
        field = self._key(key)[0]
        stored = self._run("pop", field)
        if stored is None:
            if default is _MISSING:
                raise KeyError(key)
            return default
        return self._load_or_put_back(stored, field)

    def popitem(self):
        """Removes and returns some (key, value) pair; KeyError when the map is empty. Atomic: of
        several processes popping at once, each gets a pair of its own."""
        found = self._run("popitem")
        if found is None:
            raise KeyError("popitem(): dictionary is empty")
        field, stored = found
        return self._load_or_put_back(stored, field, key_bytes=field)

    def compare_and_set(self, key, expected, new):
        """Stores new only when the stored value's serialized bytes equal expected's; True when it
        did. An absent key gives False. Atomic."""
        field, expected_bytes, new_bytes = self._key(key, expected, new)
        return self._run("compare_and_set", field, expected_bytes, new_bytes) == 1

    def add(self, key, delta=1):
        """Adds the int delta to the key's int value (an absent key counts as 0) and returns the
        sum. No update is lost: it retries until no other change came between its read and its write."""
        if not isinstance(delta, int):
            raise TypeError(f"add() needs an int delta, not {type(delta).__name__}")
        field = self._key(key)[0]
        while True:
            expected = self._client.hget(self._name, field)
            if expected is None:
                if self._client.hsetnx(self._name, field, self._dumps(delta)):
                    return delta
                continue  # another process stored the key first: add to its value
            current = self._loads(expected)
            if not isinstance(current, int):
                raise TypeError(f"add() works on int values; the value stored for this key is "
                                f"{type(current).__name__}")
            total = current + delta
            if self._run("compare_and_set", field, expected, self._dumps(total)) == 1:
                return total

    # ---------------------------------------------------------------------------------------------
    # The whole map

    def __len__(self):
        return self._client.hlen(self._name)

    def __iter__(self):
        return _Walk(self, "keys")

    def _keys_walk(self):
        return _Walk(self, "keys")

    def _values_walk(self):
        return _Walk(self, "values")

    def _items_walk(self):
        return _Walk(self, "items")

    def update(self, other=(), /, **kwargs):
        """dict.update, sent UPDATE_BATCH entries per command. When a key or value cannot be
        serialized, the entries before it are stored and the error is raised."""
        if hasattr(other, "keys"):  # a Mapping, or what has keys() and []
            pairs = ((key, other[key]) for key in other.keys())
        else:
            pairs = other
        batch = {}
        try:
            for pairs_now in (pairs, kwargs.items()):
                for key, value in pairs_now:
                    field, serialized = self._key(key, value)
                    batch[field] = serialized
                    if len(batch) == UPDATE_BATCH:
                        sending, batch = batch, {}
                        self._client.hset(self._name, mapping=sending)
        finally:
            if batch:
                self._client.hset(self._name, mapping=batch)

    def clear(self):
        """Removes every entry at once: the server drops the map's hash (UNLINK frees it in the
        background)."""
        self._client.unlink(self._name)

    def unlink(self):
        """Removes the map from the server, as clear() does: every client then finds it empty."""
        self.clear()

    # ---------------------------------------------------------------------------------------------
    # Lifetime

    @property
    def name(self):
        """The Redis key of the map's hash: hand it to other processes, or pickle the RedisDict."""
        return self._name

    @property
    def url(self):
        """The URL of the server, as given (with its password, if it has one)."""
        return self._url

    def close(self):
        """Drops this instance's connections; later operations raise RuntimeError. The map stays on
        the server. Closing twice is fine."""
        client, self._client = self._client, _CLOSED
        if client is not _CLOSED:
            client.connection_pool.disconnect()

    def __enter__(self):
        if self._client is _CLOSED:
            raise RuntimeError("this RedisDict is closed")
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.close()
        return False

    def __repr__(self):
        closed = ", closed" if self._client is _CLOSED else ""
        return f"{type(self).__name__}({shown_url(self._url)!r}, name={self._name!r}{closed})"

    def __reduce__(self):
        if self._client is _CLOSED:
            raise pickle.PicklingError("cannot pickle a closed RedisDict")
        return _reopen, (self._url, self._name, self._serializer, self._options)

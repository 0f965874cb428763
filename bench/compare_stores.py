"""The contenders of bench/compare.py: every store that users pick today to share a dictionary
between processes, behind one small interface.

A `Contender` makes its store in the trial process (`create`), hands a working handle to a forked
child (`open_in_child`), reports its footprint and removes every file and server it made
(`destroy`). A `Store` is one process's handle with the four timed loops. The loops are written
out per store, with the bound methods looked up once, so that each measures the store and not the
harness. Values go through `pickle` wherever a store only takes bytes, as the default quillmap
does; `plain dict` keeps the objects themselves and `serialization floor` only serializes.
"""
import importlib.util
import os
import pickle
import shutil
import subprocess
import tempfile
import time

# Operations per transaction of the batched LMDB contender.
LMDB_BATCH = 1000
# Room for every workload: the stores are sparse files or grow on demand.
QUILLMAP_SIZE = 512 * 1024 * 1024
LMDB_MAP_SIZE = 4 * 1024 * 1024 * 1024
ULTRADICT_BUFFER = 256 * 1024 * 1024
SHARED_MEMORY_DICT_SIZE = 512 * 1024  # room for its 1,000 keys: it copies the whole segment per op


class Skip(Exception):
    """The contender cannot run here (not installed, or cannot store the workload)."""


def require(*modules, install):
    """Raises Skip naming what to install when one of `modules` cannot be imported."""
    missing = [module for module in modules if importlib.util.find_spec(module) is None]
    if missing:
        raise Skip(f"{', '.join(missing)} not installed ({install})")


def resident_kib(pid="self"):
    """Resident set size of a process in KiB, from /proc (0 where unreadable)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def file_footprint(paths):
    """(apparent bytes, allocated bytes) of the existing files among `paths`."""
    apparent = allocated = 0
    for path in paths:
        try:
            status = os.stat(path)
        except OSError:
            continue
        apparent += status.st_size
        allocated += status.st_blocks * 512
    return apparent, allocated


class Store:
    """One process's handle on a contender's store. Keys and values are Python objects."""

    def prepare(self, workload):
        """Called before the timed phases with this process's part of the workload."""

    def insert(self, keys, values):
        raise NotImplementedError

    def get(self, keys):
        raise NotImplementedError

    def replace(self, keys, values):
        self.insert(keys, values)

    def remove(self, keys):
        raise NotImplementedError

    def fetch(self, key):
        """(found, value) for the checks between phases; never timed."""
        raise NotImplementedError

    def close(self):
        pass


class Contender:
    """A kind of store. `max_keys` caps N for stores that would take minutes at the full N."""

    name = "?"
    note = ""
    max_keys = None
    shared = True  # False: the two-process run does not apply (nothing is shared)

    def check(self, sample_key, sample_value):
        """Raises Skip with a message when the contender cannot run or cannot store the sample."""

    def create(self, directory):
        """Makes a new empty store for this trial; returns the trial process's Store."""
        raise NotImplementedError

    def open_in_child(self):
        """A Store for a child forked after `create` (and after `before_fork`)."""
        raise NotImplementedError

    def before_fork(self):
        """Releases what a forked child must not inherit in use (database environments)."""

    def server_pids(self):
        return []

    def files(self):
        return []

    def destroy(self):
        """Removes every file and stops every server that `create` made."""


# ------------------------------------------------------------------------------------------------
# quillmap


class QuillmapStore(Store):
    def __init__(self, shared):
        self.shared = shared

    def insert(self, keys, values):
        insert = self.shared.insert
        for key, value in zip(keys, values):
            insert(key, value)

    def get(self, keys):
        get = self.shared.get
        for key in keys:
            get(key)

    def remove(self, keys):
        remove = self.shared.remove
        for key in keys:
            remove(key)

    def fetch(self, key):
        found = self.shared.get(key)
        return (True, found[1]) if found[0] else (False, None)


class Quillmap(Contender):
    # 2**14 buckets per bucket chunk: the map starts small and doubles as it fills (twice for
    # 100,000 keys), as the other stores grow while they are filled.
    parameters = dict(size=QUILLMAP_SIZE, bucket_chunk_size_exponent=14, bucket_chunk_number=256)

    def __init__(self, serializer):
        self.serializer = serializer
        self.name = f"quillmap[{serializer}]"
        self.note = "2^14 buckets per chunk, grows by itself"
        self.shared_map = None

    def check(self, sample_key, sample_value):
        try:
            from corvana.quillmap import quillmap
        except ImportError as error:
            raise Skip(f"corvana is not installed ({error})")
        probe = None
        try:
            probe = quillmap(size=16 * 1024 * 1024, bucket_chunk_size_exponent=4, serializer=self.serializer)
            probe.insert(sample_key, sample_value)
            found = probe.get(sample_key)
        except Exception as error:
            raise Skip(f"cannot store the workload with {self.serializer}: {type(error).__name__}: {error}")
        finally:
            if probe is not None:
                os.unlink(probe.name)
        if found != [True, sample_value]:
            raise Skip(f"{self.serializer} does not give the workload back unchanged: {found!r}")

    def create(self, directory):
        from corvana.quillmap import quillmap

        os.environ["TMPDIR"] = directory  # a new map's memory file goes to the temporary directory
        self.shared_map = quillmap(serializer=self.serializer, **self.parameters)
        return QuillmapStore(self.shared_map)

    def open_in_child(self):
        from corvana.quillmap import quillmap

        # Every process opens the map by its name and uses its own object.
        return QuillmapStore(quillmap(self.shared_map.name, serializer=self.serializer))

    def files(self):
        return [self.shared_map.name] if self.shared_map is not None else []

    def destroy(self):
        if self.shared_map is not None:
            try:
                os.unlink(self.shared_map.name)
            except FileNotFoundError:
                pass
            self.shared_map = None


# ------------------------------------------------------------------------------------------------
# references: a plain dict and the serialization floor


class DictStore(Store):
    def __init__(self):
        self.data = {}

    def insert(self, keys, values):
        data = self.data
        for key, value in zip(keys, values):
            data[key] = value

    def get(self, keys):
        data = self.data
        for key in keys:
            data[key]

    def remove(self, keys):
        data = self.data
        for key in keys:
            del data[key]

    def fetch(self, key):
        return (key in self.data, self.data.get(key))


class PlainDict(Contender):
    name = "plain dict"
    note = "one process, no sharing, no serialization"
    shared = False

    def create(self, directory):
        return DictStore()


class FloorStore(Store):
    """What any serializing store must do at least: dumps of the key, plus dumps of the value
    (insert, replace) or loads of the stored value (get). It stores nothing."""

    def __init__(self):
        self.value_bytes = []
        self.expected = {}

    def prepare(self, workload):
        # The bytes that a get would find, in the order of the get phase.
        by_key = {key: pickle.dumps(value) for key, value in zip(workload.keys, workload.values)}
        self.value_bytes = [by_key[key] for key in workload.get_order]

    def insert(self, keys, values):
        dumps = pickle.dumps
        for key, value in zip(keys, values):
            dumps(key)
            dumps(value)

    def get(self, keys):
        dumps, loads = pickle.dumps, pickle.loads
        for key, data in zip(keys, self.value_bytes):
            dumps(key)
            loads(data)

    def remove(self, keys):
        dumps = pickle.dumps
        for key in keys:
            dumps(key)

    def fetch(self, key):
        return None  # stores nothing: the checks are skipped


class SerializationFloor(Contender):
    name = "serialization floor"
    note = "pickle dumps/loads only, stores nothing"

    def create(self, directory):
        return FloorStore()

    def open_in_child(self):
        return FloorStore()


# ------------------------------------------------------------------------------------------------
# multiprocessing.Manager().dict()


class ManagerStore(DictStore):
    def __init__(self, proxy):
        self.data = proxy

    def fetch(self, key):
        try:
            return (True, self.data[key])
        except KeyError:
            return (False, None)


class ManagerDict(Contender):
    name = "Manager().dict()"
    note = "a server process, one round trip per operation"
    max_keys = 10_000

    def __init__(self):
        self.manager = None
        self.proxy = None

    def create(self, directory):
        import multiprocessing

        self.manager = multiprocessing.get_context("fork").Manager()
        self.proxy = self.manager.dict()
        return ManagerStore(self.proxy)

    def open_in_child(self):
        return ManagerStore(self.proxy)  # a forked proxy opens its own connection

    def server_pids(self):
        return [self.manager._process.pid] if self.manager is not None else []

    def destroy(self):
        if self.manager is not None:
            self.manager.shutdown()
            self.manager = None


# ------------------------------------------------------------------------------------------------
# LMDB


class LmdbStore(Store):
    def __init__(self, environment, batch):
        self.environment = environment
        self.batch = batch

    def insert(self, keys, values):
        begin, dumps = self.environment.begin, pickle.dumps
        if self.batch == 1:
            for key, value in zip(keys, values):
                with begin(write=True) as transaction:
                    transaction.put(dumps(key), dumps(value))
            return
        for start in range(0, len(keys), self.batch):
            with begin(write=True) as transaction:
                put = transaction.put
                for key, value in zip(keys[start:start + self.batch], values[start:start + self.batch]):
                    put(dumps(key), dumps(value))

    def get(self, keys):
        begin, dumps, loads = self.environment.begin, pickle.dumps, pickle.loads
        if self.batch == 1:
            for key in keys:
                with begin() as transaction:
                    loads(transaction.get(dumps(key)))
            return
        for start in range(0, len(keys), self.batch):
            with begin() as transaction:
                get = transaction.get
                for key in keys[start:start + self.batch]:
                    loads(get(dumps(key)))

    def remove(self, keys):
        begin, dumps = self.environment.begin, pickle.dumps
        if self.batch == 1:
            for key in keys:
                with begin(write=True) as transaction:
                    transaction.delete(dumps(key))
            return
        for start in range(0, len(keys), self.batch):
            with begin(write=True) as transaction:
                delete = transaction.delete
                for key in keys[start:start + self.batch]:
                    delete(dumps(key))

    def fetch(self, key):
        with self.environment.begin() as transaction:
            data = transaction.get(pickle.dumps(key))
        return (False, None) if data is None else (True, pickle.loads(data))

    def close(self):
        self.environment.close()


class Lmdb(Contender):
    def __init__(self, batch):
        self.batch = batch
        self.name = "lmdb (txn per op)" if batch == 1 else f"lmdb (batched {batch})"
        self.note = "no fsync (sync=False), as quillmap never flushes"
        # The full N: a transaction per operation still finishes a phase in about a second, and a
        # smaller tree would flatter its gets (it would sit in the processor's caches).
        self.path = None
        self.environment = None

    def check(self, sample_key, sample_value):
        require("lmdb", install="pip install lmdb")

    def open(self):
        import lmdb

        # sync and metasync off: commits are not flushed to disk, which is what a shared in-memory
        # dictionary gives too; with them on, every commit of a transaction per op waits for the disk.
        return lmdb.open(self.path, map_size=LMDB_MAP_SIZE, sync=False, metasync=False, max_readers=256)

    def create(self, directory):
        self.path = tempfile.mkdtemp(prefix="lmdb-", dir=directory)
        self.environment = self.open()
        return LmdbStore(self.environment, self.batch)

    def before_fork(self):
        # A child must not use an environment opened before the fork: it opens its own.
        self.environment.close()

    def open_in_child(self):
        return LmdbStore(self.open(), self.batch)

    def files(self):
        return [os.path.join(self.path, name) for name in ("data.mdb", "lock.mdb")] if self.path else []

    def destroy(self):
        if self.path is not None:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path = None


# ------------------------------------------------------------------------------------------------
# Redis over a unix socket


class RedisStore(Store):
    def __init__(self, client):
        self.client = client

    def insert(self, keys, values):
        put, dumps = self.client.set, pickle.dumps
        for key, value in zip(keys, values):
            put(dumps(key), dumps(value))

    def get(self, keys):
        get, dumps, loads = self.client.get, pickle.dumps, pickle.loads
        for key in keys:
            loads(get(dumps(key)))

    def remove(self, keys):
        delete, dumps = self.client.delete, pickle.dumps
        for key in keys:
            delete(dumps(key))

    def fetch(self, key):
        data = self.client.get(pickle.dumps(key))
        return (False, None) if data is None else (True, pickle.loads(data))

    def close(self):
        self.client.close()


class Redis(Contender):
    name = "redis (unix socket)"
    note = "redis-server started by the benchmark, no persistence; redis-py with hiredis"
    max_keys = 20_000

    def __init__(self):
        self.directory = None
        self.server = None

    def check(self, sample_key, sample_value):
        require("redis", install="pip install redis")
        if shutil.which("redis-server") is None:
            raise Skip("redis-server is not installed (Debian: apt-get install redis-server)")

    @property
    def socket_path(self):
        return os.path.join(self.directory, "redis.sock")

    def client(self):
        import redis

        return redis.Redis(unix_socket_path=self.socket_path)

    def create(self, directory):
        self.directory = tempfile.mkdtemp(prefix="redis-", dir=directory)
        self.server = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", self.socket_path, "--unixsocketperm", "700",
             "--save", "", "--appendonly", "no", "--dir", self.directory, "--loglevel", "warning"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while True:
            if self.server.poll() is not None:
                raise RuntimeError(f"redis-server exited: {self.server.stderr.read().decode(errors='replace')}")
            try:
                client = self.client()
                client.ping()
                break
            except Exception:
                if time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not answer within 10 s")
                time.sleep(0.05)
        return RedisStore(client)

    def open_in_child(self):
        return RedisStore(self.client())

    def server_pids(self):
        return [self.server.pid] if self.server is not None else []

    def destroy(self):
        if self.server is not None:
            self.server.terminate()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
            self.directory = None


# ------------------------------------------------------------------------------------------------
# SQLite in WAL mode


class SqliteStore(Store):
    def __init__(self, connection):
        self.connection = connection

    def insert(self, keys, values):
        execute, dumps = self.connection.execute, pickle.dumps
        for key, value in zip(keys, values):
            execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (dumps(key), dumps(value)))

    def get(self, keys):
        execute, dumps, loads = self.connection.execute, pickle.dumps, pickle.loads
        for key in keys:
            loads(execute("SELECT v FROM kv WHERE k = ?", (dumps(key),)).fetchone()[0])

    def remove(self, keys):
        execute, dumps = self.connection.execute, pickle.dumps
        for key in keys:
            execute("DELETE FROM kv WHERE k = ?", (dumps(key),))

    def fetch(self, key):
        row = self.connection.execute("SELECT v FROM kv WHERE k = ?", (pickle.dumps(key),)).fetchone()
        return (False, None) if row is None else (True, pickle.loads(row[0]))

    def close(self):
        self.connection.close()


class Sqlite(Contender):
    name = "sqlite3 (WAL)"
    note = "autocommit per op, synchronous=NORMAL"
    max_keys = 20_000

    def __init__(self):
        self.path = None
        self.connection = None

    def connect(self):
        import sqlite3

        # Autocommit: every statement is its own transaction, as every store here commits each op.
        connection = sqlite3.connect(self.path, isolation_level=None, timeout=60)
        connection.execute("PRAGMA journal_mode=WAL")
        connection.execute("PRAGMA synchronous=NORMAL")  # no fsync per commit in WAL mode
        return connection

    def create(self, directory):
        handle, self.path = tempfile.mkstemp(prefix="sqlite-", suffix=".db", dir=directory)
        os.close(handle)
        self.connection = self.connect()
        self.connection.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
        return SqliteStore(self.connection)

    def before_fork(self):
        self.connection.close()  # a connection must not cross a fork

    def open_in_child(self):
        return SqliteStore(self.connect())

    def files(self):
        return [self.path + suffix for suffix in ("", "-wal", "-shm")] if self.path else []

    def destroy(self):
        if self.path is not None:
            for path in self.files():
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass
            self.path = None


# ------------------------------------------------------------------------------------------------
# UltraDict and shared-memory-dict


class MappingStore(DictStore):
    """A store with the dict interface whose objects may not be plain dicts."""

    def __init__(self, mapping):
        self.data = mapping

    def fetch(self, key):
        try:
            return (True, self.data[key])
        except KeyError:
            return (False, None)


class UltraDictContender(Contender):
    name = "UltraDict"
    note = "shared lock, 256 MiB update stream (no full dumps); reads hit its local copy"
    max_keys = 30_000

    def __init__(self):
        self.mapping = None
        self.name_in_memory = None

    def check(self, sample_key, sample_value):
        # atomics and psutil make its lock between processes (shared_lock=True).
        require("UltraDict", "atomics", "psutil", install="pip install UltraDict atomics psutil")

    def create(self, directory):
        from UltraDict import UltraDict

        self.mapping = UltraDict(create=True, buffer_size=ULTRADICT_BUFFER, shared_lock=True)
        self.name_in_memory = self.mapping.name
        return MappingStore(self.mapping)

    def open_in_child(self):
        from UltraDict import UltraDict

        return MappingStore(UltraDict(name=self.name_in_memory, create=False, shared_lock=True))

    def files(self):
        if self.name_in_memory is None:
            return []
        return [f"/dev/shm/{self.name_in_memory}", f"/dev/shm/{self.name_in_memory}_memory"]

    def destroy(self):
        if self.mapping is not None:
            self.mapping.unlink()
            self.mapping = None


class SharedMemoryDictContender(Contender):
    name = "shared-memory-dict"
    note = ("the whole dict is unpickled on every op and pickled again on every write; its lock "
            "(SHARED_MEMORY_USE_LOCK=1, set here) is released before the read-modify-write it wraps and "
            "reads take no lock, so two processes lose entries and read torn data")
    max_keys = 1_000

    def __init__(self):
        self.mapping = None
        self.name_in_memory = None

    def check(self, sample_key, sample_value):
        # Its lock between processes exists only when this is set before the import.
        os.environ["SHARED_MEMORY_USE_LOCK"] = "1"
        require("shared_memory_dict", install="pip install shared-memory-dict")

    def create(self, directory):
        from shared_memory_dict import SharedMemoryDict

        self.name_in_memory = f"bench{os.getpid()}"
        self.mapping = SharedMemoryDict(name=self.name_in_memory, size=SHARED_MEMORY_DICT_SIZE)
        return MappingStore(self.mapping)

    def open_in_child(self):
        from shared_memory_dict import SharedMemoryDict

        return MappingStore(SharedMemoryDict(name=self.name_in_memory, size=SHARED_MEMORY_DICT_SIZE))

    def files(self):
        return [f"/dev/shm/sm_{self.name_in_memory}"] if self.name_in_memory else []

    def destroy(self):
        if self.mapping is not None:
            self.mapping.shm.unlink()
            self.mapping.cleanup()
            self.mapping = None


def all_contenders():
    """Every contender by name, in the order of the report."""
    contenders = [Quillmap("pickle"), Quillmap("msgpack"), Quillmap("orjson"), SerializationFloor(), PlainDict(),
                  ManagerDict(), Lmdb(1), Lmdb(LMDB_BATCH), Redis(), Sqlite(), UltraDictContender(),
                  SharedMemoryDictContender()]
    return {contender.name: contender for contender in contenders}

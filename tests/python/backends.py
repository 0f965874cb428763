"""The two backends of the shared dict behind one interface for the tests, and a Redis server of the
tests' own: redis-server on a unix socket in a new temporary directory (no TCP port), started and
stopped by the tests."""
import importlib.util
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from conftest import SMALL

START_SECONDS = 20  # loading a large append-only file takes a while


def redis_missing():
    """Why the Redis tests cannot run here, or None when they can."""
    if shutil.which("redis-server") is None:
        return "redis-server is not installed (Debian: apt-get install redis-server; scripts/test.sh installs it)"
    if importlib.util.find_spec("redis") is None:
        return "the redis client is not installed (pip install 'corvana[redis]')"
    return None


class RedisServer:
    """redis-server on the unix socket `socket_path`; `config` adds or overrides its settings
    ("--appendonly", "yes", ...). Restarting keeps the directory, so an append-only file survives."""

    def __init__(self, *config):
        self.directory = tempfile.mkdtemp(prefix="corvana-redis-")
        self.socket_path = os.path.join(self.directory, "redis.sock")
        self.config = config
        self.process = None

    @property
    def url(self):
        return f"unix://{self.socket_path}"

    def start(self):
        log = os.path.join(self.directory, "redis.log")
        self.process = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", self.socket_path, "--unixsocketperm", "700",
             "--dir", self.directory, "--save", "", "--appendonly", "no", "--logfile", log, *self.config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_SECONDS
        while not self.answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop(signal.SIGKILL)
                with open(log, errors="replace") as text:
                    raise RuntimeError(f"redis-server did not start: {text.read()[-2000:]}")
            time.sleep(0.01)
        return self

    def answers(self):
        """True when the server answers PING (not while it loads its data)."""
        try:
            with socket.socket(socket.AF_UNIX) as connection:
                connection.settimeout(1)
                connection.connect(self.socket_path)
                connection.sendall(b"PING\r\n")
                return connection.recv(64).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self, stop_signal=signal.SIGTERM):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(stop_signal)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.directory, ignore_errors=True)

    def client(self):
        """A plain redis client of this server, for what the tests look at or break behind a map's back."""
        import redis

        return redis.Redis(unix_socket_path=self.socket_path)


class MemoryBackend:
    """SharedDict on small memory files, removed afterwards."""

    kind = "memory"

    def __init__(self):
        self.names = []

    def new(self, **options):
        from corvana import SharedDict

        made = SharedDict(**{**SMALL, **options})
        self.names.append(made.name)
        return made

    def open(self, made, **options):
        """Opens the map of `made` again, as another process would."""
        from corvana import SharedDict

        return SharedDict(made.name, **options)

    def cleanup(self):
        for name in self.names:
            if os.path.exists(name):
                os.unlink(name)


class RedisBackend:
    """RedisDict on the tests' server, each map a new hash, removed afterwards."""

    kind = "redis"

    def __init__(self, server):
        self.server = server
        self.names = []

    def new(self, **options):
        from corvana import RedisDict

        made = RedisDict(self.server.url, **options)
        self.names.append(made.name)
        return made

    def open(self, made, **options):
        from corvana import RedisDict

        return RedisDict(self.server.url, made.name, **options)

    def cleanup(self):
        if self.names and self.server.answers():
            with self.server.client() as client:
                client.unlink(*self.names)

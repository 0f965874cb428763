"""RedisDict's own part, against real Redis servers started by the tests: the hash it keeps, its
argument checks, the client as an optional extra, and errors a user can act on (an unreachable or
stopped server, a key of another type, a refused script, a server that restarts mid-run)."""
import os
import pickle
import signal
import threading
import time

import pytest

from backends import RedisServer
from conftest import run_python

pytestmark = pytest.mark.usefixtures("redis_server")


@pytest.fixture
def server():
    """A server of this test's own, which the test may stop, freeze or restart."""
    made = RedisServer("--appendonly", "yes", "--appendfsync", "always").start()
    yield made
    if made.process is not None and made.process.poll() is None:
        made.process.send_signal(signal.SIGCONT)
    made.remove()


def new_name():
    return f"test:{os.getpid()}:{time.monotonic_ns()}"


@pytest.mark.parametrize("serializer", ["pickle", "json"])
def test_the_map_is_one_hash_whose_fields_are_the_serialized_keys(redis_server, serializer):
    from corvana import RedisDict
    from corvana._json_codec import dumps as json_dumps

    dumps = (lambda obj: pickle.dumps(obj, 4)) if serializer == "pickle" else json_dumps
    with RedisDict(redis_server.url, new_name(), serializer=serializer) as d, redis_server.client() as raw:
        d.update({"a": 1, ("t", 2): [3]})
        assert raw.type(d.name) == b"hash" and raw.hlen(d.name) == len(d) == 2
        assert raw.hgetall(d.name) == {dumps("a"): dumps(1), dumps(("t", 2)): dumps([3])}
        d.unlink()
        assert raw.exists(d.name) == 0 and len(d) == 0


def test_arguments_are_checked(redis_server):
    from corvana import RedisDict

    cases = [
        ((5,), {}, TypeError, "url must be a str, not int"),
        (("http://example.invalid/",), {}, ValueError, "url must start with redis://, rediss:// or unix://"),
        ((redis_server.url, 5), {}, TypeError, "name must be a str or None, not int"),
        ((redis_server.url, ""), {}, ValueError, "name must not be empty"),
        ((redis_server.url,), {"serializer": "JSON"}, ValueError, "serializer must be one of"),
        ((redis_server.url,), {"decode_responses": True}, ValueError, "decode_responses must stay off"),
    ]
    for args, options, error, text in cases:
        with pytest.raises(error, match=text):
            RedisDict(*args, **options)
    made = RedisDict(redis_server.url)  # no name: a new one of its own
    assert made.name.startswith("corvana:") and made.name != RedisDict(redis_server.url).name and len(made) == 0
    assert repr(made) == f"RedisDict({redis_server.url!r}, name={made.name!r})"
    made.close()
    assert repr(made).endswith(", closed)")


def test_the_client_is_an_optional_extra(redis_server):
    out = run_python(f"""
        import sys
        import corvana
        corvana.RedisDict, corvana.RedisConnectionError
        print("redis" in sys.modules, "corvana.quillmap" in sys.modules)
        sys.modules["redis"] = None  # as where the client is not installed
        try:
            corvana.RedisDict({redis_server.url!r})
        except ImportError as error:
            print(type(error).__name__, error.name, error)
    """)
    assert out.splitlines() == [
        "False False",
        "ModuleNotFoundError redis RedisDict needs the redis client, which is not installed: "
        "pip install 'corvana[redis]'"]


def test_an_unreachable_server_is_a_connection_error_naming_the_url_without_its_password(tmp_path):
    from corvana import RedisConnectionError, RedisDict

    socket = f"unix://{tmp_path}/no.sock?db=0"
    for url, shown in [(f"{socket}&password=hunter2", f"{socket}&password=***"),
                       ("redis://:hunter2@127.0.0.1:1/0", "redis://:***@127.0.0.1:1/0")]:
        started = time.monotonic()
        with pytest.raises(ConnectionError) as caught:
            RedisDict(url, "k")
        assert time.monotonic() - started < 5
        assert isinstance(caught.value, RedisConnectionError) and caught.value.url == shown
        assert str(caught.value).startswith(f"cannot reach the Redis server at {shown} (")
        assert "hunter2" not in str(caught.value) and "hunter2" not in repr(caught.value)


def test_a_key_of_another_type_is_an_error_naming_the_key_and_the_command(redis_server):
    from corvana import RedisCommandError, RedisDict

    name = new_name()
    with redis_server.client() as raw:
        raw.set(name, "not a hash")
        with pytest.raises(RedisCommandError, match=f"the Redis key '{name}' at .* holds a string, not the hash"):
            RedisDict(redis_server.url, name)
        raw.delete(name)
        d = RedisDict(redis_server.url, name)
        d["a"] = 1
        raw.delete(name)
        raw.rpush(name, "x")  # another program takes the key over
        for operation, command in [(lambda: d["a"], "HGET"), (lambda: len(d), "HLEN"),
                                   (lambda: d.pop("a"), "EVALSHA (the script of pop)")]:
            with pytest.raises(RedisCommandError) as caught:
                operation()
            assert (caught.value.command, caught.value.key) == (command, name)
            assert f"the Redis key {name!r}" in str(caught.value) and "WRONGTYPE" in str(caught.value)
        raw.delete(name)


def test_a_refused_script_is_an_error_naming_the_command_and_the_key(redis_server):
    from corvana import RedisCommandError, RedisDict

    with redis_server.client() as raw:
        raw.acl_setuser("noscripts", enabled=True, passwords=["+secret"], keys=["*"], channels=["*"],
                        commands=["+@all", "-@scripting"])
        try:
            d = RedisDict(redis_server.url, new_name(), username="noscripts", password="secret")
            d["a"] = 1  # plain commands are allowed
            with pytest.raises(RedisCommandError) as caught:
                d.setdefault("a", 2)
            assert caught.value.command == "EVALSHA (the script of setdefault)" and caught.value.key == d.name
            assert f"refused EVALSHA (the script of setdefault) on the key {d.name!r}" in str(caught.value)
            assert "no permissions" in str(caught.value) and d["a"] == 1
            d.clear()
        finally:
            raw.acl_deluser("noscripts")


def test_a_server_that_stops_answering_times_out_and_the_next_operation_reconnects(server):
    from corvana import RedisDict, RedisTimeoutError

    d = RedisDict(server.url, new_name(), socket_timeout=0.3)
    d["a"] = 1
    server.process.send_signal(signal.SIGSTOP)
    try:
        started = time.monotonic()
        with pytest.raises(TimeoutError) as caught:
            d["a"]
        assert time.monotonic() - started < 3
        assert isinstance(caught.value, RedisTimeoutError) and isinstance(caught.value, ConnectionError)
        assert caught.value.command == "HGET" and "did not answer HGET in time" in str(caught.value)
    finally:
        server.process.send_signal(signal.SIGCONT)
    assert d["a"] == 1 and d.add("n") == 1


def _write_until(d, stop, completed, failed):
    """Writes new keys (by assignment, setdefault and add) until `stop` is set, noting each write that
    returned and each that raised (its change may or may not have been made)."""
    from corvana import RedisConnectionError

    index = 0
    while not stop.is_set():
        index += 1
        try:
            if index % 3 == 0:
                d.add("added")
            elif index % 3 == 1:
                d[("key", index)] = index
            else:
                assert d.setdefault(("key", index), index) == index
            completed.append(index)
        except RedisConnectionError:
            failed.append(index)
            time.sleep(0.005)


def test_a_restart_mid_run_loses_no_completed_write(server):
    from corvana import RedisDict

    d = RedisDict(server.url, new_name(), socket_timeout=5)
    stop, completed, failed = threading.Event(), [], []
    writer = threading.Thread(target=_write_until, args=(d, stop, completed, failed))
    writer.start()
    try:
        deadline = time.monotonic() + 20
        while len(completed) < 300 and time.monotonic() < deadline:
            time.sleep(0.01)
        server.stop(signal.SIGKILL)  # the server dies mid-run: what it acknowledged is in its append-only file
        server.start()
        before = len(completed)
        while len(completed) < before + 300 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        stop.set()
        writer.join(30)
    assert not writer.is_alive() and len(completed) >= before + 300, "the same RedisDict went on after the restart"
    with RedisDict(server.url, d.name) as check:
        for index in completed:
            if index % 3:
                assert check[("key", index)] == index
        adds = [index for index in completed if index % 3 == 0]
        lost_or_not = [index for index in failed if index % 3 == 0]
        # An add that returned is counted; one that raised may or may not be; none is counted twice.
        assert len(adds) <= check["added"] <= len(adds) + len(lost_or_not)


def test_errors_pickle_with_their_details():
    from corvana import RedisCommandError, RedisConnectionError, RedisTimeoutError

    for error in (RedisConnectionError("m", "unix:///s", "HGET"), RedisTimeoutError("m", "u", "HSET"),
                  RedisCommandError("m", "u", "EVALSHA", "k")):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and str(copy) == "m" and vars(copy) == vars(error)

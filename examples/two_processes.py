"""Two processes share one dictionary: the parent creates it, a child opens it by its name."""
import multiprocessing
import os

from corvana import SharedDict


def child(name: str) -> None:
    with SharedDict(name) as shared:  # opens the parent's memory file
        greeting = shared.get("greeting")
        shared[("child", os.getpid())] = {"read": greeting, "found": greeting is not None}
        del shared["greeting"]


def main() -> None:
    # A small map: 64 MiB of heap, 1024 buckets per bucket chunk.
    with SharedDict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=10) as shared:
        try:
            shared["greeting"] = "hello from the parent"
            worker = multiprocessing.Process(target=child, args=(shared.name,))
            worker.start()
            worker.join()
            print("child wrote:", shared.get(("child", worker.pid)))
            print("greeting after the child removed it:", shared.get("greeting"))
            ok = ("child", worker.pid) in shared and "greeting" not in shared
            print("OK" if ok and worker.exitcode == 0 else "ERROR")
        finally:
            shared.unlink()  # the memory file outlives every process unless it is removed


if __name__ == "__main__":
    main()

"""Two processes share one dictionary: the parent creates it, a child opens it by its name."""
import multiprocessing
import os

from corvana.quillmap import quillmap


def child(name: bytes) -> None:
    shared = quillmap(name)  # opens the parent's memory file
    found, greeting = shared.get("greeting")
    shared.insert(("child", os.getpid()), {"read": greeting, "found": found})
    shared.remove("greeting")


def main() -> None:
    # A small map: 64 MiB of heap, 1024 buckets per bucket chunk.
    shared = quillmap(size=64 * 1024 * 1024, bucket_chunk_size_exponent=10)
    try:
        shared.insert("greeting", "hello from the parent")
        worker = multiprocessing.Process(target=child, args=(shared.name,))
        worker.start()
        worker.join()
        print("child wrote:", shared.get(("child", worker.pid)))
        print("greeting after the child removed it:", shared.get("greeting"))
        ok = shared.get(("child", worker.pid))[0] and shared.get("greeting") == [False]
        print("OK" if ok and worker.exitcode == 0 else "ERROR")
    finally:
        os.unlink(shared.name)  # the memory file outlives every process unless it is removed


if __name__ == "__main__":
    main()

"""A process pool counts words into one SharedDict: each task receives the dict itself (it pickles by
name, so every worker opens the same memory file) and adds to the shared counts atomically."""
import multiprocessing
from typing import List

from corvana import SharedDict


def count(counts: SharedDict, line: str) -> int:
    for word in line.split():
        counts.add(word)  # atomic: no update is lost when workers add to one word at once
    return len(line.split())


def main() -> None:
    lines: List[str] = ["the quick brown fox", "jumps over the lazy dog", "the end"] * 100
    with SharedDict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=10) as counts:
        try:
            with multiprocessing.Pool(4) as pool:
                words = sum(pool.starmap(count, [(counts, line) for line in lines]))
            print(sorted(counts.items(), key=lambda item: -item[1])[:3])
            print("OK" if sum(counts.values()) == words and counts["the"] == 300 else "ERROR")
        finally:
            counts.unlink()


if __name__ == "__main__":
    main()

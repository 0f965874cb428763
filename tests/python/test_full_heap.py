"""A map whose heap is full takes back what is removed from it: removed keys go in again with smaller
values, and a map emptied fills again to the same count, round after round."""
import pytest

from corvana.quillmap import MapFullError

# 48 KiB of heap, one bucket per chunk and room to double up to 256 chunks.
SMALL_HEAP = dict(size=48 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=256)


def fill(shared, key, value):
    count = 0
    while True:
        try:
            shared[key(count)] = value
        except MapFullError:
            return count
        count += 1


@pytest.mark.parametrize("value_bytes", [10, 100, 240, 900])
@pytest.mark.parametrize("key", [int, lambda index: f"key-{index}"], ids=["int", "str"])
def test_removed_keys_go_in_again_with_smaller_values_on_a_full_heap(new_map, key, value_bytes):
    shared = new_map(**SMALL_HEAP)
    filled = fill(shared, key, "v" * value_bytes)
    assert filled > 4
    removed = [key(index) for index in range(0, filled, 2)]
    for name in removed:
        assert shared.remove(name) == 1
    for name in removed:
        shared[name] = 1  # each fits where its key's entry was; none raises MapFullError
    assert len(shared) == filled == len(list(shared.keys()))
    assert all(shared[name] == 1 for name in removed)


def test_a_map_emptied_fills_again_to_the_same_count(new_map):
    shared = new_map(**SMALL_HEAP)
    counts = []
    for _ in range(6):
        counts.append(fill(shared, lambda index: f"key-{index}", "v" * 100))
        for index in range(counts[-1]):
            del shared[f"key-{index}"]
        assert len(shared) == 0
    assert counts == [counts[0]] * 6, counts

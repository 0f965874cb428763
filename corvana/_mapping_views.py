"""The keys(), values() and items() views of corvana's mappings (SharedDict, RedisDict).

A view holds no entries: each iteration walks the map anew through the mapping's _keys_walk,
_values_walk or _items_walk, so it sees later changes and is weakly consistent as a walk is. A
value is found by one walk, an item by one lookup (the mapping's get with a default).
"""
from collections.abc import ItemsView, KeysView, ValuesView

__all__ = ["KeysWalk", "ValuesWalk", "ItemsWalk"]

_MISSING = object()


class KeysWalk(KeysView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping._keys_walk()


class ValuesWalk(ValuesView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping._values_walk()

    def __contains__(self, value):
        return any(stored is value or stored == value for stored in self._mapping._values_walk())


class ItemsWalk(ItemsView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping._items_walk()

    def __contains__(self, item):
        key, value = item
        stored = self._mapping.get(key, _MISSING)
        return stored is not _MISSING and (stored is value or stored == value)

"""What corvana's mappings (SharedDict, RedisDict) build on their walks: the keys(), values() and
items() views, copy() and ==.

A view holds no entries: each iteration walks the map anew through the mapping's _keys_walk,
_values_walk or _items_walk, so it sees later changes and is weakly consistent as a walk is. A
value is found by one walk, an item by one lookup (the mapping's get with a default).
"""
from collections.abc import ItemsView, KeysView, Mapping, ValuesView

__all__ = ["KeysWalk", "ValuesWalk", "ItemsWalk", "WalkedMapping"]

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


class WalkedMapping:
    """dict's keys(), values(), items(), copy() and == for a mapping that provides _keys_walk,
    _values_walk, _items_walk and get. It comes first among the bases, before a class whose own
    keys(), values() and items() have other results."""

    __slots__ = ()

    def keys(self):
        """A view of the keys; iterating it walks the map again each time (weakly consistent)."""
        return KeysWalk(self)

    def values(self):
        """A view of the values; iterating it walks the map again each time (weakly consistent)."""
        return ValuesWalk(self)

    def items(self):
        """A view of the (key, value) pairs; iterating it walks the map again each time."""
        return ItemsWalk(self)

    def copy(self):
        """A plain dict with the entries, read in one walk."""
        return dict(self._items_walk())

    def __eq__(self, other):
        if not isinstance(other, Mapping):
            return NotImplemented
        return self.copy() == dict(other.items())

    __hash__ = None

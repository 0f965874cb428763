"""The "msgspec" serializer of quillmap: msgspec's JSON codec, whose encode gives the bytes that are
stored and whose decode reads them back. The msgspec package itself is left as it is.
"""
from msgspec.json import decode as loads
from msgspec.json import encode as dumps

__all__ = ["dumps", "loads"]

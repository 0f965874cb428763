"""corvana: a dictionary shared by many processes on one machine, held in a memory-mapped file.

``corvana.quillmap.quillmap`` is the shared dictionary; see the README for its use.
"""

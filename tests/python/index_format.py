"""An independent reading of docs/format.md: decodes tessra index files into
plain Python values and encodes them back, so tests can check the module's
files field by field and build damaged or hostile ones with valid checksums."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"\x89TSR\r\n\x1a\n"
KINDS = {1: "PyFlat", 2: "PyHNSW", 3: "PyHNSW"}
VERSION = 2
METRICS = {"PyFlat": ("euclidean", "cosine", "inner_product"), "PyHNSW": ("euclidean", "angular", "inner_product")}


def _table():
    table = []
    for b in range(256):
        c = b
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_TABLE = _table()


def crc32c(data: bytes) -> int:
    c = 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ _TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


@dataclass
class File:
    """A file as header fields and (tag, payload) sections; encode() recomputes every checksum."""

    kind: int
    sections: list[tuple[int, bytes]]
    version: int = VERSION
    magic: bytes = MAGIC

    def encode(self) -> bytes:
        head = self.magic + struct.pack("<II", self.version, self.kind)
        out = [head, struct.pack("<I", crc32c(head))]
        for tag, payload in self.sections:
            frame = struct.pack("<IIQ", tag, 0, len(payload))
            out += [frame, payload, struct.pack("<I", crc32c(frame + payload))]
        return b"".join(out)


def split(data: bytes) -> File:
    """The header and sections of a well-formed file, checking every checksum."""
    assert data[:8] == MAGIC
    version, kind, head_crc = struct.unpack_from("<III", data, 8)
    assert head_crc == crc32c(data[:16])
    sections, at = [], 20
    while at < len(data):
        tag, reserved, length = struct.unpack_from("<IIQ", data, at)
        assert reserved == 0
        body = data[at : at + 16 + length]
        (crc,) = struct.unpack_from("<I", data, at + 16 + length)
        assert crc == crc32c(body)
        sections.append((tag, body[16:]))
        at += 16 + length + 4
    assert at == len(data)
    return File(kind, sections, version)


class _Reader:
    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def take(self, fmt: str):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self) -> bytes:
        n = self.take("Q")
        self.at += n
        return self.data[self.at - n : self.at]

    def done(self) -> bool:
        return self.at == len(self.data)


@dataclass
class HNSWFile:
    """Every field of a PyHNSW file, in file order."""

    dim: int
    metric: int
    layers: int
    m: int
    ef_construction: int
    ef_search: int
    count: int
    schema: list[bytes] | None
    vectors: list[float]
    levels: list[int]
    runs: list[list[int]]
    # Per node None or a list of (kind, value): 0 text (bytes), 1 int, 2 float.
    records: list[list[tuple[int, object]] | None] = field(default_factory=list)
    # Version 2 on: the level generator (None, or (seed, four state words)) and the removed ids.
    generator: tuple[int, tuple[int, int, int, int]] | None = None
    removed: list[int] = field(default_factory=list)
    version: int = VERSION
    tags: tuple[int, ...] | None = None

    @classmethod
    def decode(cls, data: bytes) -> HNSWFile:
        f = split(data)
        tags = [1, 2, 3, 4, 5, 6] + ([7, 8] if f.version >= 2 else [])
        assert f.kind == 2 and [tag for tag, _ in f.sections] == tags
        p = _Reader(f.sections[0][1])
        dim, metric, reserved, layers, m, efc, efs, count = p.take("QIIQQQQQ")
        assert reserved == 0 and p.done()
        s = _Reader(f.sections[1][1])
        present, reserved, n = s.take("IIQ")
        schema = [s.text() for _ in range(n)] if present else None
        assert reserved == 0 and s.done() and (present or n == 0)
        vectors = list(struct.unpack(f"<{count * dim}d", f.sections[2][1]))
        levels = list(struct.unpack(f"<{count}H", f.sections[3][1]))
        r = _Reader(f.sections[4][1])
        runs = []
        for _ in range(count):
            length = r.take("Q")
            runs.append(list(struct.unpack_from(f"<{length}I", r.data, r.at)))
            r.at += 4 * length
        assert r.done()
        d = _Reader(f.sections[5][1])
        records = []
        for _ in range(count):
            if d.take("B") == 0:
                records.append(None)
                continue
            values = []
            for _ in range(len(schema)):
                kind = d.take("B")
                values.append((kind, d.text() if kind == 0 else d.take("q" if kind == 1 else "d")))
            records.append(values)
        assert d.done()
        generator, removed = None, []
        if f.version >= 2:
            g = _Reader(f.sections[6][1])
            present, reserved, seed, *state = g.take("IIQQQQQ")
            assert reserved == 0 and g.done()
            generator = (seed, tuple(state)) if present else None
            removed = removed_ids(f.sections[7][1])
        return cls(dim, metric, layers, m, efc, efs, count, schema, vectors, levels, runs, records, generator,
                   removed, f.version)

    def encode(self) -> bytes:
        def text(b: bytes) -> bytes:
            return struct.pack("<Q", len(b)) + b

        params = struct.pack("<QIIQQQQQ", self.dim, self.metric, 0, self.layers, self.m, self.ef_construction,
                             self.ef_search, self.count)
        names = self.schema or []
        schema = struct.pack("<IIQ", self.schema is not None, 0, len(names)) + b"".join(map(text, names))
        vectors = struct.pack(f"<{len(self.vectors)}d", *self.vectors)
        levels = struct.pack(f"<{len(self.levels)}H", *self.levels)
        runs = b"".join(struct.pack(f"<Q{len(r)}I", len(r), *r) for r in self.runs)
        records = bytearray()
        for record in self.records:
            records += struct.pack("<B", record is not None)
            for kind, value in record or []:
                records += struct.pack("<B", kind)
                records += text(value) if kind == 0 else struct.pack("<q" if kind == 1 else "<d", value)
        payloads = [params, schema, vectors, levels, runs, bytes(records)]
        if self.version >= 2:
            seed, state = self.generator or (0, (0, 0, 0, 0))
            payloads += [struct.pack("<IIQ4Q", self.generator is not None, 0, seed, *state),
                         removed_payload(self.removed)]
        tags = self.tags or tuple(range(1, len(payloads) + 1))
        return File(2, list(zip(tags, payloads)), self.version).encode()


def removed_ids(payload: bytes) -> list[int]:
    (n,) = struct.unpack_from("<Q", payload)
    assert len(payload) == 8 + 8 * n
    return list(struct.unpack_from(f"<{n}Q", payload, 8))


def removed_payload(ids: list[int]) -> bytes:
    return struct.pack(f"<Q{len(ids)}Q", len(ids), *ids)


def flat_file(dim: int, metric: int, vectors: list[list[float]], count: int | None = None,
              removed: list[int] | None = None, version: int = VERSION) -> bytes:
    flat = [x for v in vectors for x in v]
    n = len(vectors) if count is None else count
    params = struct.pack("<QIIQ", dim, metric, 0, n)
    sections = [(1, params), (3, struct.pack(f"<{len(flat)}d", *flat))]
    if version >= 2:
        sections.append((8, removed_payload(removed or [])))
    return File(1, sections, version).encode()


@dataclass
class PrunedFile:
    """Every field of a pruned-graph PyHNSW file (index kind 3), in file order."""

    params: tuple  # dim, metric, reserved, layers, m, ef_construction, ef_search, count
    schema: bytes
    vectors: bytes
    levels: list[int]
    lists: list[list[list[int]]]  # per node, per layer 0 to its level
    records: bytes
    generator: bytes
    removed: list[int]

    @classmethod
    def decode(cls, data: bytes) -> PrunedFile:
        f = split(data)
        assert f.kind == 3 and f.version == 2 and [tag for tag, _ in f.sections] == [1, 2, 3, 4, 9, 6, 7, 8]
        params = struct.unpack("<QIIQQQQQ", f.sections[0][1])
        count = params[7]
        levels = list(f.sections[3][1])
        r = _Reader(f.sections[4][1])
        lists = []
        for node in range(count):
            layers = []
            for _ in range(levels[node] + 1):
                length = r.take("I")
                layers.append(list(struct.unpack_from(f"<{length}I", r.data, r.at)))
                r.at += 4 * length
            lists.append(layers)
        assert r.done()
        return cls(params, f.sections[1][1], f.sections[2][1], levels, lists, f.sections[5][1], f.sections[6][1],
                   removed_ids(f.sections[7][1]))

    def encode(self) -> bytes:
        lists = b"".join(struct.pack(f"<I{len(ids)}I", len(ids), *ids) for node in self.lists for ids in node)
        payloads = [struct.pack("<QIIQQQQQ", *self.params), self.schema, self.vectors, bytes(self.levels), lists,
                    self.records, self.generator, removed_payload(self.removed)]
        return File(3, list(zip([1, 2, 3, 4, 9, 6, 7, 8], payloads))).encode()

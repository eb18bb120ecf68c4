"""Builds VELK version-3 bytecode files from a readable description.

Used by the end-to-end tests, the example and the benchmarks. Layout of a built
file: the 40-byte header, then the DATA, CODE and VARIABLES sections, then the
string pool. Every integer and float is big-endian except the DATA payloads,
which are little-endian.

    w = VelkWriter()
    amp = w.variable("amp", "f64", 0.5)
    m = w.module("drive", settings={"gain": ("f64", 2.0)})
    m.operands([("const", 1e-6), ("barrier", 1)])
    b = m.block("main")
    b.delay(1e-6)
    b.shaped(amp=Var(amp), width=20e-9, shape=2)
    data = w.build()

A field given as Var(k) is written as a variable reference to variable k (a
relocation entry points at the slot); a field left out of shaped() or the capture
calls clears its presence bit.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

DATA_KINDS = {"f32": 0, "f64": 1, "complex64": 2, "complex128": 3}
ELEMENT_BYTES = {0: 4, 1: 8, 2: 8, 3: 16}
VALUE_TYPES = {"u32": 0, "i32": 1, "f32": 2, "f64": 3, "str": 4, "json": 5}

SHAPED_FIELDS = ["delta", "amp", "width", "shape", "plateau", "block1", "block2"]
CAPTURE_FIELDS = {
    2: ["qubit", "creg", "idx", "duration", "frequency", "phi", "threshold"],
    3: ["qubit", "creg", "idx", "duration", "frequency"],
    4: ["creg", "idx", "duration"],
}
STRING_FIELDS = {"qubit", "creg"}


@dataclass(frozen=True)
class Var:
    """A reference to the variable at `index` of the VARIABLES section."""
    index: int


class _Buf:
    """A section under construction: bytes, string slots to patch, relocations."""

    def __init__(self):
        self.data = bytearray()
        self.strings: list[tuple[int, str]] = []  # (position, text)
        self.refs: list[tuple[int, int]] = []     # (position, variable index)

    def pos(self) -> int:
        return len(self.data)

    def u8(self, v):
        self.data += struct.pack(">B", v & 0xFF)

    def u16(self, v):
        self.data += struct.pack(">H", v & 0xFFFF)

    def u32(self, v):
        self.data += struct.pack(">I", v & 0xFFFFFFFF)

    def i32(self, v):
        self.data += struct.pack(">i", v)

    def f32(self, v):
        self.data += struct.pack(">f", v)

    def f64(self, v):
        self.data += struct.pack(">d", v)

    def string(self, text: str):
        self.strings.append((self.pos(), text))
        self.u32(0)

    def number_slot(self, v):
        if isinstance(v, Var):
            self.refs.append((self.pos(), v.index))
            self.f64(0.0)
        else:
            self.f64(float(v))

    def string_slot(self, v):
        if isinstance(v, Var):
            self.refs.append((self.pos(), v.index))
            self.u32(0)
        else:
            self.string(v)

    def index_slot(self, v):
        if isinstance(v, Var):
            self.refs.append((self.pos(), v.index))
            self.u32(0)
        else:
            self.u32(v)

    def value(self, type_name: str, v):
        code = VALUE_TYPES[type_name]
        self.u8(code)
        if code == 0:
            self.u32(v)
        elif code == 1:
            self.i32(v)
        elif code == 2:
            self.f32(v)
        elif code == 3:
            self.f64(v)
        else:
            self.string(v)


class Block:
    def __init__(self, name: str):
        self.name = name
        self.instructions: list = []  # callables writing into a _Buf

    def _add(self, writer):
        self.instructions.append(writer)
        return self

    def shaped(self, **fields):
        return self._add(lambda b: _write_fielded(b, 1, SHAPED_FIELDS, fields))

    def capture(self, **fields):
        return self._add(lambda b: _write_fielded(b, 2, CAPTURE_FIELDS[2], fields))

    def capture_iq(self, **fields):
        return self._add(lambda b: _write_fielded(b, 3, CAPTURE_FIELDS[3], fields))

    def capture_trace(self, **fields):
        return self._add(lambda b: _write_fielded(b, 4, CAPTURE_FIELDS[4], fields))

    def _number(self, opcode, value):
        return self._add(lambda b: (b.u8(opcode), b.number_slot(value)))

    def delay(self, value):
        return self._number(5, value)

    def set_frequency(self, value):
        return self._number(6, value)

    def shift_phase(self, value):
        return self._number(7, value)

    def reset_phase(self):
        return self._add(lambda b: b.u8(8))

    def barrier(self, barrier_id: int):
        return self._add(lambda b: (b.u8(9), b.u32(barrier_id)))

    def opcode10(self, text: str, value):
        return self._add(lambda b: (b.u8(10), b.string(text), b.number_slot(value)))

    def real_waveform(self, data_index: int, amplitude):
        return self._add(lambda b: (b.u8(11), b.u32(data_index), b.number_slot(amplitude)))

    def complex_waveform(self, data_index: int, amplitude):
        return self._add(lambda b: (b.u8(12), b.u32(data_index), b.number_slot(amplitude)))

    def raw(self, data: bytes):
        """Bytes written as they are (for broken instructions)."""
        return self._add(lambda b: b.data.extend(data))


def _write_fielded(b: _Buf, opcode: int, names: list[str], fields: dict, defaults=False):
    """The opcode byte, the presence bits and the given fields in field order. An
    instruction's slots may be variable references; a defaults record holds plain
    values (idx as i32, texts as string offsets)."""
    unknown = set(fields) - set(names)
    if unknown:
        raise ValueError(f"opcode {opcode} has no fields {sorted(unknown)}")
    b.u8(opcode)
    b.u8(sum(1 << j for j, name in enumerate(names) if name in fields))
    for name in names:
        if name not in fields:
            continue
        v = fields[name]
        if name == "shape":
            b.u8(v)
        elif name in STRING_FIELDS:
            b.string(v) if defaults else b.string_slot(v)
        elif name == "idx":
            b.i32(v) if defaults else b.index_slot(v)
        else:
            b.f64(v) if defaults else b.number_slot(v)


@dataclass
class Module:
    name: str
    settings: dict = field(default_factory=dict)   # name -> (type, value)
    defaults: list = field(default_factory=list)   # (opcode, {field: value})
    operand_lists: list = field(default_factory=list)
    blocks: list = field(default_factory=list)
    length_adjust: int = 0                         # added to the module length

    def operands(self, entries):
        """entries: ("const", x) | ("barrier", id) | ("var", index) | ("code", byte)."""
        self.operand_lists.append(list(entries))
        return self

    def block(self, name: str) -> Block:
        blk = Block(name)
        self.blocks.append(blk)
        return blk

    def write(self, b: _Buf):
        start = b.pos()
        b.u32(0)  # length, patched below
        b.string(self.name)
        b.u32(len(self.settings))
        b.u32(len(self.defaults))
        b.u32(len(self.operand_lists))
        b.u32(len(self.blocks))
        for name, (type_name, v) in self.settings.items():
            b.string(name)
            b.value(type_name, v)
        for opcode, values in self.defaults:
            names = SHAPED_FIELDS if opcode == 1 else CAPTURE_FIELDS.get(opcode, [])
            _write_fielded(b, opcode, names, values, defaults=True)
        for entries in self.operand_lists:
            b.u32(len(entries))
            for kind, v in entries:
                if kind == "const":
                    b.u8(5)
                    b.number_slot(v)
                elif kind == "var":
                    b.u8(5)
                    b.number_slot(Var(v))
                elif kind == "barrier":
                    b.u8(9)
                    b.u32(v)
                else:
                    b.u8(v)
        for blk in self.blocks:
            b.string(blk.name)
            b.u32(len(blk.instructions))
            for emit in blk.instructions:
                emit(b)
        length = b.pos() - start - 4 + self.length_adjust
        b.data[start:start + 4] = struct.pack(">I", length & 0xFFFFFFFF)


class VelkWriter:
    def __init__(self):
        self.arrays: list[tuple[int, list, list | None]] = []
        self.variables: list[tuple[str, int, tuple | None]] = []
        self.modules: list[Module] = []
        self.extra_refs: list[tuple[int, int]] = []

    def data(self, kind: str, values, dims=None) -> int:
        """A DATA array; complex values are Python complex numbers. `values` may
        also be the payload itself (bytes: the little-endian elements)."""
        self.arrays.append((DATA_KINDS[kind], values if isinstance(values, bytes) else list(values),
                            dims))
        return len(self.arrays) - 1

    def variable(self, name: str, type_name: str | None = None, value=None, kind: int = 0) -> int:
        default = None if type_name is None else (type_name, value)
        self.variables.append((name, kind, default))
        return len(self.variables) - 1

    def module(self, name: str, settings=None, defaults=None) -> Module:
        m = Module(name, dict(settings or {}), list(defaults or []))
        self.modules.append(m)
        return m

    def _data_section(self) -> bytes:
        out = bytearray()
        for kind, values, dims in self.arrays:
            n = len(values) // ELEMENT_BYTES[kind] if isinstance(values, bytes) else len(values)
            dims = [n] if dims is None else list(dims)
            if isinstance(values, bytes):
                payload = values
            elif kind == 0:
                payload = struct.pack(f"<{n}f", *values)
            elif kind == 1:
                payload = struct.pack(f"<{n}d", *values)
            elif kind == 2:
                payload = b"".join(struct.pack("<ff", v.real, v.imag) for v in map(complex, values))
            else:
                payload = b"".join(struct.pack("<dd", v.real, v.imag) for v in map(complex, values))
            out += struct.pack(">BBI", kind, len(dims), len(payload))
            out += b"".join(struct.pack(">I", d) for d in dims)
            out += payload
        return bytes(out)

    def build(self) -> bytes:
        data = self._data_section()
        code = _Buf()
        for m in self.modules:
            m.write(code)
        code_start = 40 + len(data)

        variables = _Buf()
        variables.u32(len(self.variables))
        for name, kind, default in self.variables:
            variables.string(name)
            variables.u8(kind)
            if default is None:
                variables.u8(0)
            else:
                variables.u8(1)
                variables.value(*default)
        refs = [(code_start + pos, index) for pos, index in code.refs] + self.extra_refs
        variables.u32(len(refs))
        for offset, index in refs:
            variables.u32(offset)
            variables.u32(index)
            variables.u8(0)
        vars_start = code_start + len(code.data)
        pool_start = vars_start + len(variables.data)

        pool = bytearray()
        offsets: dict[str, int] = {}

        def intern(text: str) -> int:
            if text not in offsets:
                offsets[text] = pool_start + len(pool)
                pool.extend(text.encode("utf-8") + b"\0")
            return offsets[text]

        for buf in (code, variables):
            for pos, text in buf.strings:
                buf.data[pos:pos + 4] = struct.pack(">I", intern(text))

        header = bytearray(b"VELK")
        header += struct.pack(">HH", 3, 0)
        header += struct.pack(">II", 0, 0)
        header += struct.pack(">II", 40 if data else 0, len(data))
        header += struct.pack(">II", vars_start, len(variables.data))
        header += struct.pack(">II", code_start, len(code.data))
        return bytes(header) + data + bytes(code.data) + bytes(variables.data) + bytes(pool)

    def write(self, path) -> bytes:
        data = self.build()
        with open(path, "wb") as f:
            f.write(data)
        return data

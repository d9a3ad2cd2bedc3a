#!/usr/bin/python3
"""Read, write, quantize and dequantize GGUF files: an independent reference in Python.

This module shares no code with the C++ reader. It is written from the GGUF format's public
description and ggml's published block layouts, so tests can hold the two against each other.

Interpreter: /usr/bin/python3 with Debian's python3-numpy.

File layout (version 3, little-endian; version 2 reads the same):
  "GGUF", uint32 version, uint64 tensor count, uint64 metadata count
  metadata: string key, uint32 value type, value       string = uint64 length + bytes
            array = uint32 element type, uint64 count, elements (arrays may hold arrays)
  tensor infos: string name, uint32 dimension count, uint64 dims (fastest first),
                uint32 tensor type, uint64 offset from the data section
  padding to general.alignment (uint32, default 32), then the data section

Blocks (d, dmin, m: float16 scales; every dequantized value is computed in float64, where each
product and difference below is exact):
  Q8_0  32 values, 34 bytes: d, int8 q[32]                        x = d*q
  Q4_0  32 values, 18 bytes: d, qs[16]                            x = d*(nibble - 8)
        value j < 16 is the low nibble of qs[j], value j+16 its high nibble
  Q4_1  32 values, 20 bytes: d, m, qs[16]                         x = d*nibble + m
  Q5_0  32 values, 22 bytes: d, uint32 qh, qs[16]                 x = d*(q5 - 16)
        q5 of value j = its nibble (as Q4_0) | bit j of qh << 4
  Q5_1  32 values, 24 bytes: d, m, uint32 qh, qs[16]              x = d*q5 + m
  Q2_K  256 values, 84 bytes: scales[16], qs[64], d, dmin
        16 sub-blocks of 16; sub-block s: scale = scales[s] & 15, min = scales[s] >> 4
        x = d*scale*q - dmin*min, q = 2 bits: value 128*h + 32*j + 16*k + l (h < 2, j < 4,
        k < 2, l < 16) is bits 2j..2j+1 of qs[32*h + 16*k + l], sub-block 8*h + 2*j + k
  Q3_K  256 values, 110 bytes: hmask[32], qs[64], scales[12], d
        16 sub-blocks of 16 with 6-bit scales: low 4 bits = scales[s] & 15 (s < 8) or
        scales[s-8] >> 4, high 2 bits = scales[8 + s%4] >> (2*(s//4)) & 3
        x = d*(scale6 - 32)*(q2 - 4*(1 - hbit)); q2 and sub-block placed as Q2_K, hbit = bit
        (4*h + j) of hmask[16*k + l]
  Q4_K  256 values, 144 bytes: d, dmin, scales[12], qs[128]
        8 sub-blocks of 32 with 6-bit scale and min: for s < 4 scale = scales[s] & 63,
        min = scales[s+4] & 63; else scale = scales[s+4] & 15 | (scales[s-4] >> 6) << 4,
        min = scales[s+4] >> 4 | (scales[s] >> 6) << 4
        x = d*scale*q - dmin*min; value 64*g + l (l < 32) is the low nibble of qs[32*g + l]
        (sub-block 2g), value 64*g + 32 + l its high nibble (sub-block 2g+1)
  Q5_K  256 values, 176 bytes: d, dmin, scales[12], qh[32], qs[128]
        as Q4_K with a fifth bit: bit 2g of qh[l] for the low nibble, bit 2g+1 for the high
  Q6_K  256 values, 210 bytes: ql[128], qh[64], int8 scales[16], d
        x = d*scales[s]*(q6 - 32); value 128*h + 32*c + l (c < 4, l < 32): low 4 bits from
        ql[64*h + 32*(c%2) + l] (low nibble for c < 2, high for c >= 2), high 2 bits from
        qh[32*h + l] >> 2c; sub-block 8*h + 2*c + l//16
  F32, F16, BF16, F64 are plain little-endian values, widened exactly.

Commands:
  gguf.py dump FILE            metadata and tensor table
  gguf.py write OUT --npz ARRAYS.npz [--metadata META.json] [--type NAME=TYPE]...
                [--default-type TYPE] [--alignment N]
      JSON metadata values are typed by their form (bool, int -> uint32/int32/int64/uint64 by
      range, float -> float32, str, lists -> arrays) or given as {"type": "float64",
      "value": ...}; a 2-D array of shape (rows, columns) is stored with dims [columns, rows].
  gguf.py selftest             round trips and quantization error bounds (exit 77 without numpy)
  gguf.py fixture OUT          tests/gguf/every_type.gguf: a two-row tensor of each type
"""

import json
import struct
import sys

try:
    import numpy as np
except ImportError:  # the self-test is skipped, everything else needs numpy
    np = None

MAGIC = b"GGUF"

# Metadata value types.
UINT8, INT8, UINT16, INT16, UINT32, INT32, FLOAT32, BOOL, STRING, ARRAY, UINT64, INT64, FLOAT64 = (
    range(13))
VALUE_NAMES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "bool",
               "string", "array", "uint64", "int64", "float64"]
SCALAR_FORMATS = {UINT8: "<B", INT8: "<b", UINT16: "<H", INT16: "<h", UINT32: "<I",
                  INT32: "<i", FLOAT32: "<f", BOOL: "<?", UINT64: "<Q", INT64: "<q",
                  FLOAT64: "<d"}

# Tensor types this module handles: code, values per block, bytes per block.
TENSOR_TYPES = {
    "F32": (0, 1, 4), "F16": (1, 1, 2), "Q4_0": (2, 32, 18), "Q4_1": (3, 32, 20),
    "Q5_0": (6, 32, 22), "Q5_1": (7, 32, 24), "Q8_0": (8, 32, 34), "Q2_K": (10, 256, 84),
    "Q3_K": (11, 256, 110), "Q4_K": (12, 256, 144), "Q5_K": (13, 256, 176),
    "Q6_K": (14, 256, 210), "F64": (28, 1, 8), "BF16": (30, 1, 2),
}
TYPE_NAMES = {code: name for name, (code, _, _) in TENSOR_TYPES.items()}


class Typed:
    """A metadata value with its type given: Typed(FLOAT64, 0.1), Typed(ARRAY, [...], INT32)."""

    def __init__(self, type_, value, element_type=None):
        self.type = type_
        self.value = value
        self.element_type = element_type


# ---------------------------------------------------------------------------------------------
# Reading


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if n > len(self.data) - self.pos:
            raise ValueError("truncated at byte %d" % self.pos)
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def scalar(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def string(self):
        return self.take(self.scalar("<Q")).decode("utf-8", errors="surrogateescape")

    def value(self, type_):
        if type_ in SCALAR_FORMATS:
            return self.scalar(SCALAR_FORMATS[type_])
        if type_ == STRING:
            return self.string()
        if type_ == ARRAY:
            element_type = self.scalar("<I")
            count = self.scalar("<Q")
            return Typed(ARRAY, [self.value(element_type) for _ in range(count)], element_type)
        raise ValueError("unknown value type %d" % type_)


class GgufFile:
    """A parsed file: version, alignment, data_offset, metadata {key: (type, value)} in file
    order (array values are Typed), tensors [{name, dims, type, offset, bytes}]."""

    def __init__(self, data):
        self.data = data
        r = Reader(data)
        if r.take(4) != MAGIC:
            raise ValueError("not a GGUF file")
        self.version = r.scalar("<I")
        if self.version not in (2, 3):
            raise ValueError("unsupported version %d" % self.version)
        tensor_count = r.scalar("<Q")
        metadata_count = r.scalar("<Q")
        self.metadata = {}
        for _ in range(metadata_count):
            key = r.string()
            type_ = r.scalar("<I")
            self.metadata[key] = (type_, r.value(type_))
        self.alignment = self.metadata.get("general.alignment", (UINT32, 32))[1]
        self.tensors = []
        for _ in range(tensor_count):
            name = r.string()
            dims = [r.scalar("<Q") for _ in range(r.scalar("<I"))]
            type_ = r.scalar("<I")
            offset = r.scalar("<Q")
            _, block_values, block_bytes = TENSOR_TYPES[TYPE_NAMES[type_]]
            count = 1
            for d in dims:
                count *= d
            self.tensors.append({"name": name, "dims": dims, "type": TYPE_NAMES[type_],
                                 "offset": offset, "bytes": count // block_values * block_bytes})
        self.data_offset = -(-r.pos // self.alignment) * self.alignment

    def value(self, key):
        """The plain Python value of a key (arrays as lists)."""
        return plain(self.metadata[key][1])

    def tensor(self, name):
        for t in self.tensors:
            if t["name"] == name:
                return t
        raise KeyError(name)

    def raw(self, name):
        t = self.tensor(name)
        start = self.data_offset + t["offset"]
        return self.data[start:start + t["bytes"]]

    def dequantize(self, name):
        """float64 values, shaped with the slowest dimension first (dims reversed)."""
        t = self.tensor(name)
        return dequantize(self.raw(name), t["type"]).reshape(list(reversed(t["dims"])))


def plain(value):
    if isinstance(value, Typed):
        return [plain(v) for v in value.value]
    return value


def read(path):
    with open(path, "rb") as f:
        return GgufFile(f.read())


# ---------------------------------------------------------------------------------------------
# Writing


def infer(value):
    """(type, value, element type) of a Python value."""
    if isinstance(value, Typed):
        return value.type, value.value, value.element_type
    if isinstance(value, bool):
        return BOOL, value, None
    if isinstance(value, int):
        if 0 <= value < 2**32:
            return UINT32, value, None
        if -2**31 <= value < 2**31:
            return INT32, value, None
        return (UINT64 if value >= 2**63 else INT64), value, None
    if isinstance(value, float):
        return FLOAT32, value, None
    if isinstance(value, str):
        return STRING, value, None
    if isinstance(value, (list, tuple)):
        element_type = infer(value[0])[0] if value else UINT8
        return ARRAY, list(value), element_type
    raise TypeError("no GGUF type for %r" % (value,))


def encode_value(type_, value, element_type=None):
    if type_ in SCALAR_FORMATS:
        return struct.pack(SCALAR_FORMATS[type_], value)
    if type_ == STRING:
        raw = value.encode("utf-8", errors="surrogateescape")
        return struct.pack("<Q", len(raw)) + raw
    if type_ == ARRAY:
        out = [struct.pack("<IQ", element_type, len(value))]
        for v in value:
            if isinstance(v, Typed):
                out.append(encode_value(v.type, v.value, v.element_type))
            elif element_type == ARRAY:
                out.append(encode_value(*infer(v)))
            else:
                out.append(encode_value(element_type, v))
        return b"".join(out)
    raise ValueError("unknown value type %d" % type_)


def encode(metadata, tensors, alignment=32):
    """Bytes of a GGUF v3 file. metadata: {key: value} (see infer) in order; tensors:
    [(name, array, type name)] in order; arrays are float arrays quantized to their type."""
    if alignment != 32 and "general.alignment" not in metadata:
        metadata = dict(metadata)
        metadata["general.alignment"] = Typed(UINT32, alignment)
    out = [MAGIC, struct.pack("<IQQ", 3, len(tensors), len(metadata))]
    for key, value in metadata.items():
        type_, v, element_type = infer(value)
        out.append(encode_value(STRING, key))
        out.append(struct.pack("<I", type_))
        out.append(encode_value(type_, v, element_type))
    blobs = []
    offset = 0
    for name, array, type_name in tensors:
        array = np.asarray(array)
        blob = quantize(array.reshape(-1), type_name)
        dims = list(reversed(array.shape)) or [1]
        out.append(encode_value(STRING, name))
        out.append(struct.pack("<I", len(dims)) + struct.pack("<%dQ" % len(dims), *dims))
        out.append(struct.pack("<IQ", TENSOR_TYPES[type_name][0], offset))
        blobs.append((offset, blob))
        offset = -(-(offset + len(blob)) // alignment) * alignment
    head = b"".join(out)
    head += b"\0" * (-len(head) % alignment)
    data = bytearray(offset)
    for at, blob in blobs:
        data[at:at + len(blob)] = blob
    return head + bytes(data)


def write(path, metadata, tensors, alignment=32):
    data = encode(metadata, tensors, alignment)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    import os
    os.replace(path + ".tmp", path)


# ---------------------------------------------------------------------------------------------
# Blocks: dequantization, exactly in float64


def halves(raw):
    """float16 bytes widened exactly to float64."""
    return np.frombuffer(bytes(raw), dtype="<f2").astype(np.float64)


def blocks_of(raw, type_name):
    _, values, size = TENSOR_TYPES[type_name]
    data = np.frombuffer(bytes(raw), dtype=np.uint8)
    if data.size % size:
        raise ValueError("%d bytes are not whole %s blocks" % (data.size, type_name))
    return data.reshape(-1, size)


def nibbles(qs):
    """Values j < 16 from low nibbles, j >= 16 from high nibbles, per 32-value block."""
    return np.concatenate([qs & 15, qs >> 4], axis=1).astype(np.int64)


def k_scales_mins(scales):
    """The 8 six-bit scales and mins of Q4_K and Q5_K from their 12 bytes."""
    s = scales.astype(np.int64)
    sc = np.empty((s.shape[0], 8), dtype=np.int64)
    mn = np.empty((s.shape[0], 8), dtype=np.int64)
    sc[:, :4] = s[:, 0:4] & 63
    mn[:, :4] = s[:, 4:8] & 63
    sc[:, 4:] = (s[:, 8:12] & 15) | ((s[:, 0:4] >> 6) << 4)
    mn[:, 4:] = (s[:, 8:12] >> 4) | ((s[:, 4:8] >> 6) << 4)
    return sc, mn


def q3_scales(scales):
    s = scales.astype(np.int64)
    k = np.arange(16)
    low = np.where(k < 8, s[:, k % 8] & 15, s[:, k % 8] >> 4)
    high = (s[:, 8 + k % 4] >> (2 * (k // 4))) & 3
    return (low | (high << 4)) - 32


def two_bit_layout(qs):
    """The 256 2-bit values of Q2_K/Q3_K's qs[64], in value order, and their sub-blocks."""
    q = qs.astype(np.int64).reshape(-1, 2, 2, 16)  # [block, h, k, l] of qs[32h + 16k + l]
    out = np.empty((qs.shape[0], 2, 4, 2, 16), dtype=np.int64)  # [block, h, j, k, l]
    for j in range(4):
        out[:, :, j] = (q >> (2 * j)) & 3
    return out.reshape(-1, 256)


def dequantize(raw, type_name):
    if type_name == "F32":
        return np.frombuffer(bytes(raw), dtype="<f4").astype(np.float64)
    if type_name == "F16":
        return halves(raw)
    if type_name == "F64":
        return np.frombuffer(bytes(raw), dtype="<f8").astype(np.float64)
    if type_name == "BF16":
        bits = np.frombuffer(bytes(raw), dtype="<u2").astype(np.uint32) << 16
        return bits.view(np.float32).astype(np.float64)
    b = blocks_of(raw, type_name)
    if type_name == "Q8_0":
        d = halves(b[:, 0:2])[:, None]
        return (d * b[:, 2:].view(np.int8).astype(np.float64)).reshape(-1)
    if type_name in ("Q4_0", "Q4_1"):
        d = halves(b[:, 0:2])[:, None]
        if type_name == "Q4_0":
            return (d * (nibbles(b[:, 2:]) - 8)).reshape(-1)
        m = halves(b[:, 2:4])[:, None]
        return (d * nibbles(b[:, 4:]) + m).reshape(-1)
    if type_name in ("Q5_0", "Q5_1"):
        d = halves(b[:, 0:2])[:, None]
        start = 2 if type_name == "Q5_0" else 4
        qh = b[:, start:start + 4].copy().view("<u4").astype(np.int64)
        high = (qh >> np.arange(32)) & 1
        q = nibbles(b[:, start + 4:]) | (high << 4)
        if type_name == "Q5_0":
            return (d * (q - 16)).reshape(-1)
        m = halves(b[:, 2:4])[:, None]
        return (d * q + m).reshape(-1)
    if type_name == "Q2_K":
        scales = b[:, 0:16].astype(np.int64)
        q = two_bit_layout(b[:, 16:80])
        d = halves(b[:, 80:82])[:, None]
        dmin = halves(b[:, 82:84])[:, None]
        sub = np.repeat(np.arange(16), 16)  # value order is sub-block order for Q2_K
        return (d * (scales[:, sub] & 15) * q - dmin * (scales[:, sub] >> 4)).reshape(-1)
    if type_name == "Q3_K":
        hmask = b[:, 0:32].astype(np.int64)
        q = two_bit_layout(b[:, 32:96])
        scales = q3_scales(b[:, 96:108])
        d = halves(b[:, 108:110])[:, None]
        # hbit of value 128h + 32j + 16k + l is bit 4h + j of hmask[16k + l]
        v = np.arange(256)
        h, j, k, l = v // 128, (v // 32) % 4, (v // 16) % 2, v % 16
        hbit = (hmask[:, 16 * k + l] >> (4 * h + j)) & 1
        sub = np.repeat(np.arange(16), 16)
        return (d * scales[:, sub] * (q - 4 * (1 - hbit))).reshape(-1)
    if type_name in ("Q4_K", "Q5_K"):
        d = halves(b[:, 0:2])[:, None]
        dmin = halves(b[:, 2:4])[:, None]
        sc, mn = k_scales_mins(b[:, 4:16])
        qs = b[:, 16:144] if type_name == "Q4_K" else b[:, 48:176]
        qs = qs.astype(np.int64).reshape(-1, 4, 32)  # [block, g, l]
        q = np.stack([qs & 15, qs >> 4], axis=2)  # [block, g, half, l]
        if type_name == "Q5_K":
            qh = b[:, 16:48].astype(np.int64)[:, None, None, :]
            bit = 2 * np.arange(4)[:, None] + np.arange(2)[None, :]  # [g, half]
            q = q | (((qh >> bit[None, :, :, None]) & 1) << 4)
        q = q.reshape(-1, 256)
        sub = np.repeat(np.arange(8), 32)
        return (d * sc[:, sub] * q - dmin * mn[:, sub]).reshape(-1)
    if type_name == "Q6_K":
        ql = b[:, 0:128].astype(np.int64).reshape(-1, 2, 2, 32)  # [block, h, c%2, l]
        qh = b[:, 128:192].astype(np.int64).reshape(-1, 2, 32)  # [block, h, l]
        scales = b[:, 192:208].view(np.int8).astype(np.int64)
        d = halves(b[:, 208:210])[:, None]
        q = np.empty((b.shape[0], 2, 4, 32), dtype=np.int64)  # [block, h, c, l]
        for c in range(4):
            low = ql[:, :, c % 2] & 15 if c < 2 else ql[:, :, c % 2] >> 4
            q[:, :, c] = low | (((qh >> (2 * c)) & 3) << 4)
        q = q.reshape(-1, 256) - 32
        v = np.arange(256)
        sub = 8 * (v // 128) + 2 * ((v // 32) % 4) + (v % 32) // 16
        return (d * scales[:, sub] * q).reshape(-1)
    raise ValueError("unknown tensor type %s" % type_name)


# ---------------------------------------------------------------------------------------------
# Blocks: quantization (simple per-block and per-sub-block scales; any valid block will do)


def f16(x):
    """x rounded to float16, clamped to its finite range, as float64."""
    return np.clip(np.asarray(x, dtype=np.float64), -65504.0, 65504.0).astype(np.float16)


def safe_div(a, b):
    return np.divide(a, b, out=np.zeros(np.broadcast(a, b).shape), where=b != 0)


def pack_nibbles(q):
    """32 values per row: j < 16 into low nibbles, j >= 16 into high nibbles."""
    return (q[:, :16] | (q[:, 16:] << 4)).astype(np.uint8)


def pack_two_bit(q):
    """Inverse of two_bit_layout: 256 2-bit values per row into qs[64]."""
    q = q.reshape(-1, 2, 4, 2, 16)
    qs = np.zeros((q.shape[0], 2, 2, 16), dtype=np.int64)
    for j in range(4):
        qs |= q[:, :, j] << (2 * j)
    return qs.reshape(-1, 64).astype(np.uint8)


def pack_k_scales(sc, mn):
    """Inverse of k_scales_mins: 8 six-bit scales and mins into 12 bytes."""
    out = np.zeros((sc.shape[0], 12), dtype=np.int64)
    out[:, 0:4] = sc[:, :4] | ((sc[:, 4:] >> 4) << 6)
    out[:, 4:8] = mn[:, :4] | ((mn[:, 4:] >> 4) << 6)
    out[:, 8:12] = (sc[:, 4:] & 15) | ((mn[:, 4:] & 15) << 4)
    return out.astype(np.uint8)


def halves_bytes(h):
    return np.asarray(h, dtype="<f2").reshape(-1, 1).view(np.uint8).reshape(-1, 2)


def quantize(values, type_name):
    """Bytes of float values in a tensor type; the count must be whole blocks."""
    x = np.asarray(values, dtype=np.float64).reshape(-1)
    if type_name == "F32":
        return x.astype("<f4").tobytes()
    if type_name == "F16":
        return x.astype("<f2").tobytes()
    if type_name == "F64":
        return x.astype("<f8").tobytes()
    if type_name == "BF16":
        bits = x.astype(np.float32).view(np.uint32).astype(np.uint64)
        rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16  # to nearest, ties to even
        return rounded.astype("<u2").tobytes()
    _, block, _ = TENSOR_TYPES[type_name]
    if x.size % block:
        raise ValueError("%d values are not whole %s blocks of %d" % (x.size, type_name, block))
    x = x.reshape(-1, block)
    n = x.shape[0]
    if type_name == "Q8_0":
        d = f16(np.abs(x).max(axis=1) / 127)
        q = np.clip(np.rint(safe_div(x, d.astype(np.float64)[:, None])), -127, 127)
        return np.concatenate([halves_bytes(d), q.astype(np.int8).view(np.uint8)], 1).tobytes()
    if type_name in ("Q4_0", "Q5_0"):
        bits = 4 if type_name == "Q4_0" else 5
        top = 2 ** (bits - 1)
        d = f16(np.abs(x).max(axis=1) / (top - 1))
        q = np.clip(np.rint(safe_div(x, d.astype(np.float64)[:, None])), -top, top - 1)
        q = q.astype(np.int64) + top
        parts = [halves_bytes(d)]
        if bits == 5:
            qh = ((q >> 4) << np.arange(32)).sum(axis=1).astype("<u4")
            parts.append(qh.reshape(-1, 1).view(np.uint8))
        parts.append(pack_nibbles(q & 15))
        return np.concatenate(parts, 1).tobytes()
    if type_name in ("Q4_1", "Q5_1"):
        levels = 15 if type_name == "Q4_1" else 31
        m = f16(x.min(axis=1))
        d = f16((x.max(axis=1) - m.astype(np.float64)) / levels)
        q = np.clip(np.rint(safe_div(x - m.astype(np.float64)[:, None],
                                     d.astype(np.float64)[:, None])), 0, levels).astype(np.int64)
        parts = [halves_bytes(d), halves_bytes(m)]
        if levels == 31:
            qh = ((q >> 4) << np.arange(32)).sum(axis=1).astype("<u4")
            parts.append(qh.reshape(-1, 1).view(np.uint8))
        parts.append(pack_nibbles(q & 15))
        return np.concatenate(parts, 1).tobytes()
    if type_name in ("Q2_K", "Q4_K", "Q5_K"):
        sub_size = 16 if type_name == "Q2_K" else 32
        levels = {"Q2_K": 3, "Q4_K": 15, "Q5_K": 31}[type_name]
        scale_levels = 15 if type_name == "Q2_K" else 63
        s = x.reshape(n, -1, sub_size)
        low = np.minimum(s.min(axis=2), 0.0)  # x = scale*q - min, min >= 0
        scale = (s.max(axis=2) - low) / levels
        d = f16(scale.max(axis=1) / scale_levels)
        dmin = f16(-low.min(axis=1) / scale_levels)
        dd, dm = d.astype(np.float64)[:, None], dmin.astype(np.float64)[:, None]
        sc = np.clip(np.ceil(safe_div(scale, dd)), 0, scale_levels).astype(np.int64)
        mn = np.clip(np.rint(safe_div(-low, dm)), 0, scale_levels).astype(np.int64)
        step = (dd * sc)[:, :, None]
        q = np.clip(np.rint(safe_div(s + (dm * mn)[:, :, None], step)), 0, levels)
        q = q.astype(np.int64).reshape(n, 256)
        if type_name == "Q2_K":
            return np.concatenate([(sc | (mn << 4)).astype(np.uint8), pack_two_bit(q),
                                   halves_bytes(d), halves_bytes(dmin)], 1).tobytes()
        g = q.reshape(n, 4, 2, 32)  # [block, g, half, l]
        qs = ((g[:, :, 0] & 15) | ((g[:, :, 1] & 15) << 4)).reshape(n, 128).astype(np.uint8)
        parts = [halves_bytes(d), halves_bytes(dmin), pack_k_scales(sc, mn)]
        if type_name == "Q5_K":
            bit = 2 * np.arange(4)[:, None] + np.arange(2)[None, :]
            qh = ((g >> 4) << bit[None, :, :, None]).sum(axis=(1, 2)).astype(np.uint8)
            parts.append(qh)
        parts.append(qs)
        return np.concatenate(parts, 1).tobytes()
    if type_name == "Q3_K":
        s = x.reshape(n, 16, 16)
        scale = np.abs(s).max(axis=2) / 3  # q in -3..3 of the -4..3 the block holds
        d = f16(scale.max(axis=1) / 31)
        dd = d.astype(np.float64)[:, None]
        sc = np.clip(np.ceil(safe_div(scale, dd)), 0, 31).astype(np.int64)
        q = np.clip(np.rint(safe_div(s, (dd * sc)[:, :, None])), -4, 3).astype(np.int64)
        u = q.reshape(n, 256) + 4
        v = np.arange(256)
        h, j, k, l = v // 128, (v // 32) % 4, (v // 16) % 2, v % 16
        hmask = np.zeros((n, 32), dtype=np.int64)
        np.add.at(hmask, (slice(None), 16 * k + l), (u >> 2) << (4 * h + j))
        s6 = sc + 32
        scales = np.zeros((n, 12), dtype=np.int64)
        for t in range(16):
            if t < 8:
                scales[:, t] |= s6[:, t] & 15
            else:
                scales[:, t - 8] |= (s6[:, t] & 15) << 4
            scales[:, 8 + t % 4] |= (s6[:, t] >> 4) << (2 * (t // 4))
        return np.concatenate([hmask.astype(np.uint8), pack_two_bit(u & 3),
                               scales.astype(np.uint8), halves_bytes(d)], 1).tobytes()
    if type_name == "Q6_K":
        s = x.reshape(n, 16, 16)
        scale = np.abs(s).max(axis=2) / 31  # q in -31..31 of the -32..31 the block holds
        d = f16(scale.max(axis=1) / 127)
        dd = d.astype(np.float64)[:, None]
        sc = np.clip(np.ceil(safe_div(scale, dd)), 0, 127).astype(np.int64)
        q = np.clip(np.rint(safe_div(s, (dd * sc)[:, :, None])), -32, 31).astype(np.int64)
        u = (q.reshape(n, 2, 4, 32) + 32)  # [block, h, c, l]
        ql = np.zeros((n, 2, 2, 32), dtype=np.int64)
        qh = np.zeros((n, 2, 32), dtype=np.int64)
        for c in range(4):
            ql[:, :, c % 2] |= (u[:, :, c] & 15) << (0 if c < 2 else 4)
            qh |= (u[:, :, c] >> 4) << (2 * c)
        return np.concatenate([ql.reshape(n, 128).astype(np.uint8),
                               qh.reshape(n, 64).astype(np.uint8),
                               sc.astype(np.int8).view(np.uint8), halves_bytes(d)],
                              1).tobytes()
    raise ValueError("unknown tensor type %s" % type_name)


# ---------------------------------------------------------------------------------------------
# Commands


def show(type_, value):
    if isinstance(value, Typed):
        items = value.value
        head = ", ".join(show(value.element_type, v) for v in items[:4])
        more = ", ..." if len(items) > 4 else ""
        return "[%s%s] (%d %s)" % (head, more, len(items), VALUE_NAMES[value.element_type])
    if type_ == STRING:
        return json.dumps(value)
    if type_ in (FLOAT32, FLOAT64):
        return repr(float(value))
    return str(value)


def dump(path, out=sys.stdout):
    f = read(path)
    out.write("GGUF version %d, alignment %d, data at %d\n" % (f.version, f.alignment,
                                                               f.data_offset))
    out.write("%d metadata keys:\n" % len(f.metadata))
    for key, (type_, value) in f.metadata.items():
        out.write("  %s: %s = %s\n" % (key, VALUE_NAMES[type_], show(type_, value)))
    out.write("%d tensors:\n" % len(f.tensors))
    for t in f.tensors:
        out.write("  %-32s %-5s %-24s offset %d, %d bytes\n" % (
            t["name"], t["type"], "x".join(str(d) for d in t["dims"]), t["offset"], t["bytes"]))


def typed_from_json(value):
    if isinstance(value, dict):
        type_ = VALUE_NAMES.index(value["type"])
        if type_ == ARRAY:
            element = VALUE_NAMES.index(value["element_type"])
            return Typed(ARRAY, [typed_from_json(v) if isinstance(v, dict) else v
                                 for v in value["value"]], element)
        return Typed(type_, value["value"])
    return value


def write_command(args):
    import argparse
    p = argparse.ArgumentParser(prog="gguf.py write")
    p.add_argument("out")
    p.add_argument("--npz", required=True)
    p.add_argument("--metadata")
    p.add_argument("--type", action="append", default=[], metavar="NAME=TYPE")
    p.add_argument("--default-type", default="F32", choices=sorted(TENSOR_TYPES))
    p.add_argument("--alignment", type=int, default=32)
    a = p.parse_args(args)
    types = dict(t.split("=", 1) for t in a.type)
    metadata = {}
    if a.metadata:
        with open(a.metadata) as f:
            metadata = {k: typed_from_json(v) for k, v in json.load(f).items()}
    arrays = np.load(a.npz)
    tensors = [(name, arrays[name], types.get(name, a.default_type)) for name in arrays.files]
    write(a.out, metadata, tensors, a.alignment)


def selftest():
    rng = np.random.default_rng(7)
    # Every value type, nested arrays, and a tensor of each type read back.
    metadata = {
        "general.architecture": "llama", "u8": Typed(UINT8, 200), "i8": Typed(INT8, -100),
        "u16": Typed(UINT16, 60000), "i16": Typed(INT16, -30000), "u32": 4000000000,
        "i32": -5, "f32": 1e-5, "b": True, "u64": Typed(UINT64, 2**64 - 1),
        "i64": Typed(INT64, -2**63), "f64": Typed(FLOAT64, 0.1),
        "tokens": ["<s>", "a", "é"], "nested": Typed(ARRAY, [[1, 2], [3]], ARRAY),
    }
    tensors = []
    originals = {}
    for name in TENSOR_TYPES:
        _, block, _ = TENSOR_TYPES[name]
        values = rng.standard_normal((3, 2 * max(block, 32))) * 0.05
        values[1] += 0.03  # a row with an offset, for the minimum-keeping types
        values[2, :block] = 0.0  # a block of zeros
        tensors.append(("t." + name, values, name))
        originals[name] = values
    data = encode(metadata, tensors, alignment=64)
    f = GgufFile(data)
    assert f.version == 3 and f.alignment == 64 and f.data_offset % 64 == 0
    assert f.value("u8") == 200 and f.value("i8") == -100 and f.value("u64") == 2**64 - 1
    assert f.value("i64") == -2**63 and f.value("f64") == 0.1 and f.value("b") is True
    assert f.value("f32") == 9.999999747378752e-06, f.value("f32")
    assert f.value("tokens") == ["<s>", "a", "é"] and f.value("nested") == [[1, 2], [3]]
    assert f.metadata["nested"][1].element_type == ARRAY
    # Error bound of each type: a fraction of the block's largest magnitude.
    bounds = {"F32": 1e-7, "F16": 1e-3, "BF16": 1e-2, "F64": 0.0, "Q8_0": 0.01, "Q4_0": 0.1,
              "Q4_1": 0.05, "Q5_0": 0.05, "Q5_1": 0.03, "Q2_K": 0.35, "Q3_K": 0.2,
              "Q4_K": 0.1, "Q5_K": 0.05, "Q6_K": 0.03}
    for name in TENSOR_TYPES:
        t = f.tensor("t." + name)
        assert t["offset"] % 64 == 0 and t["type"] == name
        got = f.dequantize("t." + name)
        want = originals[name]
        assert got.shape == want.shape, (name, got.shape)
        error = np.abs(got - want).max() / np.abs(want).max()
        assert error <= bounds[name], (name, error)
        assert np.all(got[2, :TENSOR_TYPES[name][1]] == 0.0), name
        # Quantizing what came out gives the same values again for the plain types.
        if name in ("F32", "F16", "BF16", "F64"):
            assert np.array_equal(dequantize(quantize(got.reshape(-1), name), name),
                                  got.reshape(-1)), name
    # Hand-made blocks with known values, one per layout rule.
    one = np.float16(1.0).tobytes()
    half = np.float16(0.5).tobytes()
    q8 = one + bytes(np.arange(-16, 16, dtype=np.int8).view(np.uint8))
    assert list(dequantize(q8, "Q8_0")) == list(range(-16, 16))
    q4 = half + bytes([0x10 + j for j in range(16)])  # low nibble j, high nibble 1
    assert list(dequantize(q4, "Q4_0")) == [0.5 * (j - 8) for j in range(16)] + [-3.5] * 16
    q41 = one + np.float16(-2.0).tobytes() + bytes([0xF0 | j for j in range(16)])
    assert list(dequantize(q41, "Q4_1")) == [j - 2.0 for j in range(16)] + [13.0] * 16
    q5 = one + struct.pack("<I", 0x80000001) + bytes(16)
    expect = [-16.0] * 32
    expect[0], expect[31] = 0.0, 0.0
    assert list(dequantize(q5, "Q5_0")) == expect
    q6 = np.zeros(210, dtype=np.uint8)
    q6[0] = 0x21  # ql[0]: value 0 low nibble 1, value 64 high nibble 2
    q6[128] = 0b00100111  # qh[0]: value 0 high bits 3, value 32 1, value 64 2
    q6[192:208] = np.arange(1, 17)
    q6[208:210] = np.frombuffer(one, dtype=np.uint8)
    v6 = dequantize(q6.tobytes(), "Q6_K")
    assert v6[0] == 1 * (49 - 32) and v6[32] == 3 * (16 - 32) and v6[64] == 5 * (34 - 32)
    assert v6[1] == -32.0 and v6[128] == 9 * -32.0

    def block(size, fields):
        out = np.zeros(size, dtype=np.uint8)
        for at, content in fields.items():
            content = np.frombuffer(bytes(content), dtype=np.uint8)
            out[at:at + content.size] = content
        return out.tobytes()

    scales = bytes([(s + 1) | 0x10 for s in range(16)])  # scale s+1, min 1
    q2 = block(84, {0: scales, 16: [0b11100100], 32: [3], 48: [0b1100], 80: one + half})
    v2 = dequantize(q2, "Q2_K")
    assert (v2[0], v2[32], v2[64], v2[96]) == (-0.5, 2.5, 9.5, 20.5)
    assert (v2[16], v2[160], v2[1]) == (5.5, 32.5, -0.5)
    q3 = block(110, {0: [1], 16: [0x10], 32: [3], 96: [0x22] * 8 + [0xAA] * 3 + [0x2A],
                     108: one})
    v3 = dequantize(q3, "Q3_K")  # every scale 2 but the last, -30
    assert (v3[0], v3[32], v3[144], v3[1], v3[255]) == (6.0, -8.0, 0.0, -8.0, 120.0)
    # scales 1 2 3 4 21 5 5 5, mins 0 0 0 0 1 1 1 1
    k_scales = [0x41, 2, 3, 4, 0, 0, 0, 0, 0x15, 0x15, 0x15, 0x15]
    q4k = block(144, {0: one + one, 4: k_scales, 16: [0x21], 80: [0x02], 112: [0x73]})
    v4 = dequantize(q4k, "Q4_K")
    assert (v4[0], v4[32], v4[128], v4[192], v4[224]) == (1.0, 4.0, 41.0, 14.0, 34.0)
    q5k = block(176, {0: one + one, 4: k_scales, 16: [0b10000010], 48: [0x21], 144: [0x73]})
    v5 = dequantize(q5k, "Q5_K")
    assert (v5[0], v5[32], v5[192], v5[224]) == (1.0, 36.0, 14.0, 114.0)
    print("gguf.py selftest ok")


def write_fixture(path):
    """The C++ reader's test file: one two-row tensor of each type, seeded values."""
    rng = np.random.default_rng(11)
    tensors = []
    for name, (_, block, _) in TENSOR_TYPES.items():
        tensors.append(("t." + name, rng.standard_normal((2, max(block, 32))), name))
    write(path, {"general.architecture": "test", "general.name": "every tensor type"}, tensors)


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0 if len(argv) >= 2 else 2
    command = argv[1]
    if command == "selftest" and np is None:
        print("gguf.py selftest: skipped, this interpreter has no numpy")
        return 77
    if np is None:
        sys.stderr.write("gguf.py: needs numpy (Debian: python3-numpy, /usr/bin/python3)\n")
        return 1
    if command == "dump" and len(argv) == 3:
        dump(argv[2])
    elif command == "write":
        write_command(argv[2:])
    elif command == "selftest" and len(argv) == 2:
        selftest()
    elif command == "fixture" and len(argv) == 3:
        write_fixture(argv[2])
    else:
        sys.stderr.write("usage: gguf.py dump FILE | write OUT --npz FILE ... | selftest"
                         " | fixture OUT\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

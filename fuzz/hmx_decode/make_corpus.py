#!/usr/bin/env python3
"""Writes the seed corpus of the indication decoder: a few well-formed
indications and near misses, each a raw encoded body."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent / "corpus"


def tlv(kind, value):
    return struct.pack("<BH", kind, len(value)) + value


def indication(payload, client_id=0x0102030405060708):
    return (tlv(0x01, struct.pack("<Q", client_id))
            + tlv(0x02, struct.pack("<H", len(payload)) + payload))


SEEDS = {
    "empty_payload": indication(b""),
    "small_payload": indication(bytes(range(16))),
    "full_payload": indication(bytes(i & 0xFF for i in range(1000))),
    "extra_tlv": indication(b"\x0a\x0b") + tlv(0x10, b"\xff\xff"),
    "low_unknown_tlv": indication(b"\x01") + tlv(0x03, b"\x00"),
    "duplicate_tlv": indication(b"\x01") + tlv(0x02, b"\x00\x00"),
    "missing_id": tlv(0x02, b"\x01\x00\x42"),
    "overlong_tlv": b"\x01\x10\x00\x01\x02",
}

if __name__ == "__main__":
    HERE.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (HERE / name).write_bytes(data)

#!/usr/bin/env python3
"""Writes the seed corpus of the indication decoder: a few well-formed
indications and near misses, each a raw encoded body, and one body for each
way the decoder's own tests find an indication malformed."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent / "corpus"


def tlv(kind, value):
    return struct.pack("<BH", kind, len(value)) + value


def indication(payload, client_id=0x0102030405060708):
    return (tlv(0x01, struct.pack("<Q", client_id))
            + tlv(0x02, struct.pack("<H", len(payload)) + payload))


def patched(body, at, value):
    return body[:at] + bytes([value]) + body[at + 1:]


SEEDS = {
    "empty_payload": indication(b""),
    "small_payload": indication(bytes(range(16))),
    "full_payload": indication(bytes(i & 0xFF for i in range(1000))),
    "extra_tlv": indication(b"\x0a\x0b") + tlv(0x10, b"\xff\xff"),
    "low_unknown_tlv": indication(b"\x01") + tlv(0x03, b"\x00"),
    "duplicate_tlv": indication(b"\x01") + tlv(0x02, b"\x00\x00"),
    "missing_id": tlv(0x02, b"\x01\x00\x42"),
    "overlong_tlv": b"\x01\x10\x00\x01\x02",
    "nothing": b"",
    "unknown_tlvs_around": tlv(0x10, b"\xff\xff") + indication(b"\x01\x02") + tlv(0xFF, b""),
    "tlv_claims_more": patched(indication(b"\x01\x02"), 12, 0x10),
    "count_past_tlv": patched(indication(b"\x01\x02"), 14, 0x03),
    "tlv_longer_than_field": patched(indication(b"\x01\x02"), 12, 0x05) + b"\x00",
    "short_id": tlv(0x01, b"\x01\x02\x03\x04"),
    "truncated_tlv_header": indication(b"\x01\x02") + b"\x20\x00",
    "payload_1001": indication(bytes([0x77]) * 1001),
}

if __name__ == "__main__":
    HERE.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (HERE / name).write_bytes(data)

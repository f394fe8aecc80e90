"""Parses send_sync's output with Python protobuf and the generated srg_pb2, and
checks every record against what send_sync puts in it."""
import sys

import srg_pb2

CHUNKS = [b"alpha", b"beta", b"gamma"]


def frames(data):
    at = 0
    while at < len(data):
        length, shift = 0, 0
        while True:
            byte = data[at]
            at += 1
            length |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        yield data[at:at + length]
        at += length


def main():
    records = [srg_pb2.srg_sync_msg.FromString(f) for f in frames(sys.stdin.buffer.read())]
    assert len(records) == 3, len(records)
    for seq, m in enumerate(records, start=1):
        present = sorted(f.name for f, _ in m.ListFields())
        assert present == ["f1", "f11", "f15", "f18", "f6"], present
        assert m.f1 == seq and m.f6 == b"node-%d" % seq and m.f11 == 0xC0000200 + seq, m
        assert m.f18 == (seq == 3), m
        assert [(p.f1, p.HasField("f2"), p.f3) for p in m.f15] == \
            [(i, False, CHUNKS[i]) for i in range(seq)], m
    print("python read %d records" % len(records))


if __name__ == "__main__":
    main()

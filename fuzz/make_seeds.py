#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the worked examples of the protocol, the codec and the command line, and one
reply of every kind (success, every result code, wrong operation or length, cut short), so
that fuzzing starts from inputs that reach deep into each code path. Run it again after
changing a seed; the files are committed.
"""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OPEN, READ, WRITE, DATALESS, CLOSE = range(5)
SAN, LAN = 1, 0
FLOOR = 0x200000


def header(op, length, magic=0x3535, seq=0, crc=0):
    return struct.pack("<HHHIII", magic, 0, op, seq, length, crc)


def reply(op, payload):
    return header(op, len(payload)) + payload


def result(op, code):
    return reply(op, struct.pack("<H", code))


def opened(op, code=0, handle=7):
    return reply(op, struct.pack("<HI", code, handle))


def transfer(op, code, count, records=b""):
    return reply(op, struct.pack("<HI", code, count) + records)


def lun_id(k):
    return bytes((0x60 + 0x11 * i + k) & 0xFF for i in range(16))


def rec(lun, phy, length):
    ident = lun_id(lun) if isinstance(lun, int) else lun
    return ident + b"\xee" * 24 + struct.pack("<QQ", phy, length) + b"\xdd" * 8


def san_map(records, code=0, count=None):
    body = b"".join(records)
    return transfer(12, code, len(records) if count is None else count, body)


def call(kind, length=4096, cap=0, page=0):
    return bytes([kind]) + struct.pack("<H", length - 1) + bytes([cap, page])


def replies_input(mode, calls, stream, read_only=False):
    cfg = mode | (2 if read_only else 0)
    return bytes([cfg, len(calls) - 1]) + b"".join(calls) + stream


def replies_seeds():
    data = bytes((i * 7) & 0xFF for i in range(4096))
    s = {}
    lan_open, lan_close = opened(1), result(2, 0)
    s["lan_session"] = replies_input(LAN, [call(OPEN), call(READ), call(WRITE), call(DATALESS), call(CLOSE)],
                                     lan_open + transfer(3, 0, 4096) + data + transfer(4, 0, 0)
                                     + transfer(5, 0, 0) + lan_close)
    for code in range(1, 6):
        s["lan_open_result_%d" % code] = replies_input(LAN, [call(OPEN), call(CLOSE)], opened(1, code) + lan_close)
    for code in (1, 5, 14):
        s["lan_close_result_%d" % code] = replies_input(LAN, [call(OPEN), call(CLOSE)], lan_open + result(2, code))
    for code in list(range(1, 15)):
        s["lan_read_result_%d" % code] = replies_input(LAN, [call(OPEN), call(READ), call(CLOSE)],
                                                       lan_open + transfer(3, code, 0) + lan_close)
        s["lan_write_result_%d" % code] = replies_input(LAN, [call(OPEN), call(WRITE), call(CLOSE)],
                                                        lan_open + transfer(4, code, 0) + lan_close)
    s["lan_read_count_zero"] = replies_input(LAN, [call(OPEN), call(READ)], lan_open + transfer(3, 0, 0))
    s["lan_read_shorter"] = replies_input(LAN, [call(OPEN), call(READ), call(CLOSE)],
                                          lan_open + transfer(3, 0, 100) + data[:100] + lan_close)
    s["lan_read_does_not_fit"] = replies_input(LAN, [call(OPEN), call(READ, 4096, 200), call(CLOSE)],
                                               lan_open + transfer(3, 0, 4096) + data + lan_close)
    s["lan_read_data_cut"] = replies_input(LAN, [call(OPEN), call(READ)], lan_open + transfer(3, 0, 4096) + data[:1000])
    s["lan_wrong_operations"] = replies_input(LAN, [call(OPEN), call(OPEN), call(READ), call(WRITE), call(DATALESS), call(CLOSE)],
                                              opened(10) + reply(1, b"\0" * 5) + transfer(12, 0, 1)
                                              + transfer(5, 0, 0) + transfer(4, 0, 0) + reply(2, b"\0" * 3))
    s["lan_short_payloads"] = replies_input(LAN, [call(OPEN), call(READ), call(WRITE)],
                                            lan_open + reply(3, b"") + reply(4, b"\0"))
    s["lan_odd_header_fields"] = replies_input(LAN, [call(OPEN), call(CLOSE)],
                                               header(1, 6, 0xFFFF, 99, 0xDEADBEEF) + struct.pack("<HI", 0, 3)
                                               + header(2, 2, 0, 7, 1) + b"\0\0")
    s["lan_huge_length"] = replies_input(LAN, [call(OPEN), call(READ)], lan_open + header(3, 0xFFFFFFFF))
    s["cut_header"] = replies_input(LAN, [call(OPEN), call(OPEN)], lan_open[:9])
    s["empty_stream"] = replies_input(LAN, [call(OPEN), call(READ), call(WRITE), call(CLOSE)], b"")

    san_open, san_close = opened(10), result(11, 0)
    # The worked example: one extent of 4096 bytes at 2 MiB.
    s["san_worked_example"] = replies_input(SAN, [call(OPEN), call(READ), call(CLOSE)],
                                            san_open + san_map([rec(0, FLOOR, 4096)]) + san_close)
    s["san_session"] = replies_input(SAN, [call(OPEN), call(READ, 12288), call(WRITE, 8192), call(CLOSE)],
                                     san_open
                                     + san_map([rec(0, FLOOR, 4096), rec(0, 0, 4096), rec(1, FLOOR + 8192, 4096)])
                                     + san_map([rec(1, FLOOR + 4096, 4096), rec(0, FLOOR + 65536, 4096)])
                                     + san_close)
    s["san_read_only_luns"] = replies_input(SAN, [call(OPEN), call(WRITE), call(CLOSE)],
                                            san_open + san_map([rec(0, FLOOR, 4096)]) + san_close, read_only=True)
    s["san_floor_and_unknown"] = replies_input(SAN, [call(OPEN), call(READ), call(WRITE), call(WRITE), call(CLOSE)],
                                               san_open + san_map([rec(0, FLOOR - 1, 4096)])
                                               + san_map([rec(0, 0, 4096)]) + san_map([rec(b"\x01" * 16, FLOOR, 4096)])
                                               + san_close)
    s["san_too_much_data"] = replies_input(SAN, [call(OPEN), call(READ), call(WRITE), call(CLOSE)],
                                           san_open + san_map([rec(0, FLOOR, 4096), rec(1, FLOOR, 1)])
                                           + san_map([rec(0, FLOOR, 8192)]) + san_close)
    s["san_count_beyond_records"] = replies_input(SAN, [call(OPEN), call(READ), call(WRITE)],
                                                  san_open + san_map([rec(0, FLOOR, 4096)], count=3)
                                                  + san_map([rec(0, FLOOR, 4096)], count=0x7FFFFFFF))
    s["san_result_codes"] = replies_input(SAN, [call(OPEN), call(READ), call(WRITE), call(WRITE), call(CLOSE)],
                                          san_open + san_map([], code=9) + san_map([], code=0)
                                          + san_map([rec(0, FLOOR, 16)], code=13) + result(11, 5))
    s["san_buffer_smaller"] = replies_input(SAN, [call(OPEN), call(READ, 4096, 200), call(CLOSE)],
                                            san_open + san_map([rec(0, FLOOR, 4096)]) + san_close)
    s["san_end_of_lun"] = replies_input(SAN, [call(OPEN), call(READ), call(WRITE)],
                                        san_open + san_map([rec(0, FLOOR + 0x20000 - 100, 4096)])
                                        + san_map([rec(1, FLOOR + 0x20000 - 100, 4096)]))
    return s


def base64_seeds():
    s = {}
    for name, raw in (("empty", b""), ("m", b"\x4d"), ("ma", b"\x4d\x61"), ("man", b"\x4d\x61\x6e"),
                      ("fbff", b"\xfb\xff"), ("zeros", b"\0\0\0\0")):
        s["encode_" + name] = raw
    # First byte: output capacity (value % 64), then the text.
    for name, cap, text in (("twfu", 3, b"TWFu"), ("twfu_cap2", 2, b"TWFu"), ("twe", 3, b"TWE"),
                            ("after_pad", 3, b"TWE=garbage!"), ("blank", 3, b"TW Fu"), ("newline", 3, b"TW\nFu"),
                            ("pad_only", 3, b"="), ("long", 63, b"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=")):
        s["decode_" + name] = bytes([cap]) + text
    return s


def argv_seeds():
    # One byte from 0x01 up names a word of the target's table.
    w = {name: bytes([i + 1]) for i, name in enumerate([
        "a.img", "b.img", "c.img", "empty1", "empty2", "missing", "--block-size", "--log-file", "log.txt",
        "1", "4096", "65536", "0", "2113929216", "2113929217", "-1", "18446744073709551616", ".", "/dev/null"])}

    def args(*items):
        return b"\0".join(w.get(i, i.encode() if isinstance(i, str) else i) for i in items)

    return {
        "example": args("a.img", "b.img", "--block-size", "65536"),
        "with_log": args("a.img", "b.img", "--log-file", "log.txt", "--block-size", "1"),
        "identical": args("a.img", "a.img"),
        "usage": args("a.img"),
        "unknown": args("a.img", "b.img", "--verbose"),
        "no_value": args("a.img", "b.img", "--block-size"),
        "zero_block": args("a.img", "b.img", "--block-size", "0"),
        "largest_block": args("a.img", "b.img", "--block-size", "2113929216"),
        "too_large_block": args("a.img", "b.img", "--block-size", "2113929217"),
        "negative_block": args("a.img", "b.img", "--block-size", "-1"),
        "overflow_block": args("a.img", "b.img", "--block-size", "18446744073709551616"),
        "trailing_garbage": args("a.img", "b.img", "--block-size", "12k"),
        "last_wins": args("a.img", "b.img", "--block-size", "7", "--block-size", "4096"),
        "value_like_option": args("a.img", "b.img", "--log-file", "--block-size"),
        "missing": args("missing", "b.img"),
        "sizes_differ": args("a.img", "c.img"),
        "empty_files": args("empty1", "empty2"),
        "directory": args(".", "."),
        "dev_null": args("/dev/null", "empty1"),
    }


def lz4_literals(data):
    """An LZ4 block of literals only: valid for any data."""
    n = len(data)
    if n < 15:
        return bytes([n << 4]) + data
    rest, out = n - 15, bytearray([0xF0])
    while rest >= 255:
        out.append(255)
        rest -= 255
    out.append(rest)
    return bytes(out) + data


# 32 zero bytes: one literal, a match of 26 at distance 1, five literals.
LZ4_32_ZEROS = bytes([0x1F, 0x00, 0x01, 0x00, 0x07, 0x50]) + bytes(5)


def b64(data):
    import base64
    return base64.b64encode(data).decode()


def change(offset, length, block):
    return '{"offset":%d,"length":%d,"data":"%s"}\n' % (offset, length, b64(block))


def beat(offset, last=False):
    return '{"offset":%d,"length":0,"data":"","last":%s}\n' % (offset, "true" if last else "false")


def stream_seeds():
    # First three bytes: the image size, little-endian; then the stream.
    def seed(size, *records):
        return struct.pack("<I", size)[:3] + "".join(records).encode()

    abc = lz4_literals(b"abc")
    return {
        "example": seed(100, change(0, 3, abc), beat(50), change(64, 32, LZ4_32_ZEROS), beat(100, True)),
        "empty_image": seed(0, beat(0, True)),
        "stopped": seed(100, beat(40), beat(60, True)),
        "long_literals": seed(300, change(10, 280, lz4_literals(bytes(range(256)) + bytes(24))), beat(300, True)),
        "no_final": seed(100, change(0, 3, abc)),
        "cut": seed(100, change(0, 3, abc)[:-5]),
        "after_final": seed(100, beat(100, True), beat(100)),
        "backwards": seed(100, change(50, 3, abc), change(10, 3, abc), beat(100, True)),
        "overlap": seed(100, change(0, 32, LZ4_32_ZEROS), change(31, 3, abc), beat(100, True)),
        "beyond": seed(10, change(8, 3, abc), beat(10, True)),
        "wrong_length": seed(100, change(0, 4, abc), beat(100, True)),
        "bad_padding": seed(100, '{"offset":0,"length":3,"data":"MGFiYx=="}\n', beat(100, True)),
        "leading_zero": seed(100, '{"offset":01,"length":3,"data":"MGFiYw=="}\n'),
        "heartbeat_data": seed(100, '{"offset":0,"length":0,"data":"QQ==","last":false}\n'),
        "huge_claim": seed(0xFFFFFF, '{"offset":0,"length":16000000,"data":"AAAA"}\n'),
    }


def manifest(image_size, block_size, blocks):
    digests = b"".join(hashlib.sha256(b).digest() for b in blocks)
    count = len(blocks)
    head = b"ZEVBMAN\n" + struct.pack("<IIQQ", 1, block_size, image_size, count)
    body = head + digests + hashlib.sha256(digests).digest()
    return body + hashlib.sha256(body).digest()


def manifest_seeds():
    good = manifest(10, 4, [b"abcd", b"efgh", b"ij"])
    return {
        "three_blocks": good,
        "empty_image": manifest(0, 65536, []),
        "one_block": manifest(65536, 65536, [bytes(65536)]),
        "damaged_digest": good[:40] + bytes([good[40] ^ 1]) + good[41:],
        "truncated": good[:-1],
        "trailing": good + b"x",
        "wrong_magic": b"ZEVBMAX\n" + good[8:],
        "version_2": good[:8] + struct.pack("<I", 2) + good[12:],
        "zero_block_size": good[:12] + struct.pack("<I", 0) + good[16:],
        "huge_count": good[:24] + struct.pack("<Q", 1 << 62) + good[32:],
        "header_only": good[:32],
    }


def journal_seeds():
    head = ("qv-disk journal 2\ndirection read\ndisk /vm/web/disk0\noffset 4096\nlength 1048576\n"
            "request-size 65536\nlocal /backup/web.img\nserver 127.0.0.1:9443\ntransport LAN+TLS\ninput -\n")
    return {
        "header_only": head.encode(),
        "stretches": (head + "done 4096 69632\ndone 135168 200704\ndone 69632 135168\n").encode(),
        "overlapping": (head + "done 4096 100000\ndone 50000 200000\n").encode(),
        "cut_last_line": (head + "done 4096 69632\ndone 69632 13").encode(),
        "beyond_range": (head + "done 4096 2000000\n").encode(),
        "beyond_output": (head + "done 4096 900000\n").encode(),
        "other_disk": head.replace("disk0", "disk1").encode(),
        "old_version": head.replace("journal 2", "journal 1").encode(),
        "garbage_line": (head + "done 4096 69632 x\ndone 69632 135168\n").encode(),
    }


def main():
    for target, seeds in (("replies", replies_seeds()), ("base64", base64_seeds()), ("argv", argv_seeds()),
                          ("stream", stream_seeds()), ("manifest", manifest_seeds()),
                          ("journal", journal_seeds())):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%s: %d seeds" % (target, len(seeds)), file=sys.stderr)


if __name__ == "__main__":
    main()

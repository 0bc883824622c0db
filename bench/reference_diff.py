#!/usr/bin/python3
"""What a user would otherwise write: the same JSON-lines stream with python3-lz4 and base64.

Usage: reference_diff.py <file1> <file2> [block size]
"""
import base64
import os
import sys

import lz4.block


def main():
    first, second = sys.argv[1], sys.argv[2]
    block_size = int(sys.argv[3]) if len(sys.argv) > 3 else 65536
    fa = os.open(first, os.O_RDONLY)
    fb = os.open(second, os.O_RDONLY)
    size = os.lseek(fa, 0, os.SEEK_END)
    if size != os.lseek(fb, 0, os.SEEK_END):
        sys.exit("files differ in size")
    interval = size // 100 if size >= 100 else 1
    threshold = interval
    processed = 0
    offset = 0
    out = sys.stdout.buffer
    while offset < size:
        length = min(block_size, size - offset)
        a = os.pread(fa, length, offset)
        b = os.pread(fb, length, offset)
        if len(a) != length or len(b) != length:
            print("Error reading block %d" % (offset // block_size), file=sys.stderr)
            break
        if a != b:
            data = base64.b64encode(lz4.block.compress(b, mode="default", store_size=False))
            out.write(b'{"offset":%d,"length":%d,"data":"%s"}\n' % (offset, length, data))
            out.flush()
        processed += length
        if processed >= threshold:
            out.write(b'{"offset":%d,"length":0,"data":"","last":false}\n' % processed)
            out.flush()
            threshold += interval
        offset += block_size
    out.write(b'{"offset":%d,"length":0,"data":"","last":true}\n' % processed)
    out.flush()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""An independent Tessel decoder, written from the format alone.

It shares no code with the library's decoder, so an encoder and a decoder
that agree on the same mistake do not go unnoticed. Usage:

  tessel_reference_decoder.py COMPRESSOR FILE...

COMPRESSOR is a command that prints the Tessel compression of the file named
as its argument. For each FILE the script compresses it, decodes the result
here and compares it with the file. Exit status 0 when every file matches.
"""

import subprocess
import sys


class Bits:
    """Reads a bit stream: 64-bit little-endian words, top bit first."""

    def __init__(self, data, pos):
        self.data = data
        self.pos = pos          # next unread word
        self.value = 0          # unread bits, as an integer
        self.count = 0          # how many bits it holds

    def read(self, n):
        while self.count < n:
            if self.pos + 8 > len(self.data):
                raise ValueError("bit stream runs past the end")
            word = int.from_bytes(self.data[self.pos:self.pos + 8], "little")
            self.pos += 8
            self.value = (self.value << 64) | word
            self.count += 64
        self.count -= n
        result = self.value >> self.count
        self.value &= (1 << self.count) - 1
        return result

    def end(self):
        """Where the next section starts: after the last word read."""
        return self.pos


# Copy codes by type: (length field bits, length added, offset field bits).
COPY_TYPES = {2: (2, 4, 10), 3: (2, 4, 13), 4: (2, 4, 16),
              5: (3, 8, 10), 6: (3, 8, 16), 7: (6, 4, 16)}


def read_commands(bits, count):
    """Yields ('lit', length) and ('copy', length, offset) commands."""
    commands = []
    for _ in range(count):
        kind = bits.read(3)
        if kind <= 1:
            code = kind * 32 + bits.read(5)
            if code <= 52:
                commands.append(("lit", code + 1))
            else:
                commands.append(("lit", bits.read(code - 47) + 1))
        else:
            length_bits, length_add, offset_bits = COPY_TYPES[kind]
            length = bits.read(length_bits) + length_add
            offset = bits.read(offset_bits) + 1
            commands.append(("copy", length, offset))
    return commands


def read_mask(data, pos):
    """Returns (best 32 values, next 64 values, position after the mask)."""
    group_map = int.from_bytes(data[pos:pos + 4], "big")
    pos += 4
    listed = []
    for group in range(32):
        if group_map & (1 << (31 - group)):
            members = data[pos]
            pos += 1
            for l in range(8):
                if members & (0x80 >> l):
                    listed.append(group * 8 + l)
    if len(listed) != 96:
        raise ValueError("mask lists %d values" % len(listed))
    best, next_best = [], []
    for k, value in enumerate(listed):
        if data[pos + k // 8] & (0x80 >> (k % 8)):
            best.append(value)
        else:
            next_best.append(value)
    if len(best) != 32 or len(next_best) != 64:
        raise ValueError("mask splits %d/%d" % (len(best), len(next_best)))
    return best, next_best, pos + 12


def copy(out, length, offset):
    if offset < 1 or offset > len(out):
        raise ValueError("copy offset %d with %d bytes out" % (offset, len(out)))
    start = len(out) - offset
    if offset >= length:
        out += out[start:start + length]
    else:
        for i in range(length):
            out.append(out[start + i])


def decode(data):
    count_bytes = data[0]
    length = int.from_bytes(data[1:1 + count_bytes], "little")
    pos = 1 + count_bytes
    out = bytearray()
    while pos < len(data):
        count = int.from_bytes(data[pos:pos + 2], "little")
        bits = Bits(data, pos + 2)
        commands = read_commands(bits, count)
        pos = max(bits.end(), pos + 2 + 8)
        marker = data[pos:pos + 4]
        if marker == b"\0\0\0\0":
            pos += 4
            for command in commands:
                if command[0] == "lit":
                    out += data[pos:pos + command[1]]
                    pos += command[1]
                else:
                    copy(out, command[1], command[2])
        else:
            best, next_best, pos = read_mask(data, pos)
            literals = Bits(data, pos)
            for command in commands:
                if command[0] == "copy":
                    copy(out, command[1], command[2])
                    continue
                for _ in range(command[1]):
                    x = literals.read(6)
                    if x < 32:
                        out.append(best[x])
                    elif x < 48:
                        out.append(next_best[(x - 32) * 4 + literals.read(2)])
                    else:
                        out.append((x - 48) * 16 + literals.read(4))
            pos = literals.end()
    if len(out) != length:
        raise ValueError("decoded %d bytes, header says %d" % (len(out), length))
    return bytes(out)


def main(argv):
    compressor, files = argv[1], argv[2:]
    failures = 0
    for name in files:
        compressed = subprocess.run([compressor, name], check=True,
                                    stdout=subprocess.PIPE).stdout
        with open(name, "rb") as f:
            original = f.read()
        try:
            ok = decode(compressed) == original
        except (ValueError, IndexError, KeyError) as e:
            print("%s: %s" % (name, e))
            ok = False
        print("%s %s (%d -> %d bytes)" % ("ok  " if ok else "FAIL", name,
                                          len(original), len(compressed)))
        failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Builds the message catalogue from catalog.txt (see the header of that file for its format).

Outputs, any combination:
  --header FILE   the C++ header of `Common::MessageId` enumerators and kCatalogMessageCount
  --block FILE    the C++ initializer of the built-in catalogue block (included by catalog.cpp)
  --msg-file FILE a catalogue file, the same block as raw bytes, to be installed as kivo_dump.msg

Block layout (little-endian): u32 total byte length, u32 message count (always 683), one u32
offset per message, each counted from the position of that offset, then the messages as UTF-16
texts, each ended by a 0 unit.
"""

import argparse
import re
import struct
import sys

MESSAGE_COUNT = 683
LINE = re.compile(r'^(\d+)\s+(kMsg[A-Za-z0-9]+)\s+"((?:[^"\\]|\\.)*)"\s*$')
ESCAPE = re.compile(r'\\(u[0-9A-Fa-f]{4}|.)')
SIMPLE_ESCAPES = {'"': '"', '\\': '\\', 'n': '\n', 't': '\t'}


def fail(path, number, why):
    sys.exit(f"{path}:{number}: {why}")


def unescape(path, number, text):
    def replace(match):
        code = match.group(1)
        if code.startswith('u') and len(code) == 5:
            return chr(int(code[1:], 16))
        if code in SIMPLE_ESCAPES:
            return SIMPLE_ESCAPES[code]
        fail(path, number, f"unknown escape \\{code}")
    return ESCAPE.sub(replace, text)


def read_catalog(path):
    """Returns ([text per index], [(index, symbol)]) after checking indices and symbols."""
    texts = [''] * MESSAGE_COUNT
    symbols = []
    seen_indices = set()
    seen_symbols = set()
    with open(path, encoding='utf-8') as source:
        for number, raw in enumerate(source, start=1):
            line = raw.rstrip('\n')
            if not line.strip() or line.lstrip().startswith('#'):
                continue
            match = LINE.match(line)
            if not match:
                fail(path, number, 'expected <index> <kMsg symbol> "<text>"')
            index, symbol, text = int(match.group(1)), match.group(2), match.group(3)
            if index >= MESSAGE_COUNT:
                fail(path, number, f"index {index} is outside 0..{MESSAGE_COUNT - 1}")
            if index in seen_indices:
                fail(path, number, f"index {index} is used twice")
            if symbol in seen_symbols:
                fail(path, number, f"symbol {symbol} is used twice")
            seen_indices.add(index)
            seen_symbols.add(symbol)
            texts[index] = unescape(path, number, text)
            symbols.append((index, symbol))
    return texts, symbols


def utf16_units(text):
    encoded = text.encode('utf-16-le', 'surrogatepass')
    return list(struct.unpack(f'<{len(encoded) // 2}H', encoded))


def build_block(texts):
    """The catalogue block as a list of UTF-16 units (the u32 words split low unit first)."""
    header_units = 4 + 2 * len(texts)
    bodies = []
    offsets = []
    position = header_units
    for index, text in enumerate(texts):
        units = utf16_units(text) + [0]
        offset_position = 4 + 2 * index
        offsets.append(2 * (position - offset_position))
        bodies.extend(units)
        position += len(units)
    words = [2 * position, len(texts)] + offsets
    block = []
    for word in words:
        block.extend((word & 0xFFFF, word >> 16))
    return block + bodies


def write_header(path, symbols):
    lines = [
        '// Generated from core/common/messages/catalog.txt by generate_catalog.py; do not edit.',
        '#pragma once',
        '',
        '#include <cstdint>',
        '',
        'namespace Common {',
        '',
        '/// The number of messages of every catalogue, built in or loaded.',
        f'inline constexpr uint32_t kCatalogMessageCount = {MESSAGE_COUNT};',
        '',
        '/// Indices of the catalogue messages that the code names.',
        'enum MessageId : uint32_t {',
    ]
    lines += [f'    {symbol} = {index},' for index, symbol in sorted(symbols)]
    lines += ['};', '', '}  // namespace Common', '']
    write_if_changed(path, '\n'.join(lines))


def write_block(path, block):
    lines = ['// Generated from core/common/messages/catalog.txt by generate_catalog.py; do not edit.']
    for start in range(0, len(block), 12):
        lines.append(' '.join(f'0x{unit:04x},' for unit in block[start:start + 12]))
    write_if_changed(path, '\n'.join(lines) + '\n')


def write_if_changed(path, content):
    """Leaves an unchanged output alone, so that its dependents are not rebuilt."""
    try:
        with open(path, encoding='utf-8') as existing:
            if existing.read() == content:
                return
    except FileNotFoundError:
        pass
    with open(path, 'w', encoding='utf-8') as out:
        out.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('catalog')
    parser.add_argument('--header')
    parser.add_argument('--block')
    parser.add_argument('--msg-file')
    args = parser.parse_args()
    texts, symbols = read_catalog(args.catalog)
    block = build_block(texts)
    if args.header:
        write_header(args.header, symbols)
    if args.block:
        write_block(args.block, block)
    if args.msg_file:
        with open(args.msg_file, 'wb') as out:
            out.write(struct.pack(f'<{len(block)}H', *block))


if __name__ == '__main__':
    main()

"""Reads the exported symbols of an ELF shared object without importing it."""

import struct
from typing import NamedTuple

SHT_DYNSYM = 11
STB_LOCAL = 0
SHN_UNDEF = 0


class Symbol(NamedTuple):
    name: str
    binding: int  # STB_GLOBAL 1, STB_WEAK 2, ...
    kind: int  # STT_FUNC 2, STT_OBJECT 1, ...
    section: int
    value: int
    size: int


def _sections(data):
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a little-endian 64-bit ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    for i in range(shnum):
        name, kind, flags, addr, offset, size, link, info, align, entsize = struct.unpack_from(
            "<IIQQQQIIQQ", data, shoff + i * shentsize)
        yield {"type": kind, "addr": addr, "offset": offset, "size": size, "link": link,
               "entsize": entsize}


def defined_dynamic_symbols(path):
    """Every symbol the object exports: defined, in .dynsym, not local."""
    with open(path, "rb") as f:
        data = f.read()
    sections = list(_sections(data))
    symbols = []
    for section in sections:
        if section["type"] != SHT_DYNSYM:
            continue
        strings = sections[section["link"]]
        for offset in range(section["offset"], section["offset"] + section["size"], section["entsize"]):
            name_at, info, _other, shndx, value, size = struct.unpack_from("<IBBHQQ", data, offset)
            if shndx == SHN_UNDEF or info >> 4 == STB_LOCAL:
                continue
            start = strings["offset"] + name_at
            name = data[start:data.index(b"\0", start)].decode()
            symbols.append(Symbol(name, info >> 4, info & 0xF, shndx, value, size))
    return symbols


def read_symbol(path, symbol):
    """The bytes of a defined data symbol, found through its section."""
    with open(path, "rb") as f:
        data = f.read()
    section = list(_sections(data))[symbol.section]
    start = section["offset"] + symbol.value - section["addr"]
    return data[start:start + symbol.size]

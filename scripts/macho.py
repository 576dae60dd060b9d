#!/usr/bin/env python3
"""Finishes and checks the Mach-O files of the macOS cross build.

  macho.py mark-oslog FILE  gives __TEXT,__oslogstring of a one-architecture
                            file the cstring-literals type that Apple's linker
                            gives it, and hashes the signed pages again
  macho.py check FILE       every slice keeps its log formats in
                            __TEXT,__oslogstring, and the arm64 slice carries
                            an ad-hoc signature whose page hashes match the file

Fails with exit status 1 and a reason on standard error.
"""

import collections
import hashlib
import struct
import sys

FAT_MAGIC = 0xCAFEBABE
MH_MAGIC_64 = 0xFEEDFACF
CPU_NAMES = {0x01000007: "x86_64", 0x0100000C: "arm64"}
LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
S_REGULAR = 0x0
S_CSTRING_LITERALS = 0x2
SECTION_TYPE_MASK = 0xFF

# Code signing blobs are big-endian, whatever the architecture.
CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSSLOT_CODEDIRECTORY = 0
CSSLOT_ALTERNATE_CODEDIRECTORIES = range(0x1000, 0x1005)
CS_ADHOC = 0x2
HASHES = {1: ("sha1", 20), 2: ("sha256", 32), 3: ("sha256", 20), 4: ("sha384", 48)}

LOG_SECTION = ("__TEXT", "__oslogstring")
LOG = ",".join(LOG_SECTION)

# What check and rehash need of a CodeDirectory; hashes is the offset of the
# first page's hash.
CodeDirectory = collections.namedtuple(
    "CodeDirectory", "version algorithm hash_size page slots limit hashes")


class Failure(Exception):
    pass


def slices(data):
    """(architecture, offset, size) of each Mach-O in a universal or thin file."""
    if struct.unpack_from(">I", data)[0] == FAT_MAGIC:
        (count,) = struct.unpack_from(">I", data, 4)
        found = []
        for i in range(count):
            cpu, _, offset, size, _ = struct.unpack_from(">iiIII", data, 8 + 20 * i)
            found.append((CPU_NAMES.get(cpu & 0xFFFFFFFF, hex(cpu)), offset, size))
        return found
    magic, cpu = struct.unpack_from("<Ii", data)
    if magic != MH_MAGIC_64:
        raise Failure("not a 64-bit Mach-O file")
    return [(CPU_NAMES.get(cpu & 0xFFFFFFFF, hex(cpu)), 0, len(data))]


class MachO:
    """One architecture's Mach-O; offsets are relative to the slice."""

    def __init__(self, data, arch):
        self.data, self.arch = data, arch
        if struct.unpack_from("<I", data)[0] != MH_MAGIC_64:
            raise Failure(f"{arch}: not a 64-bit Mach-O")
        ncmds, sizeofcmds = struct.unpack_from("<II", data, 16)
        self.sections = {}  # (segment, section) -> (header offset, size, file offset, flags)
        self.signature = None  # (dataoff, datasize)
        at, end = 32, 32 + sizeofcmds
        for _ in range(ncmds):
            cmd, cmdsize = struct.unpack_from("<II", data, at)
            if cmdsize < 8 or at + cmdsize > end:
                raise Failure(f"{arch}: damaged load commands")
            if cmd == LC_SEGMENT_64:
                (nsects,) = struct.unpack_from("<I", data, at + 64)
                for i in range(nsects):
                    header = at + 72 + 80 * i
                    sect, seg = (name(data[header + o : header + o + 16]) for o in (0, 16))
                    size, offset, _, _, _, flags = struct.unpack_from("<QIIIII", data, header + 40)
                    self.sections[(seg, sect)] = (header, size, offset, flags)
            elif cmd == LC_CODE_SIGNATURE:
                self.signature = struct.unpack_from("<II", data, at + 8)
            at += cmdsize

    def log_formats(self):
        """The strings of __TEXT,__oslogstring, checked to be text."""
        if LOG_SECTION not in self.sections:
            raise Failure(f"{self.arch}: no section {LOG}")
        _, size, offset, flags = self.sections[LOG_SECTION]
        if flags & SECTION_TYPE_MASK != S_CSTRING_LITERALS:
            raise Failure(f"{self.arch}: {LOG} is not of type cstring literals")
        contents = bytes(self.data[offset : offset + size])
        if size == 0 or not contents.endswith(b"\0"):
            raise Failure(f"{self.arch}: {LOG} holds no NUL-terminated strings")
        # Alignment may leave empty strings between the formats.
        formats = [s for s in contents[:-1].split(b"\0") if s]
        for text in formats:
            try:
                decoded = text.decode("utf-8")
            except UnicodeDecodeError:
                raise Failure(f"{self.arch}: not text in {LOG}: {text!r}")
            if not decoded.replace("\n", " ").replace("\t", " ").isprintable():
                raise Failure(f"{self.arch}: not a format in {LOG}: {text!r}")
        return formats

    def code_directories(self):
        """The CodeDirectories of the embedded signature, checked to be ad hoc
        and to cover every byte before the signature."""
        if self.signature is None:
            raise Failure(f"{self.arch}: not signed (no LC_CODE_SIGNATURE)")
        dataoff, datasize = self.signature
        if dataoff + datasize > len(self.data):
            raise Failure(f"{self.arch}: the signature lies past the end of the file")
        magic, length, count = struct.unpack_from(">III", self.data, dataoff)
        if magic != CSMAGIC_EMBEDDED_SIGNATURE or length > datasize:
            raise Failure(f"{self.arch}: no embedded signature at the signature's offset")
        directories = []
        for i in range(count):
            slot, offset = struct.unpack_from(">II", self.data, dataoff + 12 + 8 * i)
            if slot == CSSLOT_CODEDIRECTORY or slot in CSSLOT_ALTERNATE_CODEDIRECTORIES:
                if offset + 44 > length:
                    raise Failure(f"{self.arch}: a CodeDirectory lies outside the signature")
                directories.append(self.code_directory(dataoff + offset))
        if not directories:
            raise Failure(f"{self.arch}: the signature has no CodeDirectory")
        return directories

    def code_directory(self, at):
        (magic, length, version, flags, hash_offset, _, _, slots, limit, hash_size, hash_type,
         _, page_log2) = struct.unpack_from(">IIIIIIIIIBBBB", self.data, at)
        if magic != CSMAGIC_CODEDIRECTORY:
            raise Failure(f"{self.arch}: a CodeDirectory slot holds no CodeDirectory")
        if not flags & CS_ADHOC:
            raise Failure(f"{self.arch}: the CodeDirectory is not ad hoc (flags {flags:#x})")
        if hash_type not in HASHES or HASHES[hash_type][1] != hash_size:
            raise Failure(f"{self.arch}: unknown hash type {hash_type} of {hash_size} bytes")
        if limit != self.signature[0]:
            raise Failure(f"{self.arch}: the signature covers {limit} bytes, "
                          f"not the {self.signature[0]} before it")
        page = 1 << page_log2 if page_log2 else limit
        if slots != (limit + page - 1) // page:
            raise Failure(f"{self.arch}: {slots} page hashes for {limit} bytes")
        if hash_offset + slots * hash_size > length:
            raise Failure(f"{self.arch}: the page hashes lie outside the CodeDirectory")
        return CodeDirectory(version, HASHES[hash_type][0], hash_size, page, slots, limit,
                             at + hash_offset)

    def page_hashes(self, cd):
        """(offset of the stored hash, hash of the page as the file has it) per page."""
        for i in range(cd.slots):
            page = self.data[i * cd.page : min((i + 1) * cd.page, cd.limit)]
            actual = hashlib.new(cd.algorithm, page).digest()[: cd.hash_size]
            yield cd.hashes + i * cd.hash_size, actual

    def check_signature(self):
        """Every page's hash in every CodeDirectory matches the file; says what
        was checked."""
        for cd in self.code_directories():
            for i, (at, actual) in enumerate(self.page_hashes(cd)):
                if bytes(self.data[at : at + cd.hash_size]) != actual:
                    raise Failure(f"{self.arch}: page {i} (bytes {i * cd.page}..) does not "
                                  f"match its hash in the signature")
        return (f"{self.arch}: ad-hoc signature (CodeDirectory version {cd.version:#x}, "
                f"{cd.algorithm}, {cd.slots} pages of {cd.page} bytes) matches the file")

    def rehash_pages(self):
        for cd in self.code_directories():
            for at, actual in self.page_hashes(cd):
                self.data[at : at + cd.hash_size] = actual


def name(raw):
    return bytes(raw).split(b"\0", 1)[0].decode("ascii", "replace")


def mark_oslog(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    found = slices(data)
    if len(found) != 1:
        raise Failure("a universal file: mark each slice before joining them")
    macho = MachO(data, found[0][0])
    arch = macho.arch
    if LOG_SECTION not in macho.sections:
        raise Failure(f"{arch}: no section {LOG}")
    header, _, _, flags = macho.sections[LOG_SECTION]
    if flags & SECTION_TYPE_MASK not in (S_REGULAR, S_CSTRING_LITERALS):
        raise Failure(f"{arch}: {LOG} has section type {flags & 0xFF:#x}")
    # A signature must be sound before it is brought up to date: hashing a
    # damaged file again would hide the damage.
    if macho.signature is not None:
        macho.check_signature()
    struct.pack_into("<I", data, header + 64, flags & ~SECTION_TYPE_MASK | S_CSTRING_LITERALS)
    if macho.signature is not None:
        macho.rehash_pages()
    MachO(data, arch).log_formats()
    with open(path, "r+b") as f:
        f.write(data)


def check(path):
    with open(path, "rb") as f:
        data = f.read()
    found = slices(data)
    archs = [arch for arch, _, _ in found]
    if sorted(archs) != ["arm64", "x86_64"]:
        raise Failure(f"not the x86_64 and arm64 slices: {', '.join(archs)}")
    for arch, offset, size in found:
        macho = MachO(memoryview(data)[offset : offset + size], arch)
        formats = macho.log_formats()
        print(f"{arch}: {len(formats)} log formats in {LOG}")
        # Apple silicon runs no unsigned code; x86_64 needs a signature only
        # once the product signs its files.
        if arch == "arm64" or macho.signature is not None:
            print(macho.check_signature())


def main(argv):
    commands = {"mark-oslog": mark_oslog, "check": check}
    if len(argv) != 3 or argv[1] not in commands:
        sys.exit(__doc__)
    try:
        commands[argv[1]](argv[2])
    except (Failure, struct.error) as failure:
        reason = failure if isinstance(failure, Failure) else "truncated Mach-O file"
        print(f"macho.py: {argv[2]}: {reason}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/env python3
"""Checks the shipped files in dist/ without running them.

    check-shipped.py DIST_DIR SOURCE_DIR

Every PE file in DIST_DIR (those that installer/shipped.txt lists, and any other) must be a
32-bit PE for i386 whose subsystem version and imports hold the Windows Vista floor: it imports
only the system DLLs of installer/vista-imports.txt and, from each, only the functions listed
there (reviewed against Windows Vista), so no runtime DLL of the toolchain and no function that
Vista lacks. Every file of installer/shipped.txt is there with the exports it lists, under
those undecorated names. Its version resource carries the version of cmake/VersionInfo.rc, and
the package Orvane-<version>.msi says that version (ProductVersion), is a 32-bit package, and
holds exactly the listed files, byte for byte those in DIST_DIR.

Prints one line per fault naming the file and the import or export, and exits 1; prints one
summary line and exits 0 when all holds.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_DLL = 0x2000
PE32_MAGIC = 0x10B
RT_VERSION = 16
# What the loader of Windows Vista accepts: a PE asking for a newer subsystem does not start.
VISTA_SUBSYSTEM = (6, 0)
# The DLLs of the GCC runtime that a non-static link would make the programs need.
TOOLCHAIN_RUNTIME = re.compile(r'lib(gcc|stdc\+\+|winpthread|ssp|gomp|atomic|quadmath)', re.I)


class PeError(Exception):
    pass


class PeFile:
    """The parts of a PE image the check reads: header fields, imports, exports, version."""

    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b'MZ':
            raise PeError('not a PE file (no MZ header)')
        pe = struct.unpack_from('<I', d, 0x3C)[0]
        if d[pe:pe + 4] != b'PE\0\0':
            raise PeError('not a PE file (no PE signature)')
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from('<H', d, opt)[0]
        if self.magic != PE32_MAGIC:
            return  # not PE32: the caller reports it and reads nothing more
        self.image_base = struct.unpack_from('<I', d, opt + 28)[0]
        self.subsystem_version = struct.unpack_from('<HH', d, opt + 48)
        count = struct.unpack_from('<I', d, opt + 92)[0]
        self.directories = [struct.unpack_from('<II', d, opt + 96 + 8 * i) for i in range(min(count, 16))]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            _, vsize, va, raw_size, raw = struct.unpack_from('<8sIIII', d, table + 40 * i)
            self.sections.append((va, max(vsize, raw_size), raw, raw_size))

    def offset(self, rva):
        for va, size, raw, raw_size in self.sections:
            if va <= rva < va + size:
                if rva - va >= raw_size:
                    raise PeError('RVA 0x%x lies in no file data' % rva)
                return raw + rva - va
        raise PeError('RVA 0x%x lies in no section' % rva)

    def u32(self, rva):
        return struct.unpack_from('<I', self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b'\0', start)].decode('ascii', 'replace')

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def _thunks(self, rva):
        """The functions a thunk array names: 'name' or '#ordinal'."""
        names = []
        while True:
            entry = self.u32(rva)
            if entry == 0:
                return names
            names.append('#%d' % (entry & 0xFFFF) if entry & 0x80000000 else self.text(entry + 2))
            rva += 4

    def imports(self):
        """{dll (as named): [function, ...]}, the load-time and the delay-load imports."""
        result = {}
        rva, size = self.directory(1)
        while size:
            lookup, _, _, name, first = struct.unpack_from('<IIIII', self.data, self.offset(rva))
            if name == 0:
                break
            result.setdefault(self.text(name), []).extend(self._thunks(lookup or first))
            rva += 20
        rva, size = self.directory(13)
        while size:
            attributes, name, _, _, names = struct.unpack_from('<IIIIII', self.data, self.offset(rva))[:5]
            if name == 0:
                break
            # Old-style descriptors hold addresses, not RVAs.
            base = 0 if attributes & 1 else self.image_base
            result.setdefault(self.text(name - base), []).extend(self._thunks(names - base))
            rva += 32
        return result

    def exports(self):
        rva, size = self.directory(0)
        if not size:
            return []
        count, names = struct.unpack_from('<II', self.data, self.offset(rva) + 24)[0], self.u32(rva + 32)
        return [self.text(self.u32(names + 4 * i)) for i in range(count)]

    def version_resource(self):
        """(fixed file version, fixed product version, {string name: value}) or None."""
        rva, size = self.directory(2)
        if not size:
            return None
        entry = self._resource_entry(rva, RT_VERSION)
        for _ in range(2):  # the name, then the language: the first of each
            if entry is None or not entry & 0x80000000:
                return None
            entry = self._resource_entry(rva + (entry & 0x7FFFFFFF), None)
        if entry is None or entry & 0x80000000:
            return None
        data_rva, data_size = struct.unpack_from('<II', self.data, self.offset(rva + entry))
        start = self.offset(data_rva)
        return parse_version_info(self.data[start:start + data_size])

    def _resource_entry(self, table, wanted):
        """The offset field of the entry with the id wanted (None: the first) of a table."""
        named, ids = struct.unpack_from('<HH', self.data, self.offset(table) + 12)
        for i in range(named + ids):
            ident, target = struct.unpack_from('<II', self.data, self.offset(table) + 16 + 8 * i)
            if wanted is None or (not ident & 0x80000000 and ident == wanted):
                return target
        return None


def parse_version_info(block):
    """VS_VERSIONINFO: the fixed versions as tuples and every string of its string tables."""
    strings = {}

    def node(at):
        length, value_length, kind = struct.unpack_from('<HHH', block, at)
        end = block.index(b'\0\0', at + 6)
        while (end - at - 6) % 2:
            end = block.index(b'\0\0', end + 1)
        key = block[at + 6:end].decode('utf-16-le')
        value = (end + 2 + 3) & ~3
        children = value + (value_length * (2 if kind == 1 else 1))
        return key, length, value, value_length, kind, (children + 3) & ~3

    key, length, value, value_length, _, child = node(0)
    if key != 'VS_VERSION_INFO' or value_length < 52:
        return None
    fixed = struct.unpack_from('<13I', block, value)
    if fixed[0] != 0xFEEF04BD:
        return None

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    def walk(at, end, depth):
        while at < end:
            key, length, value, value_length, kind, children = node(at)
            if length == 0:
                break
            if depth == 2:
                text = block[value:value + 2 * value_length].decode('utf-16-le').rstrip('\0')
                strings[key] = text
            elif depth < 2 and (depth or key == 'StringFileInfo'):
                walk(children, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(child, length, 0)
    return split(fixed[2], fixed[3]), split(fixed[4], fixed[5]), strings


def read_list(path):
    """The lines of a list file without comments: [[word, ...], ...]."""
    rows = []
    with open(path) as f:
        for line in f:
            words = line.split('#', 1)[0].split()
            if words:
                rows.append(words)
    return rows


def allowed_imports(path):
    """{dll (lower case): set of functions} from the reviewed table: 'DLL function ...' lines."""
    table = {}
    for words in read_list(path):
        table.setdefault(words[0].lower(), set()).update(words[1:])
    return table


def check_pe(name, pe, allowed, version, exports, faults):
    def fault(text):
        faults.append('%s: %s' % (name, text))

    if pe.machine != IMAGE_FILE_MACHINE_I386 or pe.magic != PE32_MAGIC:
        fault('not a 32-bit PE for i386 (machine 0x%x, optional header 0x%x)' % (pe.machine, pe.magic))
        return
    if name.lower().endswith('.dll') != bool(pe.characteristics & IMAGE_FILE_DLL):
        fault('the DLL flag of its header does not fit its name')
    if tuple(pe.subsystem_version) > VISTA_SUBSYSTEM:
        fault('subsystem version %d.%d: Windows Vista (6.0) does not start it' % tuple(pe.subsystem_version))
    for dll, functions in sorted(pe.imports().items()):
        if TOOLCHAIN_RUNTIME.match(dll):
            fault('imports %s, a runtime DLL of the toolchain: it must be linked in statically' % dll)
            continue
        if dll.lower() not in allowed:
            fault('imports %s, not a Windows system DLL of installer/vista-imports.txt (%s)'
                  % (dll, ', '.join(functions[:3]) + (', ...' if len(functions) > 3 else '')))
            continue
        for function in functions:
            if function not in allowed[dll.lower()]:
                fault('imports %s!%s, which installer/vista-imports.txt does not list as present on '
                      'Windows Vista' % (dll, function))
    present = set(pe.exports())
    for export in exports:
        if export in present:
            continue
        decorated = sorted(p for p in present if re.fullmatch(r'_?%s@\d+' % re.escape(export), p))
        if decorated:
            fault('exports %s only decorated, as %s' % (export, ', '.join(decorated)))
        else:
            fault('does not export %s' % export)
    info = pe.version_resource()
    if info is None:
        fault('has no version resource')
        return
    file_version, product_version, strings = info
    text = '.'.join(map(str, version))
    for what, found in (('fixed file version', file_version), ('fixed product version', product_version)):
        if found != version:
            fault('%s %s, not %s' % (what, '.'.join(map(str, found)), text))
    for key in ('FileVersion', 'ProductVersion'):
        if strings.get(key) != text:
            fault('version string %s "%s", not "%s"' % (key, strings.get(key, '(none)'), text))
    if strings.get('OriginalFilename', name).lower() != name.lower():
        fault('version string OriginalFilename "%s"' % strings['OriginalFilename'])


def msi_table(package, table):
    """The rows of an MSI table as lists of strings (msiinfo export)."""
    out = subprocess.run(['msiinfo', 'export', package, table], check=True, capture_output=True, text=True).stdout
    return [line.split('\t') for line in out.splitlines()[3:] if line]


def check_package(dist, package, shipped, version, faults):
    name = os.path.basename(package)

    def fault(text):
        faults.append('%s: %s' % (name, text))

    properties = dict(row[:2] for row in msi_table(package, 'Property'))
    product = '.'.join(map(str, version[:3]))
    if properties.get('ProductVersion') != product:
        fault('ProductVersion %s, not %s' % (properties.get('ProductVersion', '(none)'), product))
    summary = subprocess.run(['msiinfo', 'suminfo', package], check=True, capture_output=True, text=True).stdout
    template = re.search(r'^Template: (.*)$', summary, re.M)
    if not template or not template.group(1).startswith('Intel;'):
        fault('not a 32-bit package (Template %s)' % (template.group(1) if template else '(none)'))
    rows = msi_table(package, 'File')
    files = {row[0]: row[2].split('|')[-1] for row in rows}
    sizes = {row[0]: int(row[3]) for row in rows}
    hashes = {row[0]: struct.pack('<4i', *map(int, row[2:6])) for row in msi_table(package, 'MsiFileHash')}
    held = {}
    for key, file_name in files.items():
        if file_name.lower().endswith(('.exe', '.dll')):
            held[file_name.lower()] = key
    for file_name in sorted(set(held) - {s.lower() for s in shipped}):
        fault('holds %s, which installer/shipped.txt does not list (so it is neither put in dist/ nor '
              'checked)' % file_name)
    for file_name in shipped:
        key = held.get(file_name.lower())
        if key is None:
            fault('does not hold %s' % file_name)
            continue
        path = os.path.join(dist, file_name)
        if not os.path.exists(path):
            continue
        with open(path, 'rb') as f:
            data = f.read()
        if len(data) != sizes[key] or (key in hashes and hashlib.md5(data).digest() != hashes[key]):
            fault('holds another %s than dist/ (its size or MsiFileHash differs)' % file_name)


def main():
    if len(sys.argv) != 3:
        sys.exit('usage: check-shipped.py DIST_DIR SOURCE_DIR')
    dist, source = sys.argv[1:]
    here = os.path.join(source, 'installer')
    shipped = {words[0]: words[1:] for words in read_list(os.path.join(here, 'shipped.txt'))}
    allowed = allowed_imports(os.path.join(here, 'vista-imports.txt'))
    with open(os.path.join(source, 'cmake', 'VersionInfo.rc')) as f:
        found = re.search(r'define VI_VERSION_TEXT "(\d+)\.(\d+)\.(\d+)\.(\d+)"', f.read())
    if not found:
        sys.exit('check-shipped: no VI_VERSION_TEXT in cmake/VersionInfo.rc')
    version = tuple(int(part) for part in found.groups())

    faults = []
    present = {n.lower(): n for n in os.listdir(dist)}
    for name in shipped:
        if name.lower() not in present:
            faults.append('%s: missing from %s' % (name, dist))
    checked = []
    for name in sorted(present.values()):
        if not name.lower().endswith(('.exe', '.dll')):
            continue
        try:
            pe = PeFile(os.path.join(dist, name))
            check_pe(name, pe, allowed, version, shipped.get(name, []), faults)
        except (PeError, struct.error, ValueError) as e:
            faults.append('%s: %s' % (name, e))
        checked.append(name)
    package = 'Orvane-%d.%d.%d.msi' % version[:3]
    if package.lower() in present:
        try:
            check_package(dist, os.path.join(dist, package), list(shipped), version, faults)
        except (subprocess.CalledProcessError, ValueError, IndexError) as e:
            faults.append('%s: msiinfo cannot read it (%s)' % (package, e))
        checked.append(package)
    else:
        faults.append('%s: missing from %s' % (package, dist))

    for line in faults:
        print('check-shipped: ' + line)
    if faults:
        print('check-shipped: %d fault(s) in the shipped files of %s' % (len(faults), dist))
        return 1
    print('check-shipped: %s in %s: 32-bit (i386), imports only of installer/vista-imports.txt, the exports '
          'of installer/shipped.txt, version %s; the package holds these files' % (', '.join(checked), dist,
                                                                               '.'.join(map(str, version))))
    return 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the GPU program embedded in the library.

Usage: check_cuda_fatbin.py LIBRARY MODULE.cu...

Every kernel module must appear in the library's .nv_fatbin section as one
fat binary holding compute-capability 7.5 machine code (an ELF image whose
functions are exactly the module's kernels, and which defines the three
fixed-point tables) and PTX for compute capability 7.5.
"""
import re
import struct
import subprocess
import sys
import tempfile

FATBIN_MAGIC = 0xBA55ED50
KIND_PTX, KIND_ELF = 1, 2
TABLES = {"QZ_EXP_MSB_TABLE": 512, "QZ_EXP_LSB_TABLE": 512, "QZ_SIGMOID_TABLE": 514}


def section(path, name):
    data = open(path, "rb").read()
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = headers[shstrndx]
    for h in headers:
        start = names[4] + h[0]
        if data[start:data.index(b"\0", start)].decode() == name:
            return data[h[4]:h[4] + h[5]]
    sys.exit(f"{path}: no {name} section")


def fatbins(blob):
    """Yields the entries (kind, sm, flags, payload) of each fat binary."""
    pos = 0
    while True:
        pos = blob.find(struct.pack("<I", FATBIN_MAGIC), pos)
        if pos < 0:
            return
        _, _, header_size, fat_size = struct.unpack_from("<IHHQ", blob, pos)
        entries, p, end = [], pos + header_size, pos + header_size + fat_size
        while p < end:
            kind, _, entry_header, padded, _, _, _, _, sm = struct.unpack_from("<HHIIIIIII", blob, p)
            flags, = struct.unpack_from("<Q", blob, p + 0x28)
            entries.append((kind, sm, flags, blob[p + entry_header:p + entry_header + padded]))
            p += entry_header + padded
        yield entries
        pos = end


def elf_symbols(image):
    with tempfile.NamedTemporaryFile(suffix=".cubin") as f:
        f.write(image)
        f.flush()
        out = subprocess.run(["readelf", "-sW", f.name], capture_output=True, text=True).stdout
    functions, objects = set(), {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 8 and parts[3] == "FUNC" and parts[4] == "GLOBAL":
            functions.add(parts[-1])
        elif len(parts) >= 8 and parts[3] == "OBJECT":
            objects[parts[-1]] = int(parts[2], 0)
    return functions, objects


def main():
    library, modules = sys.argv[1], sys.argv[2:]
    found = []
    for entries in fatbins(section(library, ".nv_fatbin")):
        ptx = [e for e in entries if e[0] == KIND_PTX and e[1] == 75]
        elf = [e for e in entries if e[0] == KIND_ELF and e[1] == 75 and e[3][:4] == b"\x7fELF"]
        if not ptx or not elf:
            sys.exit(f"a fat binary lacks sm_75 machine code or compute_75 PTX: "
                     f"{[(k, sm) for k, sm, _, _ in entries]}")
        functions, objects = elf_symbols(elf[0][3])
        for name, size in TABLES.items():
            if objects.get(name) != size:
                sys.exit(f"module with {sorted(functions)} lacks {name} ({size} bytes)")
        found.append(functions)
    errors = 0
    for module in modules:
        kernels = set(re.findall(r"QZ_CUDA_KERNEL\s+void\s+(\w+)", open(module).read()))
        match = [f for f in found if f == kernels]
        status = "ok" if match else "MISSING"
        errors += not match
        print(f"{status:8} {module.rsplit('/', 1)[-1]}: {len(kernels)} kernels, sm_75 + compute_75 PTX")
    if len(found) != len(modules):
        print(f"{len(found)} fat binaries in the library, {len(modules)} modules in the sources")
        errors += 1
    sys.exit(1 if errors else 0)


main()

#!/usr/bin/env python3
"""Checks the GPU program embedded in the library.

Usage: check_cuda_fatbin.py LIBRARY ENTRIES.inc

The library's .nv_fatbin section must hold one fat binary per operation
listed in ENTRIES.inc (src/ypu/cuda/entries.inc) plus the compatibility
test's, each with compute-capability 7.5 machine code (an ELF image whose
global functions are exactly that module's kernels, as listed below, and
which defines the three fixed-point tables) and PTX for compute
capability 7.5. The kernel-less operations' modules hold only the tables.
"""
import re
import struct
import subprocess
import sys
import tempfile

FATBIN_MAGIC = 0xBA55ED50
KIND_PTX, KIND_ELF = 1, 2
TABLES = {"QZ_EXP_MSB_TABLE": 512, "QZ_EXP_LSB_TABLE": 512, "QZ_SIGMOID_TABLE": 514}

# The kernels of each operation's module, by the op's enum suffix. Written
# out here, not read from the sources, so a kernel kept in the wrong module
# shows up.
KERNELS = {
    "ADD_F32": ["taabe187"], "DIV_F32": ["taabe184"], "MUL_F32": ["taabe340"],
    "SUB_F32": ["taabe239"], "ADD_SCALAR_F32": ["taabe248"], "SCALAR_DIV_F32": ["taabe18"],
    "MUL_SCALAR_F32": ["taabe270"], "RSUB_SCALAR_F32": ["taabe169"],
    "CONVERT_I32_F32": ["taabe271"], "CONVERT_I16_F32": ["taabe164"], "EXP_F32": ["taabe124"],
    "LOG_F32": ["taabe137"], "RELU_F32": ["taabe42"], "GELU_TANH_F32": ["taabe22"],
    "GELU_SIGMOID_F32": ["taabe56"], "GELU_ERF_F32": ["taabe318"], "SILU_F32": ["taabe0"],
    "ADD_SAT_I16": ["taabe73", "taabe265"], "RELU_I16": ["taabe25"],
    "SCALE_BIAS_I16": ["taabe337"], "SIGMOID_I16": ["taabe78"], "SIGMOID_Q10_I16": ["taabe55"],
    "SIGMOID_TABLE_F32": ["taabe50"], "TANH_TABLE_F32": ["taabe317"],
    "AFFINE_COLUMNS_I16": ["taabe161"], "ADD_ROW_F32": ["taabe316"], "ADD_COL_F32": ["taabe127"],
    "FMA_ROW_F32": ["taabe256"], "DIV_ROW_F32": ["taabe245"], "MUL_ROW_F32": ["taabe103"],
    "MUL_COL_F32": ["taabe247"], "SUB_ROW_F32": ["taabe335"], "SUB_COL_F32": ["taabe259"],
    "ADD_BIAS_2D_F32": ["taabe282"], "EMBEDDING_SCALE_ADD_F32": ["taabe4"],
    "REVERSE_ROWS": ["taabe100"], "GATHER_ROWS": ["taabe278"], "GATHER_CLAMPED": ["taabe141"],
    "TRANSPOSE": ["taabe202"], "COPY_BYTES": [], "FILL_ZERO": [], "ZERO_PAD_2D": [],
    "COPY_BLOCK": [], "LAYER_NORM_F32": ["taabe177"], "LAYER_NORM_PLAIN_F32": ["taabe254"],
    "RMS_NORM_F32": ["taabe32"], "LAYER_NORM_COLUMNS_F32": ["taabe10"],
    "GROUP_NORM_F32": ["taabe273"], "MEAN_ROWS_F32": ["taabe310"], "SOFTMAX_F32": ["taabe119"],
    "SOFTMAX_FIXED_I16": ["taabe269"], "LSTM_CELL_I16": ["taabe174"],
    "GAUSSIAN_WEIGHTS_F32": ["taabe115"], "POLAR_SPECTRUM_F32": ["taabe27"],
    "ATTENTION_KV_U8": ["taabe58", "taabe163", "taabe298"],
    "ATTENTION_KV_U16": ["taabe58", "taabe163", "taabe298"],
    "TOPK_SORT_SOFTMAX_F32": ["taabe332"], "TOPK_SORT_F32": ["taabe29"],
    "SHIFT_ROWS_LEFT": ["taabe122"], "QUANTIZE_ROWS_I16": ["taabe8"],
    "QUANTIZE_ROWS_U8": ["taabe190"],
    "ATTENTION_BLOCKED_F32": ["taabe212", "taabe120", "taabe230"],
    "MASK_WINDOW_F32": ["taabe264"], "ATTENTION_VALUES_F32": ["taabe69"],
    "ATTENTION_VALUES_CACHE_U8": ["taabe69"], "ATTENTION_SCORES_F32": ["taabe155"],
    "ATTENTION_SCORES_CACHE_U8": ["taabe155"],
    "TOPK_F32": ["taabe179", "cub:DeviceRadixSortSingleTileKernel",
                 "cub:DeviceRadixSortHistogramKernel", "cub:DeviceRadixSortExclusiveSumKernel",
                 "cub:DeviceRadixSortOnesweepKernel", "cub:EmptyKernel"],
    "QUANTIZE_ROWS_RING_U8": ["taabe261"], "QUANTIZE_ROWS_RING_U16": ["taabe261"],
}


def library_kernel(symbol):
    """The CUDA toolkit's template library puts its version into the
    namespace of its kernels: "cub:<name>" for a kernel of that library,
    matched by its own name (the last part of the mangled nested name)."""
    if not symbol.startswith("_ZN3cub"):
        return symbol
    pos, name = 3, None
    while pos < len(symbol) and symbol[pos].isdigit():
        digits = re.match(r"\d+", symbol[pos:]).group()
        pos += len(digits)
        name = symbol[pos:pos + int(digits)]
        pos += int(digits)
    return "cub:" + name
COMPATIBILITY = ["compatibility_test_kernel"]


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
            functions.add(library_kernel(parts[-1]))
        elif len(parts) >= 8 and parts[3] == "OBJECT":
            objects[parts[-1]] = int(parts[2], 0)
    return functions, objects


def main():
    library, entry_list = sys.argv[1], sys.argv[2]
    ops = re.findall(r"^QZ_YPU_CUDA_ENTRY\((\w+),", open(entry_list).read(), re.M)
    errors = 0
    for op in sorted(set(ops) ^ set(KERNELS)):
        print(f"{op}: in {'the entry list' if op in ops else 'this check'} only")
        errors += 1
    expected = {op: frozenset(KERNELS.get(op, [])) for op in ops}
    expected["compatibility"] = frozenset(COMPATIBILITY)

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
        found.append(frozenset(functions))

    # Each expected module takes one fat binary with exactly its kernels; the
    # kernel-less ones take one table-only fat binary each.
    unmatched = list(found)
    for module, kernels in expected.items():
        ok = kernels in unmatched
        if ok:
            unmatched.remove(kernels)
        errors += not ok
        what = ", ".join(sorted(kernels)) or "tables only"
        print(f"{'ok' if ok else 'MISSING':8} {module}: {what}")
    for functions in unmatched:
        print(f"UNEXPECTED fat binary with {sorted(functions) or 'tables only'}")
        errors += 1
    print(f"{len(found)} fat binaries, {len(expected)} modules expected, "
          f"each sm_75 + compute_75 PTX")
    sys.exit(1 if errors else 0)


main()

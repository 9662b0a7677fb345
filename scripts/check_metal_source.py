#!/usr/bin/env python3
"""Front-end check of the Metal backend's GPU program on a machine without a
Metal compiler.

The macOS library embeds the kernels' source and builds one Metal library
from the whole text when a device opens, so a single construct that Metal
rejects makes every GPU device fail to open. The C++ harness that runs the
kernels in the tests accepts far more than Metal does; this check holds the
text to Metal's rules as far as clang's C++ for OpenCL front end can:

- the program text is the library's, file for file and in the same order
  (the list the build embeds), except that the check's own prelude stands
  in for prelude.metal: it maps Metal's address spaces onto OpenCL's and
  declares only the Metal library functions and types the kernels use;
- clang parses it with -Werror, OpenCL's own library headers off and
  64-bit floating point off (Metal has no `double`);
- OpenCL's generic address space has no Metal counterpart. clang 14 turns
  it off only for -cl-std=clc++2021 (-cl-ext=-__opencl_c_generic_address_space,
  with pipes and device-side enqueue off too, as they need it; C++ for
  OpenCL 1.0 always has it), and then no struct can be copied, even within
  one address space: the implicit copy constructor and assignment are
  unusable. So it stays on and the syntax tree is searched instead: a
  declaration or cast whose pointer or reference has no address space fails,
  as Metal fails it;
- Metal copies a struct out of the constant address space where OpenCL
  cannot bind the implicit copy's `__generic` reference to it; that one
  error is let through;
- Metal has no recursion, which clang does not reject: the call graph of
  the syntax tree must have no cycle;
- the check's prelude turns the kernel parameters' attribute macros into
  annotations, and each kernel parameter must carry one whose kind fits its
  type (a buffer a device or constant pointer, setBytes data a constant
  reference, threadgroup memory a threadgroup pointer, positions uint or
  ushort of 1 to 3 lanes, indices and counts scalar), with no buffer index
  bound twice and the vector positions of one kernel of one width;
- the program is built with fast math, which folds a float compared with
  itself (and isnan, which the prelude therefore leaves out): such a NaN
  test fails the check;
- Metal has no goto, which OpenCL has: a goto, a computed goto or a label's
  address in the syntax tree fails the check;
- every variable at program scope, and every static one in a function, must
  be in the constant address space, as in Metal: clang enforces it once
  OpenCL's program-scope global variables are switched off.

Usage: check_metal_source.py --clang CLANG --prelude CHECK_PRELUDE
           --work DIR [--plant FILE] [--expect REGEX] PROGRAM_FILE...
PROGRAM_FILE... is the program's file list, prelude.metal first. --plant
appends a file to the text (a planted fault); with --expect the check must
fail and its report match REGEX, which shows that it catches the fault.
"""

import argparse
import json
import os
import re
import subprocess
import sys

CLANG_FLAGS = [
    "-x", "clcpp", "-cl-std=clc++2021",
    # No OpenCL library: only what the check's prelude declares exists.
    "-cl-no-stdinc",
    # No double, as in Metal; and no mutable variable at program scope (nor
    # a static one in a function): Metal wants them all in the constant
    # address space. Device-side enqueue needs such variables, so it goes
    # too (Metal has none).
    "-Xclang", "-cl-ext=-cl_khr_fp64,-__opencl_c_fp64,"
    "-__opencl_c_program_scope_global_variables,-__opencl_c_device_enqueue",
    "-fsyntax-only", "-ferror-limit=0", "-Werror", "-fno-color-diagnostics",
]

# The one OpenCL error that Metal does not have: an implicit copy of a struct
# whose source is in the constant address space.
CONSTANT_COPY = re.compile(
    r"note: candidate (constructor|function) \(the implicit copy (constructor|assignment "
    r"operator)\) not viable: cannot bind reference in address space '__constant' to object "
    r"in address space '__generic'")

DECLARATIONS = {"VarDecl", "ParmVarDecl", "FieldDecl", "FunctionDecl", "TypedefDecl",
                "TypeAliasDecl"}
CASTS = {"CStyleCastExpr", "CXXFunctionalCastExpr", "CXXStaticCastExpr",
         "CXXReinterpretCastExpr", "CXXConstCastExpr"}
FUNCTIONS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl",
             "CXXConversionDecl"}


class Program:
    """The checked text and where each of its lines came from."""

    def __init__(self):
        self.text = ""
        self.origins = []  # (first line of the part, path)

    def add(self, path, separator=""):
        with open(path, encoding="utf-8") as f:
            part = f.read() + separator
        self.origins.append((self.text.count("\n") + 1, path))
        self.text += part

    def where(self, line):
        first, path = max(o for o in self.origins if o[0] <= line)
        return f"{os.path.relpath(path)}:{line - first + 1}"

    def where_offset(self, offset):
        return self.where(self.text.count("\n", 0, offset) + 1)


def diagnostics(program, path, output):
    """clang's errors (and warnings, which -Werror makes errors) in blocks of
    one error and its notes, with the text's lines named by their files, and
    the allowed constant-space copies dropped."""
    blocks = []
    pattern = re.compile(re.escape(path) + r":(\d+):(\d+):")
    for raw in output.splitlines():
        if re.fullmatch(r"\d+ (errors?|warnings?)( and \d+ errors?)? generated\.", raw):
            continue
        line = pattern.sub(lambda m: program.where(int(m.group(1))) + ":" + m.group(2) + ":", raw)
        if re.search(r"\b(error|warning): ", line) or not blocks:
            blocks.append([line])
        else:
            blocks[-1].append(line)
    kept = []
    for block in blocks:
        head = block[0]
        if ("no matching constructor for initialization of" in head
                or "no viable overloaded '='" in head) and any(
                    CONSTANT_COPY.search(note) for note in block[1:]):
            continue
        kept.append("\n".join(block))
    return kept


def walk(tree, visit):
    """Calls visit(node, parents) on every node, depth first."""
    stack = [(tree, ())]
    while stack:
        node, parents = stack.pop()
        visit(node, parents)
        inner = parents + (node,)
        stack.extend((child, inner) for child in reversed(node.get("inner", ())))


def bare(node):
    """An operand without its implicit conversions and parentheses."""
    while node.get("kind") in ("ImplicitCastExpr", "ParenExpr") and node.get("inner"):
        node = node["inner"][0]
    return node


# Kernel parameter attributes by the kind the check's prelude gives them:
# what the parameter's type must look like, and the index space of the kind.
ATTRIBUTES = {
    1: ("buffer", r"(__global|__constant) .*[*&]", "buffer"),
    2: ("setBytes data", r"__constant .*&", "buffer"),
    3: ("threadgroup memory", r"__local .*\*", "threadgroup"),
    10: ("position or size", r"(uint|ushort)[23]?", None),
    11: ("index or count", r"uint|ushort", None),
}


def kernel_faults(program, kernel, offset_of):
    """The attribute of every parameter of one kernel against its type."""
    faults = []
    bound = {}
    widths = set()
    for parameter in kernel.get("inner", ()):
        if parameter.get("kind") != "ParmVarDecl":
            continue
        name = parameter.get("name", "?")
        where = program.where_offset(offset_of(parameter))
        qual = parameter.get("type", {}).get("qualType", "")
        # The parameter's own qualifiers (its const, its private space) aside.
        shape = " ".join(w for w in qual.replace("*", " * ").replace("&", " & ").split()
                         if w not in ("const", "__private"))
        values = [[int(value["value"]) for value in attribute.get("inner", ())
                   if "value" in value]
                  for attribute in parameter.get("inner", ())
                  if attribute.get("kind") == "AnnotateAttr"]
        if len(values) != 1 or not values[0] or values[0][0] not in ATTRIBUTES:
            faults.append(f"{where}: error: kernel parameter '{name}' has no Metal attribute")
            continue
        what, pattern, space = ATTRIBUTES[values[0][0]]
        if not re.fullmatch(pattern, shape):
            faults.append(f"{where}: error: kernel parameter '{name}' ({qual}) cannot be a "
                          f"{what}")
        if space is not None and len(values[0]) > 1:
            key = (space, values[0][1])
            if key in bound:
                faults.append(f"{where}: error: kernel parameter '{name}' takes {space} index "
                              f"{values[0][1]}, which '{bound[key]}' has")
            bound.setdefault(key, name)
        lanes = re.fullmatch(r"(uint|ushort)([23])", shape)
        if values[0][0] == 10 and lanes:
            widths.add(lanes.group(2))
    if len(widths) > 1:
        faults.append(f"{program.where_offset(offset_of(kernel))}: error: kernel "
                      f"'{kernel.get('name')}' has positions of {' and '.join(sorted(widths))} "
                      f"lanes")
    return faults


def tree_faults(program, tree):
    """Generic address spaces in what the source declares or casts, kernel
    parameters against their attributes, floats compared with themselves,
    jumps to labels and cycles of calls."""
    faults = []
    labels = {}  # a label's id -> its name
    jumps = []  # (offset, what, label id or None) of every goto
    previous = {}  # a redeclaration's id -> the id it redeclares
    names = {}
    calls = {}  # caller id -> callee ids
    locations = {}

    def offset_of(node):
        loc = node.get("loc") or node.get("range", {}).get("begin", {})
        loc = loc.get("expansionLoc", loc)
        return loc.get("offset")

    def visit(node, parents):
        kind = node.get("kind")
        if node.get("isImplicit"):
            return
        if kind in DECLARATIONS or kind in CASTS:
            qual = node.get("type", {}).get("qualType", "")
            if kind in FUNCTIONS:
                qual = qual.split("(")[0]  # the return type; parameters are visited
            offset = offset_of(node)
            if "__generic" in qual and offset is not None and not any(
                    p.get("isImplicit") for p in parents):
                faults.append(f"{program.where_offset(offset)}: error: "
                              f"pointer or reference without an address space "
                              f"('{node.get('name', kind)}': {qual}); Metal has no generic "
                              f"address space")
        if kind == "FunctionDecl" and any(
                a.get("kind") == "OpenCLKernelAttr" for a in node.get("inner", ())):
            faults.extend(kernel_faults(program, node, offset_of))
        if kind in FUNCTIONS:
            names[node["id"]] = node.get("name", "?")
            if "previousDecl" in node:
                previous[node["id"]] = node["previousDecl"]
            offset = offset_of(node)
            if offset is not None:
                locations.setdefault(node["id"], offset)
        if kind == "BinaryOperator" and node.get("opcode") in ("==", "!="):
            sides = [bare(side) for side in node.get("inner", ())]
            if (len(sides) == 2 and all(side.get("kind") == "DeclRefExpr" for side in sides)
                    and sides[0]["referencedDecl"]["id"] == sides[1]["referencedDecl"]["id"]
                    and re.search(r"\b(float|half)\b",
                                  sides[0].get("type", {}).get("qualType", ""))):
                offset = offset_of(node)
                faults.append(f"{program.where_offset(offset)}: error: a NaN test by "
                              f"comparing '{sides[0]['referencedDecl'].get('name')}' with itself, "
                              f"which fast math folds away; test the bits (qz_metal_is_nan)")
        if kind == "LabelStmt":
            labels[node.get("declId")] = node.get("name", "?")
        elif kind == "GotoStmt":
            jumps.append((offset_of(node), "goto", node.get("targetLabelDeclId")))
        elif kind == "IndirectGotoStmt":
            jumps.append((offset_of(node), "computed goto", None))
        elif kind == "AddrLabelExpr":
            jumps.append((offset_of(node), "address of a label", node.get("labelDeclId")))
        referenced = node.get("referencedDecl")
        if referenced and referenced.get("kind") in FUNCTIONS:
            caller = next((p for p in reversed(parents) if p.get("kind") in FUNCTIONS), None)
            if caller is not None:
                calls.setdefault(caller["id"], set()).add(referenced["id"])

    walk(tree, visit)
    for offset, what, label in jumps:
        where = program.where_offset(offset) if offset is not None else "?"
        target = f" '{labels.get(label, '?')}'" if label is not None else ""
        faults.append(f"{where}: error: {what}{target}, which Metal does not allow (no goto in "
                      f"Metal: use a loop, break or continue)")

    def canonical(i):
        seen = set()
        while i in previous and i not in seen:
            seen.add(i)
            i = previous[i]
        return i

    graph = {}
    for caller, callees in calls.items():
        graph.setdefault(canonical(caller), set()).update(canonical(c) for c in callees)
    # Depth-first search for a cycle, without recursion of its own.
    state = {}
    for root in graph:
        if root in state:
            continue
        stack = [(root, iter(graph.get(root, ())))]
        path = [root]
        state[root] = "open"
        while stack:
            node, children = stack[-1]
            child = next(children, None)
            if child is None:
                state[node] = "done"
                stack.pop()
                path.pop()
            elif state.get(child) == "open":
                cycle = path[path.index(child):] + [child]
                offset = locations.get(child)
                where = program.where_offset(offset) if offset is not None else "?"
                faults.append(f"{where}: error: recursion, which Metal does not allow: "
                              + " -> ".join(names.get(c, c) for c in cycle))
            elif child not in state:
                state[child] = "open"
                stack.append((child, iter(graph.get(child, ()))))
                path.append(child)
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clang", required=True)
    parser.add_argument("--prelude", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--plant")
    parser.add_argument("--expect")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    program = Program()
    for path in args.files:
        # The library's text joins its files each followed by a newline.
        program.add(args.prelude if os.path.basename(path) == "prelude.metal" else path, "\n")
    if args.plant:
        program.add(args.plant)
    os.makedirs(args.work, exist_ok=True)
    name = os.path.splitext(os.path.basename(args.plant or "program"))[0]
    path = os.path.join(args.work, name + ".clcpp")
    with open(path, "w", encoding="utf-8") as f:
        f.write(program.text)

    run = subprocess.run([args.clang] + CLANG_FLAGS + ["-Xclang", "-ast-dump=json", path],
                         capture_output=True, text=True, check=False)
    faults = diagnostics(program, path, run.stderr)
    if run.returncode != 0 and not faults and not run.stdout:
        faults.append(run.stderr.strip() or f"{args.clang} failed ({run.returncode})")
    try:
        tree = json.loads(run.stdout) if run.stdout else None
    except json.JSONDecodeError:
        tree = None
        faults.append(f"{args.clang} gave no readable syntax tree")
    if tree is not None:
        faults += tree_faults(program, tree)

    report = "\n".join(faults)
    if args.expect is not None:
        if not faults:
            print(f"the check passed {args.plant}, which it must fail")
            return 1
        print(report)
        # Every error in the planted text: the program itself still passes.
        planted = os.path.relpath(args.plant) + ":"
        if any(not fault.startswith(planted) for fault in faults):
            print(f"errors outside {args.plant}")
            return 1
        if not re.search(args.expect, report):
            print(f"the failure does not match /{args.expect}/")
            return 1
        return 0
    if faults:
        print(report)
        return 1
    print(f"{len(program.origins)} files of Metal source pass the front-end check")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the modules of src/ against the graph CMakeLists.txt declares.

Every folder of src/ is a module built by a vimo_module(name deps...) call;
its vimo_* dependencies are the modules below it. This script fails when the
declared graph has a circle, when a folder of src/ has no vimo_module call,
or when a file of a module includes a header of a module that is not below
it (directly or through another), that is, one above it or beside it.

Usage: check_layers.py [source root]   (default: the folder above tools/)
Prints one line per fault and exits 1, or prints the layers and exits 0.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
MODULE_CALL = re.compile(r"^\s*vimo_module\(\s*(\w+)([^)]*)\)", re.MULTILINE)
INCLUDE = re.compile(r'^\s*#\s*include\s*"([a-z_0-9]+)/[^"]+"', re.MULTILINE)


def declared_graph():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        text = re.sub(r"#[^\n]*", "", f.read())
    graph = {}
    for name, args in MODULE_CALL.findall(text):
        graph[name] = {dep[len("vimo_"):] for dep in args.split() if dep.startswith("vimo_")}
    return graph


def closure(graph):
    """Every module's modules below it; None when the graph has a circle."""
    below, state = {}, {}

    def visit(mod):
        if state.get(mod) == "open":
            return False
        if state.get(mod) == "done":
            return True
        state[mod] = "open"
        reach = set()
        for dep in graph.get(mod, ()):
            if not visit(dep):
                return False
            reach |= {dep} | below[dep]
        below[mod], state[mod] = reach, "done"
        return True

    for mod in graph:
        if not visit(mod):
            return None
    return below


def main():
    graph = declared_graph()
    faults = []
    for dep in sorted({d for deps in graph.values() for d in deps} - graph.keys()):
        faults.append(f"CMakeLists.txt: vimo_{dep} is named as a dependency but has no vimo_module call")
    below = closure(graph)
    if below is None:
        print("CMakeLists.txt: the declared module graph has a circle")
        return 1
    src = os.path.join(ROOT, "src")
    for mod in sorted(os.listdir(src)):
        folder = os.path.join(src, mod)
        if not os.path.isdir(folder):
            continue
        if mod not in graph:
            faults.append(f"src/{mod}: no vimo_module({mod} ...) in CMakeLists.txt")
            continue
        for dirpath, _, files in os.walk(folder):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for target in INCLUDE.findall(f.read()):
                        if target != mod and target in graph and target not in below[mod]:
                            faults.append(f"{os.path.relpath(path, ROOT)}: includes a header of {target}, "
                                          f"which is not below {mod}")
    for fault in faults:
        print(fault)
    if faults:
        return 1
    for mod in sorted(graph, key=lambda m: (len(below[m]), m)):
        print(f"{mod}: {' '.join(sorted(graph[mod])) or '-'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

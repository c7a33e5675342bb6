#!/usr/bin/env python3
"""Checks the modules of src/ against the graph CMakeLists.txt declares, and
the folders of service/ against their order.

Every folder of src/ is a module built by a vimo_module(name deps...) call;
its vimo_* dependencies are the modules below it. This script fails when the
declared graph has a circle, when a folder of src/ has no vimo_module call,
or when a file of a module includes a header of a module that is not below
it (directly or through another), that is, one above it or beside it.

The service's folders are layers in the order SERVICE_LAYERS gives, lowest
first (service.h says what each holds); the files at service/'s top are above
them all. The script fails when a folder of service/ is not in the list, when
a file includes a header of a higher folder, and when files of different
folders include each other in a circle.

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


SERVICE_LAYERS = ["text", "images", "store", "core", "chat", "outbound", "emotes", "bridges", "http", "handlers"]
SERVICE_TOP = len(SERVICE_LAYERS)  # service.cpp, main.cpp, service.h
SERVICE_SKIP = {"tests"}
ANY_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def service_faults():
    """Includes in service/ from a lower folder to a higher one, and circles across folders."""
    root = os.path.join(ROOT, "service")
    if not os.path.isdir(root):
        return []
    faults = []
    for name in sorted(os.listdir(root)):
        if os.path.isdir(os.path.join(root, name)) and name not in SERVICE_LAYERS + list(SERVICE_SKIP):
            faults.append(f"service/{name}: not a layer of SERVICE_LAYERS in tools/check_layers.py")
    rank = lambda rel: SERVICE_LAYERS.index(rel.split("/")[0]) if "/" in rel and rel.split("/")[0] in SERVICE_LAYERS else SERVICE_TOP
    edges = {}
    for dirpath, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.relpath(os.path.join(dirpath, d), root) not in SERVICE_SKIP]
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            rel = os.path.relpath(os.path.join(dirpath, name), root)
            with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                targets = [x for x in ANY_INCLUDE.findall(f.read()) if os.path.isfile(os.path.join(root, x))]
            edges[rel] = targets
            for target in targets:
                if rank(target) > rank(rel):
                    where = target.split("/")[0] if "/" in target else "the top"
                    faults.append(f"service/{rel}: includes {target}, of {where}, which is above "
                                  f"{rel.split('/')[0] if '/' in rel else 'the top'}")
    # Circles among files of different folders: a path of includes from a file back to itself.
    folder = lambda rel: rel.split("/")[0] if "/" in rel else ""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in edges.get(node, ()):
            if state.get(nxt) == "open":
                circle = path[path.index(nxt):] + [nxt]
                if len({folder(x) for x in circle}) > 1:
                    faults.append("service: includes go round in a circle: " + " -> ".join(circle))
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    return faults


def main():
    graph = declared_graph()
    faults = service_faults()
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
    print("service: " + " < ".join(SERVICE_LAYERS) + " < the top")
    return 0


if __name__ == "__main__":
    sys.exit(main())

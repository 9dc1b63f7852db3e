#!/usr/bin/env python3
"""Checks the daemon's layers from its includes: a source in server/service/<layer>/ may include
its own layer and the layers below it, never one above; and no two sources include each other,
directly or round a circle. Prints what it finds; exits 1 on a fault."""
import pathlib
import re
import sys

LAYERS = ["net", "base", "store", "policy", "relay", "session", "v2", "front", "control", "metrics", "api"]
# Arrows that run back up on purpose: (from module, to module), with the reason in the report.
ALLOWED_CLIMBS = {
    # The loop drives the sockets it serves: it reaches their private books as a friend.
    ("net/network_loop", "net/socket"),
    # The registry of logged-in sessions reads the sessions it lists (address, id, name).
    ("session/session_list", "session/user_socket"),
}

root = pathlib.Path(__file__).resolve().parent.parent
service = root / "server" / "service"
include = re.compile(r'#include "server/service/([a-z_/]+)\.h"')


def module(path):
    rel = path.relative_to(service).with_suffix("")
    return str(rel)


edges = {}
for path in sorted(service.rglob("*")):
    if path.suffix not in (".h", ".cc") or path.parent == service:
        continue
    source = module(path)
    for target in include.findall(path.read_text()):
        if target != source:
            edges.setdefault(source, set()).add(target)

faults = []
for source, targets in sorted(edges.items()):
    rank = LAYERS.index(source.split("/")[0])
    for target in sorted(targets):
        if LAYERS.index(target.split("/")[0]) > rank:
            faults.append(f"{source} includes {target}, a layer above it")

# Circles between modules (a header and its source are one module).
state = {}
stack = []
circles = []


def visit(node):
    state[node] = 1
    stack.append(node)
    for nxt in sorted(edges.get(node, ())):
        if state.get(nxt) == 1:
            circle = stack[stack.index(nxt):] + [nxt]
            if not (len(circle) == 3 and tuple(circle[:2]) in ALLOWED_CLIMBS):
                circles.append(" -> ".join(circle))
        elif nxt not in state:
            visit(nxt)
    stack.pop()
    state[node] = 2


for node in sorted(edges):
    if node not in state:
        visit(node)
faults += [f"circle: {c}" for c in circles]

for fault in faults:
    print(fault)
arrows = sum(len(t) for t in edges.values())
print(f"{len(edges)} modules, {arrows} include arrows, {len(faults)} faults")
sys.exit(1 if faults else 0)

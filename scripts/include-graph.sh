#!/usr/bin/env bash
# Prints which source directory includes headers of which other: one line a directory,
# then whether the graph has a cycle. Backends count as their own directories.
set -euo pipefail
cd "$(dirname "$0")/../src"
python3 - <<'PY'
import os, re, sys
def owner(path):
    parts = path.split('/')
    if parts[0] == 'platform' and len(parts) > 2:
        return 'platform/' + parts[1]
    return parts[0] if len(parts) > 1 else '.'
edges = {}
for root, _, files in os.walk('.'):
    for name in files:
        if not name.endswith(('.h', '.cpp')):
            continue
        path = os.path.normpath(os.path.join(root, name))
        src = owner(path)
        for line in open(path, encoding='utf-8', errors='replace'):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if m:
                dst = owner(m.group(1))
                if dst != src:
                    edges.setdefault(src, set()).add(dst)
        edges.setdefault(src, set())
for src in sorted(edges):
    print(f"{src:22} -> {', '.join(sorted(edges[src])) or '(nothing)'}")
state = {}
def cyclic(node, stack):
    state[node] = 1
    for nxt in edges.get(node, ()):
        if state.get(nxt) == 1:
            print('cycle: ' + ' -> '.join(stack + [node, nxt])); return True
        if state.get(nxt) is None and cyclic(nxt, stack + [node]): return True
    state[node] = 2
    return False
if any(cyclic(n, []) for n in sorted(edges) if n not in state):
    sys.exit(1)
print('no cycle')
PY

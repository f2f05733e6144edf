#!/usr/bin/env python3
"""Checks that the program's include graph keeps its floors.

  scripts/check-includes.py [SOURCE_DIR]

- src/: no circle among units (a .h and its .cpp count as one unit), and none among the
  subsystems (folders) either, the folder's own files aside;
- nothing below src/app/ includes app/ (the seam's entry points call the program's entry, and
  only app/entry.h);
- src/core/ stands on base/, os/ and res/ alone; src/os/ and src/base/ include nothing of the
  floors above them;
- emu/ includes nothing from src/.
Prints one line per fault and exits 1 when there is any.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..'))
SRC = os.path.join(ROOT, 'src')
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE_ENDINGS = ('.h', '.cpp', '.inc')


def files(folder):
    for base, _, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith(SOURCE_ENDINGS):
                yield os.path.join(base, name)


def includes(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        return INCLUDE.findall(f.read())


def src_folders():
    return {d for d in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, d))}


def find_cycle(graph):
    """A list of nodes forming a circle, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main():
    faults = []
    folders = src_folders()
    units = {}
    layers = {}
    for path in files(SRC):
        rel = os.path.relpath(path, SRC)
        unit = os.path.splitext(rel)[0]
        folder = rel.split(os.sep)[0]
        for inc in includes(path):
            top = inc.split('/')[0]
            if top not in folders:
                continue
            target = os.path.splitext(inc)[0]
            if target != unit:
                units.setdefault(unit, set()).add(target)
            if top != folder:
                layers.setdefault(folder, set()).add(top)
            entry = re.fullmatch(r'os/[^/]+/entry\.cpp', rel.replace(os.sep, '/')) is not None
            if top == 'app' and folder != 'app' and not (entry and inc == 'app/entry.h'):
                faults.append(f'src/{rel}: includes "{inc}": nothing below app/ includes app/')
            if folder == 'core' and top not in ('core', 'base', 'os', 'res'):
                faults.append(f'src/{rel}: includes "{inc}": core/ stands on base/, os/ and res/ alone')
            if folder in ('os', 'base') and top not in ('os', 'base', 'res') and not entry:
                faults.append(f'src/{rel}: includes "{inc}": {folder}/ includes nothing of the floors above it')
    # The seam's entry points are the program's faces: they sit above everything.
    layers_without_entry = {k: {v for v in vs if not (k == 'os' and v in ('app', 'core'))} for k, vs in layers.items()}
    cycle = find_cycle(units)
    if cycle:
        faults.append('src/: units include each other in a circle: ' + ' -> '.join(cycle))
    cycle = find_cycle(layers_without_entry)
    if cycle:
        faults.append('src/: subsystems include each other in a circle: ' + ' -> '.join(cycle))

    emu = os.path.join(ROOT, 'emu')
    for path in files(emu):
        for inc in includes(path):
            top = inc.split('/')[0]
            if top in folders or inc.startswith('src/'):
                faults.append(f'{os.path.relpath(path, ROOT)}: includes "{inc}": the emulated notebook knows nothing of src/')

    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f'include floors hold: {len(units)} units in src/, emu/ apart')
    return 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/env python3
"""The rooms of src/ and the way their arrows run, read off the include
graph: each folder that holds sources is a room, rooms sit in layers, and a
file may include headers of its own room or of rooms in lower layers only.
That also rules out circles between folders. A new folder must be given its
layer here before it can hold code.

Argument: the source tree's root."""

import os
import re
import sys
import unittest

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
del sys.argv[1:]
SRC = os.path.join(ROOT, "src")

# Lowest first; rooms of one layer do not include each other.
LAYERS = [
    ["der", "gmcrypto/objects", "gmcrypto/sm3", "gmcrypto/sm4"],
    ["gmcrypto/sm2", "gmcrypto/provider"],
    ["platform"],
    ["trace", "resources", "consent"],
    ["smengine/common"],
    ["smengine/asn1"],
    ["smengine/cipher"],
    ["smengine/softcert"],
    ["smengine/signing", "smengine/envelope"],
    ["winsvc"],
    ["ui"],
    ["ui/select-dialog", "register", "agent"],
    ["plugin", "bridge"],
    ["install"],
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def rooms_on_disk():
    rooms = set()
    for folder, _, files in os.walk(SRC):
        if any(f.endswith((".h", ".cpp")) for f in files):
            rooms.add(os.path.relpath(folder, SRC))
    return rooms


def include_edges():
    """(room, included room, file, header) for every include that leaves
    its room; quoted includes resolve beside the file first, then in src/."""
    edges = []
    for folder, _, files in os.walk(SRC):
        room = os.path.relpath(folder, SRC)
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as source:
                text = source.read()
            for header in INCLUDE.findall(text):
                for base in (folder, SRC):
                    target = os.path.normpath(os.path.join(base, header))
                    if os.path.isfile(target):
                        break
                else:
                    continue  # a generated or outside header
                if not target.startswith(SRC + os.sep):
                    continue
                target_room = os.path.relpath(os.path.dirname(target), SRC)
                if target_room != room:
                    edges.append((room, target_room, os.path.relpath(path, ROOT), header))
    return edges


class IncludeGraph(unittest.TestCase):
    def test_every_room_has_its_layer(self):
        placed = [room for layer in LAYERS for room in layer]
        self.assertEqual(len(placed), len(set(placed)), "a room in two layers")
        self.assertEqual(sorted(rooms_on_disk() - set(placed)), [],
                         "folders of src/ without a layer in this test")
        self.assertEqual(sorted(set(placed) - rooms_on_disk()), [],
                         "layers name folders that are gone")

    def test_includes_run_down_the_layers_only(self):
        layer = {room: i for i, rooms in enumerate(LAYERS) for room in rooms}
        wrong = ["%s includes %s (%s above or beside %s)" % (path, header, target, room)
                 for room, target, path, header in include_edges()
                 if room in layer and target in layer and layer[target] >= layer[room]]
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""The rooms of src/ and the way their arrows run, read off the include
graph and the build's compile commands: each folder that holds sources is a
room, rooms sit in layers, and a file may include headers of its own room or
of rooms in lower layers only. That also rules out circles between folders.
Each room is a target of its own whose compile commands see the rooms it
declares and no more (never src/ as a whole). A new folder must be given its
layer here before it can hold code.

Arguments: the source tree's root, the build tree's root."""

import json
import os
import re
import sys
import unittest

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
del sys.argv[1:]
SRC = os.path.join(ROOT, "src")

# Lowest first; rooms of one layer do not include each other.
LAYERS = [
    ["foundation"],
    ["der", "gmcrypto/objects", "gmcrypto/sm3", "gmcrypto/sm4"],
    ["gmcrypto/sm2", "gmcrypto/provider"],
    ["platform/base"],
    ["platform/fs", "platform/cert"],
    ["platform/registry"],
    ["platform/etw", "platform/csp"],
    ["platform/store"],
    ["platform/msg"],
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


    def test_no_circles_between_folders(self):
        graph = {}
        for room, target, _, _ in include_edges():
            graph.setdefault(room, set()).add(target)
        state = {}

        def visit(room, path):
            if state.get(room) == "done":
                return None
            if state.get(room) == "open":
                return path[path.index(room):] + [room]
            state[room] = "open"
            for target in sorted(graph.get(room, ())):
                circle = visit(target, path + [room])
                if circle:
                    return circle
            state[room] = "done"
            return None

        for room in sorted(graph):
            circle = visit(room, [])
            self.assertIsNone(circle, "a circle: %s" % " -> ".join(circle or []))


def compile_commands():
    with open(os.path.join(BUILD, "compile_commands.json"), encoding="utf-8") as f:
        return json.load(f)


def include_dirs(command):
    words = command.get("command", " ".join(command.get("arguments", []))).split()
    dirs = []
    for i, word in enumerate(words):
        if word.startswith("-I") and len(word) > 2:
            dirs.append(word[2:])
        elif word in ("-I", "-isystem") and i + 1 < len(words):
            dirs.append(words[i + 1])
    return [os.path.normpath(d) for d in dirs]


@unittest.skipUnless(BUILD and os.path.isfile(os.path.join(BUILD or "", "compile_commands.json")),
                     "no build tree with compile commands given")
class RoomTargets(unittest.TestCase):
    def test_every_room_builds_as_its_own_target_with_private_includes(self):
        # The private root of a room's target links to the room's folder and
        # to nothing else; a room's sources compile with their own room's
        # private root on the path.
        private_of = {}
        for command in compile_commands():
            source = os.path.normpath(os.path.join(command["directory"], command["file"]))
            if not source.startswith(SRC + os.sep):
                continue
            room = os.path.relpath(os.path.dirname(source), SRC)
            for d in include_dirs(command):
                if os.sep + "rooms" + os.sep in d and d.endswith(os.sep + "private"):
                    linked = os.path.realpath(os.path.join(d, room))
                    if linked == os.path.realpath(os.path.join(SRC, room)):
                        private_of.setdefault(room, set()).add(d)
        rooms = {r for r in rooms_on_disk()
                 if any(f.endswith(".cpp") for f in os.listdir(os.path.join(SRC, r)))}
        self.assertEqual(sorted(rooms - set(private_of)), [],
                         "rooms whose sources do not build as a room target")

    def test_no_target_sees_all_of_src(self):
        wide = sorted({os.path.relpath(os.path.join(c["directory"], c["file"]), ROOT)
                       for c in compile_commands()
                       if any(os.path.realpath(d) in (SRC, ROOT) for d in include_dirs(c))})
        self.assertEqual(wide, [], "sources compiled with all of src/ on the include path")

    def test_a_room_sees_only_the_rooms_it_declares(self):
        # Every room directory a room's sources can see through their include
        # paths lies in a lower layer (or is the room itself).
        layer = {room: i for i, rooms in enumerate(LAYERS) for room in rooms}
        wrong = set()
        for command in compile_commands():
            source = os.path.normpath(os.path.join(command["directory"], command["file"]))
            if not source.startswith(SRC + os.sep):
                continue
            room = os.path.relpath(os.path.dirname(source), SRC)
            for d in include_dirs(command):
                if os.sep + "rooms" + os.sep not in d or not os.path.isdir(d):
                    continue
                for folder, _, files in os.walk(d, followlinks=True):
                    if not any(f.endswith(".h") for f in files):
                        continue
                    seen = os.path.relpath(os.path.realpath(folder), os.path.realpath(SRC))
                    if seen in layer and room in layer and seen != room and \
                            not seen.startswith(room + os.sep) and layer[seen] >= layer[room]:
                        wrong.add("%s sees %s" % (room, seen))
        self.assertEqual(sorted(wrong), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)

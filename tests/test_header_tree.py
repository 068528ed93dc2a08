"""The header tree's order and footprint: every map lists its keys in the
order of their first appearance in the file (top to bottom, although lines
apply bottom to top), the same in every process; hostile headers cost
memory in proportion to their key segments, not more."""

from __future__ import annotations

import json
import subprocess
import zlib

import pytest
from conftest import HEADER_NAME, channel_lines, child_argv, floats_be, run_child
from zudata.testfiles import Member, build

from zu_data_reader import ZuDataFIle


def ordered(tree):
    """The tree with every dict turned into its list of items, so that
    comparisons see the order."""
    if isinstance(tree, dict):
        return [(key, ordered(value)) for key, value in tree.items()]
    return tree


SHUFFLED = [int(c) for c in "7 3 11 0 9 1 14 5 12 2 8 13 4 10 6".split()]


@pytest.mark.parametrize("text, expected", [
    ("b=1\na=2\nc=3\n", [("b", "1"), ("a", "2"), ("c", "3")]),
    # a map's key sits where its first line is, however many lines follow
    ("a.y=1\nb=2\na.x=3\n", [("a", [("y", "1"), ("x", "3")]), ("b", "2")]),
    ("a.x=1\nb=1\na.y=2\nb=3\n", [("a", [("x", "1"), ("y", "2")]), ("b", "1")]),
    ("k.2=a\nk.1=b\nk.2=c\n", [("k", [("2", "a"), ("1", "b")])]),
    # a value that replaces a map takes the place of its own line
    ("x=0\na=1\nb=9\na.b=2\n", [("x", "0"), ("a", "1"), ("b", "9")]),
    ("q=0\na=1\na.z.k=2\n", [("q", "0"), ("a", "1")]),
    ("#c\nz=1\n#a=2\ny.b=3\n", [("z", "1"), ("y", [("b", "3")])]),
    # wide maps (past the size searched linearly), keys revisited out of order
    ("".join(f"m.{k}.x={k}\n" for k in SHUFFLED) + "".join(f"m.{k}.y=-\n" for k in sorted(SHUFFLED)),
     [("m", [(str(k), [("x", str(k)), ("y", "-")]) for k in SHUFFLED])]),
    ("".join(f"m.{k}.y=-\n" for k in sorted(SHUFFLED)) + "".join(f"m.{k}.x={k}\n" for k in SHUFFLED),
     [("m", [(str(k), [("y", "-"), ("x", str(k))]) for k in sorted(SHUFFLED)])]),
    ("".join(f"w{k}=v\n" for k in reversed(range(3000))),
     [(f"w{k}", "v") for k in reversed(range(3000))]),
], ids=["flat", "map-first-line", "map-and-repeat", "repeat-in-map", "value-replaces-map",
        "value-replaces-deep-map", "comments", "wide-revisited", "wide-revisited-later", "very-wide"])
def test_header_keys_follow_the_file(zu_file, text, expected):
    f = ZuDataFIle(zu_file(text))
    assert ordered(f.header) == expected
    assert ordered(f.header) == expected  # and again, from the same tree


def model(text: str):
    """What the header must be, written the slow and obvious way: lines
    apply from the last to the first, and each key remembers the topmost
    line that named it, which fixes its place among its siblings."""
    lines = text.split("\n")[:-1]
    root: dict = {}
    for number in reversed(range(len(lines))):
        line = lines[number]
        if line.startswith("#"):
            continue
        if "=" not in line:
            return f"invalid header line {line} (missing '=')"
        key, _, value = line.partition("=")
        *path, last = key.split(".")
        node = root
        for segment in path:
            entry = node.setdefault(segment, [number, {}])
            if not isinstance(entry[1], dict):
                return "Expected vrariant map got (Value)"
            entry[0] = number
            node = entry[1]
        node[last] = [number, value]

    def items(node):
        if not isinstance(node, dict):
            return node
        return [(k, items(v)) for k, (_, v) in sorted(node.items(), key=lambda kv: kv[1][0])]

    return items(root)


def random_header(rng) -> str:
    """Maps named a, b, c or "" and values named x, y or w0..w11, so that
    most texts parse; a few lines set a map's own key (replacing the map when
    above all its lines, failing otherwise), a few are comments or bad."""
    inner = ["a", "b", "c", ""]
    leaves = ["x", "y"] + [f"w{i}" for i in range(rng.choice([0, 12]))]
    lines = []
    for _ in range(rng.randrange(1, 60)):
        path = [rng.choice(inner) for _ in range(rng.choice([0, 1, 1, 2, 3]))]
        lines.append(".".join(path + [rng.choice(leaves)]) + f"={rng.randrange(100)}")
    for _ in range(rng.choice([0, 0, 1, 3])):
        prefix = rng.choice(lines).split("=")[0].rsplit(".", 1)[0]
        users = [i for i, line in enumerate(lines) if line.startswith(prefix + ".")]
        if users:
            at = rng.randrange(0, users[0] + 1) if rng.random() < 0.8 else rng.randrange(len(lines) + 1)
            lines.insert(at, f"{prefix}=r{rng.randrange(100)}")
    for _ in range(rng.choice([0, 0, 0, 1])):
        lines.insert(rng.randrange(len(lines) + 1), rng.choice(["#c", "", "bad", " #x", "#a.x=1"]))
    return "".join(line + "\n" for line in lines)


@pytest.mark.parametrize("seed", range(60))
def test_random_headers_match_the_model(zu_file, seed):
    import random

    text = random_header(random.Random(seed))
    expected = model(text)
    if isinstance(expected, str):
        with pytest.raises(OSError) as info:
            ZuDataFIle(zu_file(text))
        assert info.value.args == (expected,)
    else:
        assert ordered(ZuDataFIle(zu_file(text)).header) == expected


CHANNELS = [("9", "z", "u3 u1 u2"), ("1", "a", "v9 v8 v0 v1 v7 v2 v6 v3 v5 v4 vx"), ("5", "m", "w")]


def listing_header() -> str:
    text = ""
    for cid, name, units in CHANNELS:
        text += channel_lines(cid, name, conversions=[(u, "volts", "0", "1") for u in units.split()])
    return text


def test_channels_and_units_follow_the_file(zu_file):
    f = ZuDataFIle(zu_file(listing_header()))
    assert f.get_channels() == ["z", "a", "m"]
    for _cid, name, units in CHANNELS:
        assert f.get_channel_units(name) == units.split()
    assert list(f.header["lcd-info"]) == ["9", "1", "5"]


# Two channels named "A": the one with id "7" appears first in the file and
# scales by 1, the one with id "2" scales by 1000.
SAME_NAMES = (channel_lines("7", "A", encoder=("0", "1"), conversions=[("first", "volts", "0", "1")])
              + channel_lines("2", "A", encoder=("0", "1000"), conversions=[("second", "volts", "0", "1")])
              + "z.end=1\n" + "".join(f"z.k{i}=v\n" for i in range(40)))

PROBE = """
    import json, os, sys
    from zu_data_reader import ZuDataFIle
    f = ZuDataFIle(sys.argv[1])
    def keys(tree):
        return [[k, keys(v)] for k, v in tree.items()] if isinstance(tree, dict) else tree
    out = os.dup(1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the conversion's diagnostic line
    data = f.get_channel_data("A", 0, "volts").reshape(-1)[0].item()
    os.dup2(out, 1)
    print(json.dumps([keys(f.header), f.get_channels(), f.get_channel_units("A"), data]))
"""


def test_same_named_channels_first_in_file_wins_in_every_process(zu_file):
    path = zu_file(SAME_NAMES, [("x/0/channels/A.dat", floats_be(1.0))])
    f = ZuDataFIle(path)
    assert f.get_channels() == ["A", "A"]
    assert f.get_channel_units("A") == ["first"]
    # Each process has its own hash secret; nothing may depend on it.
    runs = []
    for _ in range(4):
        procs = [subprocess.Popen(child_argv(PROBE, path),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(5)]
        for p in procs:
            out, err = p.communicate(timeout=120)
            assert p.returncode == 0, err[-2000:]
            runs.append(json.loads(out))
    assert len(runs) == 20
    assert all(run == runs[0] for run in runs)
    header_keys, channels, units, value = runs[0]
    assert [k for k, _ in header_keys] == ["lcd-info", "z"]
    assert [k for k, _ in header_keys[0][1]] == ["7", "2"]
    assert [k for k, _ in header_keys[1][1]] == ["end"] + [f"k{i}" for i in range(40)]
    assert channels == ["A", "A"] and units == ["first"] and value == 1.0


def test_deep_key_beside_a_sibling_converts_in_full(zu_file):
    depth = 300_000
    path = zu_file("a." * depth + "x=1\na.b=2\n")
    script = """
        import sys
        from zu_data_reader import ZuDataFIle
        root = ZuDataFIle(sys.argv[1]).header
        assert list(root) == ["a"] and list(root["a"]) == ["a", "b"] and root["a"]["b"] == "2"
        node, depth = root, 0
        while "x" not in node:
            assert len(node) == 1 or depth == 1
            node, depth = node["a"], depth + 1
        print(depth, node["x"])
    """
    result = run_child(script, path, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == [str(depth), "1"]


def write_repeated_header(path, chunk: bytes, count: int, tail: bytes = b""):
    """A data file whose header is `chunk` * `count` + `tail`, compressed
    piece by piece so that the text never has to exist in this process."""
    comp = zlib.compressobj(wbits=-15)
    crc, parts = 0, []
    for _ in range(count):
        parts.append(comp.compress(chunk))
        crc = zlib.crc32(chunk, crc)
    parts += [comp.compress(tail), comp.flush()]
    crc = zlib.crc32(tail, crc)
    member = Member(HEADER_NAME.encode(), raw=b"".join(parts), crc=crc,
                    usize=len(chunk) * count + len(tail))
    path.write_bytes(build([member]))
    return path


MEASURE = """
    import resource, sys
    from zu_data_reader import ZuDataFIle
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        f = ZuDataFIle(sys.argv[1])
        outcome = repr(f.get_channels())
    except OSError as e:
        outcome = str(e)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024)
    print(outcome)
"""

MIB = 1 << 20


@pytest.mark.parametrize("chunk, count, tail, segments, budget, outcome", [
    # one key 10 million segments deep: at most 64 bytes a segment plus the text
    (b"." * MIB, 10, b"=1\n", 10 * MIB + 1, 64 * (10 * MIB + 1) + 10 * MIB + 3,
     "Expected header to have key lcd-info but it did not."),
    # 100 MiB of line feeds: the last line fails at once, with little beyond the text
    (b"\n" * MIB, 100, b"", 0, 100 * MIB + 50_000_000, "invalid header line  (missing '=')"),
], ids=["10MiB-of-dots", "100MiB-of-line-feeds"])
def test_hostile_header_memory(tmp_path, chunk, count, tail, segments, budget, outcome):
    path = write_repeated_header(tmp_path / "hostile.zip", chunk, count, tail)
    assert path.stat().st_size < 200_000
    result = run_child(MEASURE, path, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    grown, message = result.stdout.split("\n", 1)
    assert message.strip() == outcome
    assert int(grown) < budget, f"{int(grown) / MIB:.0f} MiB at open"
    assert int(grown) < 1_000_000_000

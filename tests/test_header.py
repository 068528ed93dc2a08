"""Header text as the `header` attribute shows it: lines applied from the
last to the first, dotted keys turned into nested dicts, every leaf a str."""

from __future__ import annotations

import pytest
from conftest import run_child

from zu_data_reader import ZuDataFIle

BOM = "\ufeff"


def assert_plain(tree):
    """Only exact dicts with str keys, and exact str leaves."""
    assert type(tree) is dict
    for key, value in tree.items():
        assert type(key) is str
        if type(value) is not str:
            assert_plain(value)


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("a=1", {}),
    ("a=1\n", {"a": "1"}),
    ("a=1\nno equals here", {"a": "1"}),  # the unterminated line is not looked at
    ("#x\n#\n#k=v\n", {}),
    ("!x=1\n", {"!x": "1"}),
    ("k=a=b\nl=\n=v\n", {"k": "a=b", "l": "", "": "v"}),
    (" k = v \n", {" k ": " v "}),
    ('k\\=x="y"\\n\n', {"k\\": 'x="y"\\n'}),  # no escapes, no quoting
    ("a=1\r\n", {"a": "1\r"}),
    ("k=a\0b\n", {"k": "a\0b"}),
    ("a..b=1\n", {"a": {"": {"b": "1"}}}),
    ("a.=1\n", {"a": {"": "1"}}),
    (".=1\n", {"": {"": "1"}}),
    ("x=1\nx=2\n", {"x": "1"}),
    ("a=1\na.b=2\n", {"a": "1"}),
    ("a.b=1\na.c=2\n", {"a": {"b": "1", "c": "2"}}),
    ("a.c=2\na.b=1\n", {"a": {"b": "1", "c": "2"}}),
    ("A=1\na=2\n", {"A": "1", "a": "2"}),
    ("p.q=1\np.r=2\ns=3\n", {"p": {"q": "1", "r": "2"}, "s": "3"}),
    ("ключ.子=значение ✓\n", {"ключ": {"子": "значение ✓"}}),
    (BOM + "k=v\n", {BOM + "k": "v"}),
    (BOM + "#k=v\n", {BOM + "#k": "v"}),
])
def test_header_tree(zu_file, text, expected):
    header = ZuDataFIle(zu_file(text)).header
    assert header == expected
    assert_plain(header)


@pytest.mark.parametrize("text, message", [
    ("\n", "invalid header line  (missing '=')"),
    ("a=1\n\nb=2\n", "invalid header line  (missing '=')"),
    (" #x\n", "invalid header line  #x (missing '=')"),
    ("a=1\r\n\r\n", "invalid header line \r (missing '=')"),
    ("a\0b\n", "invalid header line a\0b (missing '=')"),
    ("ключ\n", "invalid header line ключ (missing '=')"),
    (BOM + "#c\n", f"invalid header line {BOM}#c (missing '=')"),
    # several faults: the one nearest the end is met first
    ("bad1\nok=1\nbad2\n", "invalid header line bad2 (missing '=')"),
    ("a.b=2\na=1\nbad\n", "invalid header line bad (missing '=')"),
    ("bad\na.b=2\na=1\n", "Expected vrariant map got (Value)"),
    ("a.b=2\na=1\n", "Expected vrariant map got (Value)"),
    # a=2 replaces the map made for a.c, so a.b then meets a value
    ("a.b=1\na=2\na.c=3\n", "Expected vrariant map got (Value)"),
])
def test_header_errors(zu_file, text, message):
    with pytest.raises(OSError) as info:
        ZuDataFIle(zu_file(text))
    assert type(info.value) is OSError
    assert info.value.args == (message,)


def test_wide_header_and_stable_order(zu_file):
    text = "".join(f"k.{i}=v{i}\n" for i in range(5000)) + "top=1\n"
    f = ZuDataFIle(zu_file(text))
    first, second = f.header, f.header
    assert first == {"k": {str(i): f"v{i}" for i in range(5000)}, "top": "1"}
    # One parsed header walks its maps in one order, however often it is read.
    assert list(first["k"]) == list(second["k"])
    assert list(first) == list(second)


DEPTH = 1_000_000


def test_very_deep_key_survives(zu_file):
    # A run in its own process: a stack overflow there fails this test
    # instead of killing the test session.
    path = zu_file("a." * (DEPTH - 1) + "a=1\n")
    script = """
        import sys
        from zu_data_reader import ZuDataFIle
        f = ZuDataFIle(sys.argv[1])
        try:
            root = f.header
        except RecursionError:
            print("recursion")
        else:
            node, depth = root, 0
            while type(node) is dict:
                assert list(node) == ["a"]
                node, depth = node["a"], depth + 1
            assert node == "1"
            print(depth)
            del node, root
        del f
        print("done")
    """
    result = run_child(script, path, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() in ([str(DEPTH), "done"], ["recursion", "done"])

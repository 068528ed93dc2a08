"""Reduction of encoder scaling and unit conversions to one linear map, seen
through get_channel_data and the diagnostic lines written to fd 1."""

import math
import os

import pytest
import zu_data_reader
from conftest import channel_lines, floats_be, ints_be, run_child

MISSING = "Expected header to have key {} but it did not."


def request(zu_file, capfd, header, unit, raw=3.0):
    """Converts the float sample `raw` of channel A; returns (value, fd-1 output)."""
    path = zu_file(header, [("s/0/channels/A.dat", floats_be(raw, raw))])
    f = zu_data_reader.ZuDataFIle(path)
    capfd.readouterr()
    value = f.get_channel_data("A", 0, unit)[0, 0, 0]
    return value, capfd.readouterr().out


def conversion_line(out):
    lines = out.splitlines()
    assert len(lines) == 2, out
    return lines[0]


def one_step(offset, multiplier, encoder=("0", "1")):
    return channel_lines("1", "A", encoder=encoder, conversions=[("P", "volts", offset, multiplier)])


WORKED = channel_lines("1", "A", encoder=("0", "2"), base="B",
                       conversions=[("P", "B", "1", "10"), ("Q", "P", "-5", "0.5")])


@pytest.mark.parametrize("unit, out, value", [
    ("B", "6\n", 6.0),
    ("P", "1,20\n61\n", 61.0),
    ("Q", "-4.5,10\n25.5\n", 25.5),
])
def test_worked_example(zu_file, capfd, unit, out, value):
    assert request(zu_file, capfd, WORKED, unit) == (value, out)


@pytest.mark.parametrize("header", [
    channel_lines("1", "A", encoder=("0", "2"), base="B"),
    WORKED + "lcd-info.1.conversion-set.conversion.B.scaling.offset=junk\n",
    channel_lines("1", "A", encoder=("0", "2"), base="B")
    + "lcd-info.1.conversion-set.conversion.B=not a record\n",
], ids=["no-conversion-map", "garbled-base-record", "base-record-is-value"])
def test_base_request_uses_only_the_encoder(zu_file, capfd, header):
    assert request(zu_file, capfd, header, "B") == (6.0, "6\n")


ENCODER_FALLBACKS = {
    "absent": (None, ""),
    "bad-offset": (("x", "2"), ""),
    "good-offset-bad-multiplier": (("5", "x"), ""),
    "blank-in-offset": ((" 5", "2"), ""),
    "offset-only": (None, "lcd-info.1.encoder.scaling.offset=5\n"),
    "encoder-is-value": (None, "lcd-info.1.encoder=7\n"),
    "offset-is-map": (None, "lcd-info.1.encoder.scaling.offset.x=5\n"
                            "lcd-info.1.encoder.scaling.multiplier=2\n"),
}


@pytest.mark.parametrize("encoder, extra", ENCODER_FALLBACKS.values(), ids=ENCODER_FALLBACKS)
def test_unusable_encoder_scaling_is_identity(zu_file, capfd, encoder, extra):
    header = channel_lines("1", "A", encoder=encoder, conversions=[("P", "volts", "1", "10")]) + extra
    assert request(zu_file, capfd, header, "volts") == (3.0, "3\n")
    assert request(zu_file, capfd, header, "P") == (31.0, "1,10\n31\n")


def drop(text, fragment):
    return "".join(line for line in text.splitlines(True) if fragment not in line)


P_RECORD = "lcd-info.1.conversion-set.conversion.P."
# Keeps the "conversions" map alive once its "base" line is gone.
NO_BASE = drop(WORKED, "conversions.base") + "lcd-info.1.conversion-set.conversions.other=B\n"
HEADER_ERRORS = {
    "no-base": (NO_BASE, "P", MISSING.format("base")),
    "no-base-base-request": (NO_BASE, "B", MISSING.format("base")),
    "no-type": (drop(WORKED, ".type="), "B", MISSING.format("type")),
    "undefined-unit": (WORKED, "U", MISSING.format("U")),
    "slot-target-missing": (one_step("1", "1").replace("slot=volts", "slot=Z"), "P",
                            MISSING.format("Z")),
    "inner-slot-missing": (drop(WORKED, P_RECORD + "base-calibration-slot"), "Q",
                           MISSING.format("base-calibration-slot")),
    "no-scaling": (drop(WORKED, P_RECORD + "scaling"), "P", MISSING.format("scaling")),
    "inner-no-multiplier": (drop(WORKED, P_RECORD + "scaling.multiplier"), "Q",
                            MISSING.format("multiplier")),
    "slot-is-map": (drop(WORKED, P_RECORD + "base-calibration-slot") + P_RECORD
                    + "base-calibration-slot.x=B\n", "P", "Expected vrariant Value got (Map)"),
}


@pytest.mark.parametrize("header, unit, message", HEADER_ERRORS.values(), ids=HEADER_ERRORS)
def test_header_errors(zu_file, capfd, header, unit, message):
    f = zu_data_reader.ZuDataFIle(zu_file(header))
    with pytest.raises(OSError) as exc:
        f.get_channel_data("A", 0, unit)
    assert type(exc.value) is OSError and exc.value.args == (message,)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("text", [
    "1e3", "+.5", "-INF", "nan", "NaN", "+nan", "-nan", "Infinity", "-iNfInItY", "inf",
    "1.", ".5", "7", "-7", "1E+2", "1e-2", "00012.50", "1e400", "-1e400", "1e-400",
    "0.1", "9007199254740993", "1.00000000000000011102230246251565404236316680908203125",
    "2.2250738585072011e-308", "4.9e-324", "1.7976931348623157e308", "1.7976931348623159e308",
    "0." + "0" * 399 + "1e400", "1" * 800 + "e-800",
])
def test_accepted_numbers(zu_file, capfd, text):
    # Python's float() rounds correctly too, so it gives the expected value.
    value, _ = request(zu_file, capfd, one_step(text, "1"), "P", raw=0.0)
    expected = float(text)
    assert value == expected or (math.isnan(value) and math.isnan(expected))


@pytest.mark.parametrize("field", ["offset", "multiplier"])
@pytest.mark.parametrize("text", [
    "", " 1", "1 ", "1e", ".", "0x10", "1_000", "1,5", "nan(1)", "infinityx", "e5", "+", "-",
    "--1", "+-1", "1e+", "in", "infin", "1.2.3", "\u0661", "1d0", "1f", "\t1",
])
def test_rejected_numbers(zu_file, capfd, text, field):
    numbers = {"offset": "1", "multiplier": "1", field: text}
    f = zu_data_reader.ZuDataFIle(zu_file(one_step(numbers["offset"], numbers["multiplier"])))
    with pytest.raises(OSError) as exc:
        f.get_channel_data("A", 0, "P")
    expected = "cannot parse float from empty string" if text == "" else "invalid float literal"
    assert exc.value.args == (expected,)
    assert capfd.readouterr().out == ""


def test_crlf_header_leaves_carriage_returns_in_numbers(zu_file, capfd):
    header = channel_lines("1", "A", encoder=("0", "2"),
                           conversions=[("P", "volts", "1", "10")]).replace("\n", "\r\n")
    # The type "float-data\r" is no float type either: samples are integers.
    path = zu_file(header, [("s/0/channels/A\r.dat", ints_be(3, 3))])
    f = zu_data_reader.ZuDataFIle(path)
    with pytest.raises(OSError, match="^invalid float literal$"):
        f.get_channel_data("A\r", 0, "P")
    # "2\r" does not parse either, so the encoder falls back to identity.
    assert f.get_channel_data("A\r", 0, "volts\r")[0, 0, 0] == 3.0


@pytest.mark.parametrize("encoder, offset, multiplier, line", [
    (("0", "3"), "0", "0.1", "0,0.30000000000000004"),
    (("0", "1"), "1e21", "1", "1000000000000000000000,1"),
    (("0", "1"), "123456789012345680000", "0.001", "123456789012345680000,0.001"),
    (("0", "1"), "-1.5e300", "1", "-15" + "0" * 299 + ",1"),
    (("0", "1"), "1e-7", "123.456", "0.0000001,123.456"),
    (("0", "1"), "5e-324", "1", "0." + "0" * 323 + "5,1"),
    (("0", "4"), "20", "0.5", "20,2"),
    (("-0", "1"), "-0", "1", "-0,1"),
    (("0", "-0"), "0", "1", "0,-0"),
    (("0", "1"), "nan", "1", "NaN,1"),
    (("1", "1"), "0", "inf", "inf,inf"),
    (("1", "1"), "0", "-inf", "-inf,-inf"),
], ids=["point-three", "1e21", "shortest-integral", "huge-negative", "small", "subnormal",
        "twenty", "negative-zero-offset", "negative-zero-multiplier", "nan", "inf", "minus-inf"])
def test_diagnostic_number_format(zu_file, capfd, encoder, offset, multiplier, line):
    _, out = request(zu_file, capfd, one_step(offset, multiplier, encoder), "P")
    assert conversion_line(out) == line


def test_samples_are_scaled_without_fused_multiply_add(zu_file, capfd):
    # 3 * 0.3333333333333333 rounds to exactly 1; fused it would leave -2**-54.
    value, _ = request(zu_file, capfd, one_step("0", "1", ("-1", "0.3333333333333333")), "volts")
    assert value == 0.0 and math.copysign(1, value) == 1


def test_chain_is_composed_without_fused_multiply_add(zu_file, capfd):
    value, out = request(zu_file, capfd, one_step("-1", "0.3333333333333333", ("3", "1")), "P", raw=0.0)
    assert conversion_line(out) == "0,0.3333333333333333"
    assert value == 0.0


def test_long_chain(zu_file, capfd):
    n = 100_000
    records = [("U0", "B", "1", "1")] + [(f"U{i}", f"U{i - 1}", "1", "1") for i in range(1, n)]
    header = channel_lines("1", "A", encoder=("0", "2"), base="B", conversions=records)
    value, out = request(zu_file, capfd, header, f"U{n - 1}")
    assert (value, out) == (100_006.0, "100000,2\n100006\n")


CYCLE_CHILD = """
import sys, zu_data_reader
f = zu_data_reader.ZuDataFIle(sys.argv[1])
try:
    f.get_channel_data("A", 0, sys.argv[2])
except OSError as e:
    sys.stderr.write(f"{type(e).__name__}: {e}\\n")
sys.stderr.write(f"{f.get_channel_data('A', 0, 'volts')[0, 0, 0]}\\n")
"""


@pytest.mark.parametrize("records, unit, closing", [
    ([("P", "P", "1", "1")], "P", "P.base-calibration-slot=P"),
    ([("P", "Q", "1", "1"), ("Q", "P", "1", "1")], "P", "Q.base-calibration-slot=P"),
    ([("R", "P", "1", "1"), ("P", "Q", "1", "1"), ("Q", "S", "1", "1"), ("S", "P", "1", "1")], "R",
     "S.base-calibration-slot=P"),
], ids=["self", "pair", "tail-into-loop"])
def test_cyclic_chain_is_an_error(zu_file, records, unit, closing):
    path = zu_file(channel_lines("1", "A", conversions=records),
                   [("s/0/channels/A.dat", floats_be(3.0))])
    child = run_child(CYCLE_CHILD, path, unit)
    # The message names the record whose slot closes the loop.
    message = (f"invalid header line conversion.{closing} "
               "(conversion chain loops without reaching the base unit type)")
    assert (child.returncode, child.stderr) == (0, f"OSError: {message}\n3.0\n")


UNWRITABLE_CHILD = """
import os, sys, zu_data_reader
f = zu_data_reader.ZuDataFIle(sys.argv[1])
{setup}
for unit in ("P", "Q", "B", "Q"):
    a = f.get_channel_data("A", 0, unit)
    sys.stderr.write(f"{{a.shape}} {{a[0, 0, 1]}}\\n")
"""


@pytest.mark.parametrize("setup", [
    "os.close(1)",
    "r, w = os.pipe(); os.dup2(w, 1); os.close(w); os.close(r)",
    "fd = os.open(sys.argv[2], os.O_RDONLY); os.dup2(fd, 1); os.close(fd)",
    "fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 1); os.close(fd)",
], ids=["closed", "broken-pipe", "read-only-file", "device-full"])
def test_unwritable_stdout_drops_diagnostics(zu_file, tmp_path, setup):
    if "/dev/full" in setup and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    read_only = tmp_path / "read-only"
    read_only.write_text("")
    path = zu_file(WORKED, [("s/0/channels/A.dat", floats_be(3.0, 3.0))])
    child = run_child(UNWRITABLE_CHILD.format(setup=setup), path, read_only)
    assert child.returncode == 0, child.stderr
    assert child.stderr == "".join(f"(1, 1, 100) {v}\n" for v in (61.0, 25.5, 6.0, 25.5))
    assert read_only.read_text() == ""

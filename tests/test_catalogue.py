"""Channel listing and unit types: get_channels() and get_channel_units()."""

import pytest
import zu_data_reader
from conftest import channel_lines, floats_be

GOOD = channel_lines("1", "A", conversions=[("V1", "volts", "0", "1")])


def open_file(zu_file, header, members=()):
    return zu_data_reader.ZuDataFIle(zu_file(header, members))


MISSING = "Expected header to have key {} but it did not."
WANT_MAP = "Expected vrariant map got (Value)"


@pytest.mark.parametrize(
    "header, message",
    [
        ("other.key=1\n", MISSING.format("lcd-info")),
        ("lcd-info=x\n", WANT_MAP),
        (GOOD + "lcd-info.9=x\n", WANT_MAP),
        (GOOD + "lcd-info.9.channel=A\n", WANT_MAP),
        (GOOD + "lcd-info.9.type=float-data\n", MISSING.format("channel")),
        (GOOD + "lcd-info.9.channel.label=B\n", MISSING.format("name")),
        (GOOD + "lcd-info.9.channel.name.x=B\n", "Expected vrariant Value got (Map)"),
    ],
    ids=["no-lcd-info", "lcd-info-value", "record-value", "channel-value",
         "no-channel", "no-name", "name-map"],
)
def test_one_malformed_entry_breaks_every_channel_request(zu_file, capfd, header, message):
    # The catalogue is built before anything is looked up, so the good
    # channel "A" becomes unreachable too.
    f = open_file(zu_file, header, [("d/0/channels/A.dat", floats_be(1.0))])
    calls = [
        f.get_channels,
        lambda: f.get_channel_units("A"),
        lambda: f.get_channel_data("A", 0, "volts"),
        lambda: f.get_channel_data("A", 0, "V1"),
    ]
    for call in calls:
        with pytest.raises(OSError) as exc:
            call()
        assert type(exc.value) is OSError and exc.value.args == (message,)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "extra, message",
    [
        ("", MISSING.format("conversion-set")),
        ("lcd-info.7.conversion-set.conversions.base=V\n", MISSING.format("conversion")),
        ("lcd-info.7.conversion-set=x\n", WANT_MAP),
        ("lcd-info.7.conversion-set.conversion=x\n", WANT_MAP),
    ],
)
def test_unit_listing_needs_a_conversion_map(zu_file, extra, message):
    f = open_file(zu_file, "lcd-info.7.channel.name=A\n" + extra)
    assert f.get_channels() == ["A"]
    with pytest.raises(OSError) as exc:
        f.get_channel_units("A")
    assert exc.value.args == (message,)


def test_minimal_channel(zu_file):
    header = ("lcd-info.7.channel.name=A\n"
              "lcd-info.7.conversion-set.conversion.V.base-calibration-slot=X\n")
    f = open_file(zu_file, header)
    assert f.get_channels() == ["A"]
    assert f.get_channel_units("A") == ["V"]


@pytest.mark.parametrize("asked", ["B", "a", "A ", " A", "A\r", "", "Ä"])
def test_unknown_channel_name(zu_file, asked):
    f = open_file(zu_file, GOOD)
    with pytest.raises(OSError) as exc:
        f.get_channel_units(asked)
    assert type(exc.value) is OSError
    assert exc.value.args == ("No such such Channel:  " + asked,)
    # The failed lookup leaves the object usable.
    assert f.get_channel_units("A") == ["V1"]


@pytest.mark.parametrize(
    "records, expected",
    [
        ([("V1", "V0", "0", "1"), ("V2", "V1", "0", "1")], {"V1", "V2"}),
        ([("V0", "V0", "0", "1"), ("V1", "V0", "0", "1")], {"V0", "V1"}),
        # Records are listed without being looked at.
        ([("V1", "nowhere", "junk", "")], {"V1"}),
    ],
)
def test_units_are_the_conversion_keys(zu_file, records, expected):
    f = open_file(zu_file, channel_lines("1", "A", base="V0", conversions=records))
    units = f.get_channel_units("A")
    assert len(units) == len(expected) and set(units) == expected


def test_duplicate_names_are_listed_twice_and_resolved_consistently(zu_file):
    header = (channel_lines("1", "A", conversions=[("V1", "volts", "0", "1")])
              + channel_lines("2", "A", conversions=[("V2", "volts", "0", "1")])
              + channel_lines("3", "C"))
    f = open_file(zu_file, header)
    assert sorted(f.get_channels()) == ["A", "A", "C"]
    first = f.get_channel_units("A")
    assert first in (["V1"], ["V2"])
    assert all(f.get_channel_units("A") == first for _ in range(20))


def test_repeated_calls_give_equal_fresh_lists(zu_file):
    header = "".join(
        channel_lines(str(i), f"ch{i}", conversions=[(f"u{j}", "volts", "0", "1") for j in range(8)])
        for i in range(30)
    )
    f = open_file(zu_file, header)
    channels = f.get_channels()
    assert sorted(channels) == sorted(f"ch{i}" for i in range(30))
    expected = list(channels)
    channels.clear()
    f.get_channel_units("ch17").append("x")
    for _ in range(5):
        assert f.get_channels() == expected
        assert sorted(f.get_channel_units("ch17")) == [f"u{j}" for j in range(8)]

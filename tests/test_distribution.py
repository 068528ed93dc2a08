"""The installed distribution as a publisher and an importer see it: its
license and metadata, the typing markers, and an extension module that
exports nothing but its init function."""

from __future__ import annotations

import importlib.metadata as md
import pathlib
import struct
import sys

import pytest

import zu_data_reader
import zudata

DIST = md.distribution("zu_data_reader")


def test_license_and_metadata():
    meta = DIST.metadata
    assert meta["License-Expression"] == "BSD-3-Clause"
    licenses = [f for f in DIST.files or () if f.name == "LICENSE"]
    assert licenses, "the LICENSE file is not in the installed distribution"
    text = licenses[0].read_text()
    assert "Redistribution and use in source and binary forms" in text
    assert "The zu_data_reader developers" in text
    assert meta["Requires-Python"] == ">=3.11"
    # A CPython the wheel runs under must be named in the classifiers.
    running = f"Programming Language :: Python :: {sys.version_info[0]}.{sys.version_info[1]}"
    assert running in meta.get_all("Classifier")
    assert meta.get_all("Keywords") or meta.get_all("Keyword")


def test_type_information_installed():
    assert (pathlib.Path(zudata.__file__).parent / "py.typed").is_file()
    stubs = pathlib.Path(zu_data_reader.__file__).parent / "zu_data_reader-stubs" / "__init__.pyi"
    assert stubs.is_file()


def elf_exported_symbols(path: pathlib.Path) -> set[str]:
    """Names of the defined, globally visible symbols of a little-endian
    ELF64 shared object's dynamic symbol table."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "not a little-endian ELF64 file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names: set[str] = set()
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strtab_offset = sections[link][4]
        for at in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            st_name, st_info, st_other, st_shndx = struct.unpack_from("<IBBH", data, at)
            binding, visibility = st_info >> 4, st_other & 3
            if st_shndx != 0 and binding in (1, 2) and visibility == 0:  # GLOBAL/WEAK, DEFAULT
                end = data.index(b"\0", strtab_offset + st_name)
                names.add(data[strtab_offset + st_name:end].decode())
    return names


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF shared objects only")
def test_extension_modules_export_only_their_init_function():
    # The C++ runtime, zlib and libdeflate are linked in statically; were
    # their symbols exported, another module's copies could bind to them.
    package_dir = pathlib.Path(zudata.__file__).parent
    modules = [pathlib.Path(zu_data_reader.__file__), *package_dir.glob("*.so")]
    for module in modules:
        exported = elf_exported_symbols(module)
        name = module.name.split(".")[0]
        assert exported == {f"PyInit_{name}"}, (module.name, sorted(exported)[:20])



def test_version_on_both_import_names_is_the_distributions():
    versions = {mod.__name__: getattr(mod, "__version__", None) for mod in (zu_data_reader, zudata)}
    if not any(versions.values()):
        pytest.skip("neither import name carries __version__ yet")
    assert versions == {"zu_data_reader": DIST.version, "zudata": DIST.version}

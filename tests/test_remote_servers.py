"""zudata.open of files on real servers started here on 127.0.0.1: nginx over
HTTP (directly, behind a forwarder that delays each request, and behind one
that drops the connection) and moto's S3 server. Requests are counted from
the servers' logs."""

from __future__ import annotations

import json
import math
import shutil
import time

import pytest
from remote_servers import MOTO, NGINX, MotoS3, Nginx, Oversending, forwarder
from zu_files import good

import zudata
from zudata import _remote

pytest.importorskip("fsspec", reason="needs the remote extra")
pytest.importorskip("aiohttp", reason="needs the remote extra")

pytestmark = pytest.mark.timeout(180)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("served")
    good(root / "sample.zu")
    # Larger than the tail open fetches first.
    good(root / "big.zu", grid=60)
    assert (root / "big.zu").stat().st_size > _remote.TAIL_BYTES
    return root


@pytest.fixture(scope="module")
def nginx(files, tmp_path_factory):
    if NGINX is None:
        pytest.skip("nginx is not installed (the test command installs it)")
    server = Nginx(files, tmp_path_factory.mktemp("nginx"))
    for name in ("sample.zu", "big.zu"):
        shutil.copyfile(files / name, files / "norange" / name)
        shutil.copyfile(files / name, files / "denied" / name)
    yield server
    server.close()


@pytest.fixture(scope="module")
def s3(files, tmp_path_factory):
    if MOTO is None:
        pytest.skip("moto_server is not installed (moto[server], in the test extra)")
    s3fs = pytest.importorskip("s3fs", reason="needs the remote extra")
    server = MotoS3(tmp_path_factory.mktemp("moto"), "recordings")
    fs = s3fs.S3FileSystem(**server.options)
    fs.mkdir("recordings")
    for name in ("sample.zu", "big.zu"):
        fs.put_file(str(files / name), f"recordings/{name}")
    yield server
    server.close()


def _location(kind, server, name):
    if kind == "http":
        return server.url(name), None
    return f"s3://{server.bucket}/{name}", server.options


def _same_values(remote, local, channel_segments):
    for channel, segment in channel_segments:
        assert remote.read(channel, segment).tobytes() == local.read(channel, segment).tobytes()


@pytest.mark.parametrize("kind", ["http", "s3"])
@pytest.mark.parametrize("name", ["sample.zu", "big.zu"])
def test_open_and_reads_from_a_server_cost_few_requests_and_give_the_local_values(request, files, kind, name):
    server = request.getfixturevalue("nginx" if kind == "http" else "s3")
    location, options = _location(kind, server, name)
    local = zudata.open(files / name)
    before = len(server.requests())
    with zudata.open(location, storage_options=options) as f:
        opened = server.requests()[before:]
        # The tail, whose answer also gives the size and version; a file
        # larger than the tail also its directory and header member.
        assert len(opened) == 1 if name == "sample.zu" else len(opened) <= 3, opened
        assert f.header == local.header
        assert f.layout() == local.layout()
        for channel, segments in local.layout().items():
            for segment in segments:
                before = len(server.requests())
                assert f.read(channel, segment).tobytes() == local.read(channel, segment).tobytes()
                fetched = server.requests()[before:]
                if name == "sample.zu":
                    assert fetched == []  # the whole file came with the tail
                else:
                    # Merged windows: never one request per member (this
                    # file has 3600 per read), at most one per 8 MiB of the
                    # file plus one.
                    assert 1 <= len(fetched) <= math.ceil(files.joinpath(name).stat().st_size / (8 << 20)) + 1


def test_requests_through_a_slow_link_are_concurrent(nginx, files):
    with forwarder(nginx.port, delay=0.2) as slow:
        f = zudata.open(nginx.url("big.zu", slow.port))
        before = len(nginx.requests())
        start = time.monotonic()
        values = f.read("height", 1)
        took = time.monotonic() - start
        fetched = len(nginx.requests()) - before
    assert values.tobytes() == zudata.open(files / "big.zu").read("height", 1).tobytes()
    assert fetched >= 2
    # One delay for all of them, not one each.
    assert took < 0.2 * fetched


@pytest.mark.parametrize(
    ("path", "error", "text"),
    [
        ("missing.zu", FileNotFoundError, "no such remote file"),
        ("denied/big.zu", PermissionError, "denied"),
        ("norange/big.zu", zudata.RemoteFileError, "ignored a range request"),
    ],
    ids=["missing", "denied", "no-ranges"],
)
def test_a_failing_server_is_an_oserror_naming_the_url(nginx, path, error, text):
    with pytest.raises(error, match=text) as caught:
        zudata.open(nginx.url(path))
    assert nginx.url(path) in str(caught.value)


def test_a_server_that_ignores_ranges_still_serves_a_file_no_larger_than_the_tail(nginx, files):
    # The whole file is all open would have asked for.
    with zudata.open(nginx.url("norange/sample.zu")) as f, zudata.open(files / "sample.zu") as local:
        _same_values(f, local, [(channel, 1) for channel in local.channels()])
    # Counted by path: the log line of an earlier test's aborted answer may come late.
    assert sum("/norange/sample.zu " in line for line in nginx.requests()) == 1


@pytest.mark.parametrize("kind", ["http", "s3"])
def test_a_file_changed_after_open_is_an_error_not_other_values(request, files, tmp_path, kind):
    # The new file is larger: the ranges asked still get as many bytes as
    # asked, only the version tells they are not the opened file's.
    good(tmp_path / "other.zu", grid=61)
    server = request.getfixturevalue("nginx" if kind == "http" else "s3")
    served = files / "changing.zu"
    if kind == "http":
        shutil.copyfile(files / "big.zu", served)
        replace = lambda: shutil.copyfile(tmp_path / "other.zu", served)  # noqa: E731
    else:
        s3fs = pytest.importorskip("s3fs")
        fs = s3fs.S3FileSystem(**server.options, skip_instance_cache=True)
        fs.put_file(str(files / "big.zu"), f"{server.bucket}/changing.zu")
        replace = lambda: fs.put_file(str(tmp_path / "other.zu"), f"{server.bucket}/changing.zu")  # noqa: E731
    location, options = _location(kind, server, "changing.zu")
    try:
        f = zudata.open(location, storage_options=options)
        replace()
        with pytest.raises(zudata.RemoteFileError, match="changed") as caught:
            f.read("height", 0)
        assert location in str(caught.value)
    finally:
        served.unlink(missing_ok=True)


@pytest.mark.parametrize("kind", ["http", "s3"])
@pytest.mark.parametrize(
    ("honest", "error"), [(0, "does not match"), (1, "ignored a range request")], ids=["tail", "directory"]
)
def test_an_answer_longer_than_its_range_is_refused_unread(files, kind, honest, error):
    # The body a server chooses to send after a plausible Content-Range is
    # read only until it is known to be too long, not into memory whole.
    sends = 64 << 20
    server = Oversending((files / "big.zu").read_bytes(), honest=honest, sends=sends)
    try:
        if kind == "http":
            location, options = f"http://127.0.0.1:{server.port}/big.zu", None
        else:
            pytest.importorskip("s3fs", reason="needs the remote extra")
            endpoint = {"endpoint_url": f"http://127.0.0.1:{server.port}"}
            location, options = "s3://bucket/big.zu", {"anon": True, "client_kwargs": endpoint}
        with pytest.raises(zudata.RemoteFileError, match=error) as caught:
            zudata.open(location, storage_options=options)
        assert location in str(caught.value)
        assert server.done.wait(10)
        # What the socket buffers took before the hang-up, not the body.
        assert server.sent < sends // 2
    finally:
        server.close()


def test_a_dropped_connection_is_an_error_naming_the_url(nginx):
    with forwarder(nginx.port, drop_after=300_000) as dropping:
        url = nginx.url("big.zu", dropping.port)
        with pytest.raises(zudata.RemoteFileError) as caught:
            zudata.open(url)
    assert url in str(caught.value)


@pytest.mark.parametrize("kind", ["http", "s3"])
def test_read_many_to_dask_and_xarray_take_urls(request, files, kind):
    server = request.getfixturevalue("nginx" if kind == "http" else "s3")
    names = ["sample.zu", "big.zu"]
    urls = [_location(kind, server, name)[0] for name in names]
    options = _location(kind, server, names[0])[1]
    want = {url: zudata.open(files / name).read("height", 1) for url, name in zip(urls, names, strict=True)}
    results = zudata.read_many(urls, "height", 1, None, jobs=2, storage_options=options)
    assert not results.errors
    assert {url: values.tobytes() for url, values in results.items()} == {u: v.tobytes() for u, v in want.items()}
    pytest.importorskip("dask", reason="needs the dask extra")
    stacked = zudata.to_dask(urls[:1] * 2, "height", 1, None, storage_options=options).compute()
    assert stacked[1].tobytes() == want[urls[0]].tobytes()
    pytest.importorskip("xarray", reason="needs the xarray extra")
    dataset = zudata.to_xarray(urls[1], storage_options=options, chunks={})
    assert dataset["height"].sel(segment=1).values.tobytes() == want[urls[1]].tobytes()
    dataset.close()
    # As the README writes it: the backend found by name, its options passed through xarray.
    import xarray as xr

    with xr.open_mfdataset(
        urls[1:] * 2, engine="zu", backend_kwargs={"storage_options": options}, combine="nested", concat_dim="file"
    ) as both:
        for i in range(2):
            assert both["height"].isel(file=i).sel(segment=1).values.tobytes() == want[urls[1]].tobytes()


@pytest.mark.parametrize("kind", ["http", "s3"])
def test_zu_reads_urls(request, files, tmp_path, kind):
    from zu_files import zu

    server = request.getfixturevalue("nginx" if kind == "http" else "s3")
    url, options = _location(kind, server, "sample.zu")
    extra = [] if options is None else ["--storage-options", json.dumps(options)]
    info = zu("info", url, *extra)
    assert info.returncode == 0, info.stderr
    assert zu("check", url, *extra).returncode == 0
    assert zu("header", url, *extra).stdout == zu("header", files / "sample.zu").stdout
    out = tmp_path / "height.npy"
    exported = zu("export", url, "-c", "height", "-s", "1", "-o", out, *extra)
    assert exported.returncode == 0, exported.stderr
    import numpy as np

    assert np.load(out).tobytes() == zudata.open(files / "sample.zu").read("height", 1).tobytes()
    pytest.importorskip("matplotlib", reason="needs the tools extra")
    image = tmp_path / "map.png"
    plotted = zu("plot", url, "-c", "height", "-s", "1", "-o", image, *extra)
    assert plotted.returncode == 0, plotted.stderr
    assert image.stat().st_size > 0


def test_zu_passes_storage_options_to_every_request(nginx, files, tmp_path):
    # The file is larger than the tail, so reads after open need the header too.
    from zu_files import zu

    shutil.copyfile(files / "big.zu", files / "private" / "big.zu")
    url = nginx.url("private/big.zu")
    token = ["--storage-options", '{"headers": {"X-Token": "letmein"}}']
    refused = zu("info", url)
    assert refused.returncode == 1 and "denied" in refused.stdout + refused.stderr
    assert zu("info", url, "--storage-options", "[1]").returncode == 2
    assert zu("info", url, *token).returncode == 0
    assert zu("header", url, *token).stdout == zu("header", files / "big.zu").stdout
    checked = zu("check", url, *token)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    out = tmp_path / "private.npz"
    exported = zu("export", url, "-c", "height", "-s", "all", "-o", out, *token)
    assert exported.returncode == 0, exported.stderr
    import numpy as np

    with np.load(out) as arrays, zudata.open(files / "big.zu") as local:
        segments = local.layout()["height"]
        assert {f"big.zu/height/{s}" for s in segments} <= set(arrays.files)
        for segment in segments:
            assert arrays[f"big.zu/height/{segment}"].tobytes() == local.read("height", segment).tobytes()
    pytest.importorskip("matplotlib", reason="needs the tools extra")
    plotted = zu("plot", url, "-c", "height", "-s", "1", "-o", tmp_path / "map.png", *token)
    assert plotted.returncode == 0, plotted.stderr


@pytest.mark.slow
def test_cluster_workers_open_the_urls_themselves(s3, files, monkeypatch):
    distributed = pytest.importorskip("distributed")

    def refused(*args, **kwargs):
        raise AssertionError("the client process opened a URL")

    # Only this process refuses: the worker processes read as usual.
    monkeypatch.setattr(_remote, "open_remote", refused)
    urls = [f"s3://{s3.bucket}/{name}" for name in ("sample.zu", "big.zu")]
    with (
        distributed.LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
            timeout=60,
        ) as local,
        distributed.Client(local, timeout=60) as client,
    ):
        results = zudata.read_many(urls, "height", 2, None, client=client, storage_options=s3.options)
    assert not results.errors, results.errors
    for url, name in zip(urls, ("sample.zu", "big.zu"), strict=True):
        assert results[url].tobytes() == zudata.open(files / name).read("height", 2).tobytes()

"""Real servers for the remote-file tests, on 127.0.0.1 only: Debian's nginx
serving a folder over HTTP with range requests, moto's standalone S3 server,
and an asyncio forwarder that delays each request (or drops the connection
part way through a response). Requests are counted from the servers' own
logs: nginx's access log and the request lines moto's server prints."""

from __future__ import annotations

import asyncio
import contextlib
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
MOTO = shutil.which("moto_server", path=os.path.dirname(sys.executable)) or shutil.which("moto_server")
START_TIMEOUT = 20.0


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _wait_for_port(port: int, process: subprocess.Popen[bytes], what: str) -> None:
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} exited with {process.returncode} before it listened")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not listen on port {port} within {START_TIMEOUT} s")


def _stop(process: subprocess.Popen[bytes]) -> None:
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=10)


class Nginx:
    """nginx in the foreground with its own prefix, configuration and access
    log; /<file> serves `root` with ranges, /norange/<file> the same files
    without (the whole file for any range), /denied/<file> answers 403, and
    /private/<file> answers 403 to a request without "X-Token: letmein"."""

    def __init__(self, root: Path, work: Path) -> None:
        self.root, self.work = root, work
        self.port = free_port()
        self.access_log = work / "access.log"
        for folder in ("norange", "denied", "private"):
            (root / folder).mkdir(exist_ok=True)
        (work / "logs").mkdir(exist_ok=True)
        conf = work / "nginx.conf"
        kinds = ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")
        temp = " ".join(f"{kind}_temp_path {work}/{kind};" for kind in kinds)
        conf.write_text(
            f"""daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log {self.access_log};
  {temp}
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{self.port};
    root {root};
    location /norange/ {{ max_ranges 0; }}
    location /denied/ {{ deny all; }}
    location /private/ {{ if ($http_x_token != "letmein") {{ return 403; }} }}
  }}
}}
"""
        )
        self.process = subprocess.Popen(
            [str(NGINX), "-p", str(work), "-c", str(conf), "-e", str(work / "error.log")],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        _wait_for_port(self.port, self.process, "nginx")

    def url(self, name: str, port: int | None = None) -> str:
        return f"http://127.0.0.1:{port or self.port}/{name}"

    def requests(self) -> list[str]:
        """The request lines of the access log so far."""
        if not self.access_log.exists():
            return []
        return [line.split('"')[1] for line in self.access_log.read_text().splitlines() if '"' in line]

    def close(self) -> None:
        _stop(self.process)


class MotoS3:
    """moto's standalone S3 server with bucket `bucket`; its request log
    (one line per request on stderr) is kept in a file."""

    def __init__(self, work: Path, bucket: str) -> None:
        self.port = free_port()
        self.bucket = bucket
        self.log = work / "moto.log"
        self._log_file = open(self.log, "wb")  # noqa: SIM115 - lives as long as the server
        env = {**os.environ, "AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing"}
        self.process = subprocess.Popen(
            [str(MOTO), "-H", "127.0.0.1", "-p", str(self.port)],
            stdin=subprocess.DEVNULL,
            stdout=self._log_file,
            stderr=subprocess.STDOUT,
            env=env,
        )
        _wait_for_port(self.port, self.process, "moto_server")
        self.options = {
            "key": "testing",
            "secret": "testing",
            "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{self.port}", "region_name": "eu-west-1"},
        }

    def requests(self) -> list[str]:
        """The request lines moto's server logged so far ("GET /b/k HTTP/1.1")."""
        lines = self.log.read_text(errors="replace").splitlines()
        return [line.split('"')[1] for line in lines if '"' in line and "HTTP/" in line]

    def close(self) -> None:
        _stop(self.process)
        self._log_file.close()


class Forwarder:
    """A TCP forwarder to 127.0.0.1:`upstream` that waits `delay` seconds
    before passing on each chunk a client sends (each request), and, with
    `drop_after`, closes a connection once it has passed that many bytes of
    answers back. With `rate` (bytes a second), the answers of all its
    connections together pass no faster, as over a link of that bandwidth.
    Runs its own event loop on a thread."""

    def __init__(
        self, upstream: int, delay: float = 0.0, drop_after: int | None = None, rate: float | None = None
    ) -> None:
        self.upstream, self.delay, self.drop_after, self.rate = upstream, delay, drop_after, rate
        self._link_free_at = 0.0  # loop time at which the bytes passed so far have crossed the link
        self._writers: set[asyncio.StreamWriter] = set()  # of the open connections, both ends
        self.port = free_port()
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(START_TIMEOUT):
            raise RuntimeError("the forwarder did not start")

    def _run(self) -> None:
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(asyncio.start_server(self._serve, "127.0.0.1", self.port))
        self._ready.set()
        self._loop.run_forever()

    async def _serve(self, client_r: asyncio.StreamReader, client_w: asyncio.StreamWriter) -> None:
        try:
            up_r, up_w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", self.upstream), 5)
        except (TimeoutError, OSError):
            client_w.close()
            return
        self._writers |= {client_w, up_w}

        async def requests() -> None:
            while chunk := await client_r.read(65536):
                if self.delay:
                    await asyncio.sleep(self.delay)
                up_w.write(chunk)
                await up_w.drain()

        async def answers() -> None:
            passed = 0
            while chunk := await up_r.read(65536):
                if self.drop_after is not None and passed + len(chunk) > self.drop_after:
                    client_w.write(chunk[: self.drop_after - passed])
                    await client_w.drain()
                    return
                passed += len(chunk)
                await self._cross_link(len(chunk))
                client_w.write(chunk)
                await client_w.drain()

        tasks = [asyncio.ensure_future(requests()), asyncio.ensure_future(answers())]
        with contextlib.suppress(Exception):
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        for task in tasks:
            task.cancel()
        for writer in (client_w, up_w):
            writer.close()
            self._writers.discard(writer)

    async def _cross_link(self, size: int) -> None:
        """Waits until `size` more bytes would have crossed a link of
        `rate` bytes a second shared by every connection (one event loop
        runs them all, so no lock is needed)."""
        if not self.rate:
            return
        now = self._loop.time()
        # A sleep overshoots by up to a millisecond; the link may catch up
        # on 10 ms it sat idle, so the overshoots do not add up to a
        # slower link.
        self._link_free_at = max(now - 0.01, self._link_free_at) + size / self.rate
        if self._link_free_at > now:
            await asyncio.sleep(self._link_free_at - now)

    def close(self) -> None:
        async def shut() -> None:
            self._server.close()
            # A client's kept-alive connections would hold wait_closed()
            # open until the client goes.
            for writer in list(self._writers):
                writer.close()
            await self._server.wait_closed()

        with contextlib.suppress(Exception):
            asyncio.run_coroutine_threadsafe(shut(), self._loop).result(5)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)


@contextlib.contextmanager
def forwarder(upstream: int, **kwargs: object) -> Iterator[Forwarder]:
    f = Forwarder(upstream, **kwargs)  # type: ignore[arg-type]
    try:
        yield f
    finally:
        f.close()


class Oversending:
    """An HTTP server on 127.0.0.1 serving the bytes `data` for any path,
    which answers its first `honest` requests as asked (206 and the range)
    and every later one with the Content-Range asked for followed by
    `sends` bytes of body, far more than that range. `sent` is how many
    bytes of such a body got out before the client hung up."""

    def __init__(self, data: bytes, honest: int, sends: int) -> None:
        import http.server

        owner = self
        self.sent = 0
        self.done = threading.Event()
        self._answered = 0
        self._lock = threading.Lock()  # the server answers each request on a thread of its own

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802 (the handler's own name)
                first, _, last = self.headers["Range"].removeprefix("bytes=").partition("-")
                if not first:  # a suffix range
                    first, last = str(len(data) - int(last)), str(len(data) - 1)
                start, end = int(first), int(last) + 1
                with owner._lock:
                    owner._answered += 1
                    honest_answer = owner._answered <= honest
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {start}-{end - 1}/{len(data)}")
                self.send_header("Content-Length", str(end - start if honest_answer else sends))
                self.send_header("ETag", '"v1"')
                self.end_headers()
                if honest_answer:
                    self.wfile.write(data[start:end])
                else:
                    self._oversend()

            def _oversend(self) -> None:
                chunk = bytes(64 << 10)
                try:
                    for _ in range(sends // len(chunk)):
                        self.wfile.write(chunk)
                        with owner._lock:
                            owner.sent += len(chunk)
                except OSError:
                    pass
                finally:
                    owner.done.set()

            def log_message(self, *args: object) -> None:
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = int(self._server.server_address[1])
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)

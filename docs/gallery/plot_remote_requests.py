"""
A remote read and the requests it costs
=======================================

A recording served over HTTP is opened by its URL and read where it lives.
The server here is a small one started in this process (on 127.0.0.1, with
range requests, stopped at the end); it counts every request it answers
and the bytes it sends, so the counts below are the server's own.
"""

import pathlib
import re
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import matplotlib.pyplot as plt
from make_sample import write_sample

import zudata

# A 32 x 32 grid with three segments: about 4.8 MB, larger than the tail
# that opening fetches first.
data = write_sample(pathlib.Path(tempfile.mkdtemp()) / "scan.zu", grid=32).read_bytes()
print(f"{len(data) / 1e6:.1f} MB")

# %%
# The server: HEAD gives the size (and an ETag), GET with a Range header
# the bytes asked for (``bytes=A-B``, ``bytes=A-``, or the last N bytes:
# ``bytes=-N``). Every request is logged as (method, range, bytes sent).


class RangeHandler(BaseHTTPRequestHandler):
    # Connections are kept open between requests, as web servers do; one
    # left idle for 10 s is closed, which ends its thread.
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    timeout = 10
    log: list[tuple[str, str, int]] = []
    lock = threading.Lock()

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        asked = self.headers.get("Range") or ""
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", asked)
        suffix = re.fullmatch(r"bytes=-(\d+)", asked)
        if match or suffix:
            if match:
                start = int(match[1])
                end = min(int(match[2]) + 1 if match[2] else len(data), len(data))
            else:
                start, end = max(0, len(data) - int(suffix[1])), len(data)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end - 1}/{len(data)}")
        else:
            start, end = 0, len(data)
            self.send_response(200)
        self.send_header("Content-Length", str(end - start))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", '"v1"')
        self.end_headers()
        sent = end - start if send_body else 0
        if send_body:
            self.wfile.write(data[start:end])
        with self.lock:
            self.log.append((self.command, asked, sent))

    def log_message(self, *args):  # no line on standard error per request
        pass


class Server(ThreadingHTTPServer):
    # fsspec opens up to a hundred connections at once: the listening
    # socket's queue holds them all, rather than making clients retry.
    request_queue_size = 256


server = Server(("127.0.0.1", 0), RangeHandler)
threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
# However this script ends, the server stops within two minutes.
deadline = threading.Timer(120, server.shutdown)
deadline.daemon = True
deadline.start()
url = f"http://127.0.0.1:{server.server_address[1]}/scan.zu"


def requests_since(mark, started):
    """The requests answered since the log held `mark` of them, the MB sent
    and the seconds since `started`."""
    with RangeHandler.lock:
        new = RangeHandler.log[mark:]
    return len(new), sum(sent for _, _, sent in new) / 1e6, time.perf_counter() - started


# %%
# Opening fetches the file's tail (its last MiB: the archive's end record
# and most of its directory; the answer also gives the file's size and
# ETag) and what else the directory and header need.
# The layout and the channel names then cost nothing more.
steps = {}
started = time.perf_counter()
f = zudata.open(url)
steps["open"] = requests_since(0, started)
for method, asked, sent in RangeHandler.log:
    print(method, asked or "(no range)", sent, "bytes")
mark, started = len(RangeHandler.log), time.perf_counter()
print(f.channels(), f.layout()["height"][0])
steps["layout"] = requests_since(mark, started)

# %%
# One read: the members of one channel in one segment lie all over the
# file, a few KB apart; with the default fetch_gap (1 MiB) they are
# fetched as one span, at most 8 MiB a request.
mark, started = len(RangeHandler.log), time.perf_counter()
heights = f.read("height", 0, "distance")
steps["read"] = requests_since(mark, started)
f.close()

# %%
# The same read with fetch_gap=0: every window is a request of its own.
# Fewer bytes cross the wire, in many more round trips, which take longer
# even on this machine's loopback.
with zudata.open(url, fetch_gap=0) as f:
    mark, started = len(RangeHandler.log), time.perf_counter()
    assert (f.read("height", 0, "distance") == heights).all()   # the same values
    steps["read,\nfetch_gap=0"] = requests_since(mark, started)

deadline.cancel()
server.shutdown()
server.server_close()
for step, (count, sent, seconds) in steps.items():
    print(f"{step.replace(chr(10), ' '):20} {count:5} requests {sent:6.2f} MB {seconds:7.3f} s")

fig, (left, right) = plt.subplots(1, 2, figsize=(8, 3.5))
names = list(steps)
left.bar_label(left.bar(names, [count for count, _, _ in steps.values()]))
left.set_yscale("symlog")
left.set_ylabel("requests")
right.bar_label(right.bar(names, [sent for _, sent, _ in steps.values()], color="tab:orange"), fmt="%.2f")
right.set_ylabel("MB sent by the server")
fig.suptitle("Requests the HTTP server answered")
fig.tight_layout()
plt.show()

"""Opens the built documentation site in a real browser and checks it.

    python scripts/docs_browser.py build/docs/html build/docs/screenshots

Serves the site with `python -m http.server` on 127.0.0.1 (a free port),
drives Debian's chromium headless through Playwright (the system's browser:
nothing is downloaded) and checks that every page loads without a console
error, a failed request, a broken internal link or anchor, or an image that
did not load; that the search page finds `read_many`; that the gallery's
figures are drawn with a size; and that the API entry of DataFile.read
shows its parameters. Keeps screenshots of three pages. Exits 1 naming
every problem found.
"""

from __future__ import annotations

import contextlib
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator
from pathlib import Path
from urllib.parse import urldefrag, urljoin, urlparse

from playwright.sync_api import Page, sync_playwright

BROWSER = "/usr/bin/chromium"
TIMEOUT_MS = 20_000
SERVER_START_S = 20


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextlib.contextmanager
def served(root: Path) -> Iterator[str]:
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1", "--directory", str(root)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    base = f"http://127.0.0.1:{port}/"
    try:
        deadline = time.monotonic() + SERVER_START_S
        while True:
            try:
                urllib.request.urlopen(base, timeout=2).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise SystemExit(f"the HTTP server did not answer on {base}") from None
                time.sleep(0.1)
        yield base
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def site_pages(root: Path) -> list[str]:
    """Every page of the site, as paths relative to its root (Sphinx's own
    directories of sources and assets left out)."""
    return sorted(
        str(p.relative_to(root)) for p in root.rglob("*.html") if not p.relative_to(root).parts[0].startswith("_")
    )


class Check:
    def __init__(self, base: str) -> None:
        self.base = base
        self.problems: list[str] = []
        self.ids: dict[str, set[str]] = {}  # page URL -> ids on it
        self.links: dict[str, set[str]] = {}  # internal link -> pages that have it

    def fail(self, text: str) -> None:
        self.problems.append(text)

    def visit(self, page: Page, path: str) -> None:
        url = urljoin(self.base, path)
        errors: list[str] = []
        page.on(
            "console", lambda m: errors.append(f"{m.text} ({m.location.get('url')})") if m.type == "error" else None
        )
        page.on("pageerror", lambda e: errors.append(str(e)))
        page.on("requestfailed", lambda r: errors.append(f"request failed: {r.url}"))
        page.on("response", lambda r: errors.append(f"HTTP {r.status}: {r.url}") if r.status >= 400 else None)
        response = page.goto(url, wait_until="load")
        if response is None or response.status != 200:
            self.fail(f"{path}: HTTP {response.status if response else 'no response'}")
        page.wait_for_load_state("networkidle")
        for error in errors:
            self.fail(f"{path}: {error}")
        broken = page.eval_on_selector_all("img", "imgs => imgs.filter(i => !i.complete || i.naturalWidth === 0)"
                                           ".map(i => i.getAttribute('src'))")
        for src in broken:
            self.fail(f"{path}: image did not load: {src}")
        self.ids[url] = set(page.eval_on_selector_all("[id]", "els => els.map(e => e.id)"))
        for href in page.eval_on_selector_all("a[href]", "as => as.map(a => a.href)"):
            if urlparse(href).netloc == urlparse(self.base).netloc:
                self.links.setdefault(href, set()).add(path)

    def check_links(self) -> None:
        for href, pages in sorted(self.links.items()):
            target, anchor = urldefrag(href)
            where = ", ".join(sorted(pages)[:3])
            if target not in self.ids:
                try:
                    urllib.request.urlopen(target, timeout=10).close()
                except OSError as exc:
                    self.fail(f"broken link {href} (on {where}): {exc}")
                continue
            if anchor and anchor not in self.ids[target]:
                self.fail(f"broken anchor {href} (on {where})")

    def search(self, page: Page, word: str) -> None:
        page.goto(urljoin(self.base, f"search.html?q={word}"), wait_until="load")
        try:
            page.wait_for_function(
                "w => [...document.querySelectorAll('#search-results li')].some(li => li.textContent.includes(w))",
                arg=word, timeout=TIMEOUT_MS,
            )
        except Exception:  # noqa: BLE001 - Playwright's timeout, reported as a finding
            self.fail(f"the search page does not find {word}")

    def gallery_figures(self, page: Page, paths: list[str]) -> None:
        for path in paths:
            page.goto(urljoin(self.base, path), wait_until="load")
            figures = page.locator("img.sphx-glr-single-img, img.sphx-glr-multi-img")
            if figures.count() == 0:
                self.fail(f"{path}: no figure")
            for k in range(figures.count()):
                box = figures.nth(k).bounding_box()
                if box is None or box["width"] < 1 or box["height"] < 1:
                    self.fail(f"{path}: figure {k + 1} is drawn with no size ({box})")

    def api_parameters(self, page: Page) -> None:
        page.goto(urljoin(self.base, "api.html#zudata.DataFile.read"), wait_until="load")
        entry = page.locator("dt[id='zudata.DataFile.read']")
        if entry.count() != 1 or not entry.is_visible():
            self.fail("api.html: no visible entry for zudata.DataFile.read")
            return
        entry.scroll_into_view_if_needed()
        names = entry.locator("em.sig-param .n").all_inner_texts()
        shown = [n for n in names if n in ("channel", "segment", "unit")]
        if shown != ["channel", "segment", "unit"]:
            self.fail(f"api.html: DataFile.read shows the parameters {names}, not channel, segment and unit")


def main() -> int:
    root, shots = Path(sys.argv[1]), Path(sys.argv[2])
    shots.mkdir(parents=True, exist_ok=True)
    pages = site_pages(root)
    gallery = [p for p in pages if p.startswith("auto_examples/plot_")]
    if not gallery or "api.html" not in pages:
        print(f"error: {root} lacks the gallery or the API page; was the site built?", file=sys.stderr)
        return 1
    started = time.monotonic()
    with served(root) as base, sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=BROWSER, headless=True, args=["--no-sandbox"])
        context = browser.new_context(viewport={"width": 1280, "height": 900})
        context.set_default_timeout(TIMEOUT_MS)
        check = Check(base)
        for path in pages:
            page = context.new_page()
            check.visit(page, path)
            page.close()
        check.check_links()
        page = context.new_page()
        check.search(page, "read_many")
        page.screenshot(path=str(shots / "search.png"), full_page=True)
        check.gallery_figures(page, gallery)
        page.goto(urljoin(base, "auto_examples/plot_map.html"), wait_until="load")
        page.screenshot(path=str(shots / "gallery-map.png"), full_page=True)
        check.api_parameters(page)
        page.screenshot(path=str(shots / "api-datafile-read.png"))
        browser.close()
    for problem in check.problems:
        print(f"browser check: {problem}", file=sys.stderr)
    print(f"browser check: {len(pages)} pages, {len(check.links)} internal links, "
          f"{len(check.problems)} problems, {time.monotonic() - started:.1f} s; screenshots in {shots}")
    return 1 if check.problems else 0


if __name__ == "__main__":
    sys.exit(main())

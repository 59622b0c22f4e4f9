"""Shared pieces of the kivo serve tests: a catalog of generated images, the
real server started on a free port, and plain HTTP requests."""
import http.client
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import zlib

KIVO = os.path.join(os.environ.get("KIVO_BIN", "build"), "kivo")


def ppm(width, height, paint):
    """A binary PPM whose pixel (x, y) has the colour paint(x, y)."""
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            rows += bytes(paint(x, y))
    return b"P6\n%d %d\n255\n" % (width, height) + bytes(rows)


def png(width, height, paint):
    """The same as a PNG (the page's uploads are PNG or JPEG)."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            raw += bytes(paint(x, y))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def jpeg_size(data):
    """(width, height) from a JPEG's frame header."""
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            raise ValueError("not a JPEG marker at %d" % i)
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        i += 2 + length
    raise ValueError("no frame header")


def halves(left, right):
    return lambda x, y: left if x < 48 else right


def bands(colours):
    return lambda x, y: colours[(y // 16) % len(colours)]


# The image tree: folder names become keywords; names with blanks and UTF-8.
IMAGES = {
    "sea/blue one.ppm": halves((0, 0, 255), (0, 128, 255)),
    "sea/blue two.ppm": halves((0, 0, 230), (0, 140, 255)),
    "sea/été.ppm": bands([(0, 0, 200), (255, 255, 255)]),
    "forest/green.ppm": halves((0, 160, 0), (30, 90, 0)),
    "forest/mixed.ppm": bands([(0, 160, 0), (200, 0, 0), (255, 255, 0)]),
    "city/red.ppm": halves((255, 0, 0), (128, 128, 128)),
    "city/grey.ppm": halves((100, 100, 100), (160, 160, 160)),
}


class Fixture:
    """A scratch folder with the images, a catalog "cat" built by kivo index,
    and helpers to run kivo."""

    def __init__(self):
        base = os.environ.get("KIVO_TEST_TMP") or tempfile.gettempdir()
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="web-", dir=base)
        self.root = os.path.join(self.dir, "photos")
        for name, paint in IMAGES.items():
            path = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(ppm(96, 64, paint))
        # A file outside the root, reached from inside by a link.
        os.makedirs(os.path.join(self.dir, "outside"))
        with open(os.path.join(self.dir, "outside", "secret.ppm"), "wb") as f:
            f.write(ppm(96, 64, halves((1, 2, 3), (4, 5, 6))))
        self.db = os.path.join(self.dir, "db")
        # The photo preset, and the classic classes the API tests name.
        self.run("index", "-q", "-d", self.db, "-c", "cat", "--folder-keywords", "--preset", "photo",
                 "-f", "colour", "-f", "histogram", "-f", "texture", "-f", "draw", "-f", "text", self.root)
        os.symlink(os.path.join(self.dir, "outside", "secret.ppm"), os.path.join(self.root, "city", "link.ppm"))
        os.symlink(os.path.join(self.dir, "outside"), os.path.join(self.root, "out"))

    def run(self, *args, check=True):
        p = subprocess.run([KIVO] + list(args), capture_output=True, timeout=120)
        if check and p.returncode != 0:
            raise AssertionError("kivo %s: %s" % (" ".join(args), p.stderr.decode(errors="replace")))
        return p

    def query_json(self, *args):
        """The text kivo query --json prints, for the catalog."""
        return self.run("query", "-d", self.db, "-c", "cat", "--json", *args).stdout

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Server:
    """kivo serve on a free port over the fixture's database."""

    def __init__(self, fixture, *options):
        self.thumbnails = os.path.join(fixture.dir, "thumbnails")
        self.proc = subprocess.Popen([KIVO, "serve", "-d", fixture.db, "--port", "0", "--thumbnails",
                                      self.thumbnails] + list(options),
                                     stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
        line = self.proc.stderr.readline().decode()
        m = re.search(r"listening on http://([^/]+):(\d+)/", line)
        if not m:
            self.proc.kill()
            raise AssertionError("kivo serve did not start: " + line + self.proc.stderr.read().decode())
        self.host, self.port = m.group(1), int(m.group(2))

    def request(self, method, path, body=None, headers=None, timeout=30):
        """(status, headers, body bytes) of one request on a new connection."""
        c = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            c.close()

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post_json(self, path, value):
        return self.request("POST", path, json.dumps(value).encode(), {"Content-Type": "application/json"})

    def stop(self):
        self.proc.terminate()
        try:
            rc = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("kivo serve did not stop on SIGTERM")
        self.proc.stderr.close()
        return rc


def multipart(fields, files):
    """A multipart/form-data body and its content type."""
    boundary = "kivo-test-boundary-7d2f"
    out = bytearray()
    for name, value in fields:
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (boundary, name, value)).encode()
    for name, filename, data in files:
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n" % (boundary, name, filename)).encode()
        out += data + b"\r\n"
    out += ("--%s--\r\n" % boundary).encode()
    return bytes(out), "multipart/form-data; boundary=" + boundary

"""A small client of the browser's DevTools protocol, over a WebSocket made
with the standard library only, and a PNG reader for its screenshots."""
import base64
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request
import zlib

CHROMIUM = os.environ.get("KIVO_CHROMIUM", "/usr/bin/chromium")


class Unavailable(Exception):
    """The browser cannot start here."""


class WebSocket:
    def __init__(self, url, timeout=30):
        m = re.match(r"ws://([^/:]+):(\d+)(/.*)", url)
        self.sock = socket.create_connection((m.group(1), int(m.group(2))), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: %s:%s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % (m.group(3), m.group(1), m.group(2), key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the browser closed the WebSocket handshake")
            head += chunk
        head, self.buffer = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError("WebSocket refused: " + head.decode(errors="replace"))

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the browser closed the WebSocket")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def send(self, text):
        data = text.encode()
        head = bytearray([0x81])
        if len(data) < 126:
            head.append(0x80 | len(data))
        elif len(data) < 1 << 16:
            head += bytes([0x80 | 126]) + struct.pack(">H", len(data))
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", len(data))
        mask = os.urandom(4)
        self.sock.sendall(bytes(head) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def receive(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            if b0 & 0x0F == 8:
                raise ConnectionError("the browser closed the WebSocket")
            if b0 & 0x0F in (0, 1, 2):
                message += payload
                if b0 & 0x80:
                    return message.decode()


class Browser:
    """Headless chromium with a fresh profile, and its first page."""

    def __init__(self, width=1280, height=900):
        if not os.access(CHROMIUM, os.X_OK):
            raise Unavailable(CHROMIUM + " is not installed")
        self.profile = tempfile.mkdtemp(prefix="kivo-chromium-")
        args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--user-data-dir=" + self.profile, "--remote-debugging-port=0",
                "--window-size=%d,%d" % (width, height), "about:blank"]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        url = None
        deadline = time.time() + 30
        while time.time() < deadline:
            line = self.proc.stderr.readline().decode(errors="replace")
            if not line and self.proc.poll() is not None:
                break
            m = re.search(r"DevTools listening on (ws://\S+)", line)
            if m:
                url = m.group(1)
                break
        if url is None:
            self.close()
            raise Unavailable("chromium did not start")
        port = re.match(r"ws://[^:]+:(\d+)/", url).group(1)
        pages = []
        for _ in range(50):
            pages = [t for t in json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
                     if t["type"] == "page"]
            if pages:
                break
            time.sleep(0.1)
        self.ws = WebSocket(pages[0]["webSocketDebuggerUrl"])
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            m = json.loads(self.ws.receive())
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError("%s: %s" % (method, m["error"]))
                return m.get("result", {})
            self.events.append(m)

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError("%s: %s" % (expression, r["exceptionDetails"]))
        return r["result"].get("value")

    def wait_for(self, expression, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = self.eval(expression)
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("timed out waiting for " + expression)

    def mouse(self, kind, x, y, buttons=1):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                  buttons=buttons if kind != "mouseReleased" else 0, clickCount=1)

    def drag(self, x0, y0, x1, y1, steps=5):
        self.mouse("mouseMoved", x0, y0, 0)
        self.mouse("mousePressed", x0, y0)
        for i in range(1, steps + 1):
            self.mouse("mouseMoved", x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps)
        self.mouse("mouseReleased", x1, y1)

    def click(self, selector):
        box = self.eval("(() => { const r = document.querySelector(%s).getBoundingClientRect();"
                        " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % json.dumps(selector))
        self.mouse("mouseMoved", box[0], box[1], 0)
        self.mouse("mousePressed", box[0], box[1])
        self.mouse("mouseReleased", box[0], box[1])

    def screenshot(self, path):
        data = base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])
        with open(path, "wb") as f:
            f.write(data)
        return read_png(data)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class Image:
    def __init__(self, width, height, channels, rows):
        self.width, self.height, self.channels, self.rows = width, height, channels, rows

    def pixel(self, x, y):
        i = int(x) * self.channels
        return tuple(self.rows[int(y)][i:i + 3])


def read_png(data):
    """An 8-bit RGB or RGBA PNG without interlacing, as rows of bytes."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if f == 1:
                line[i] = (line[i] + a) & 0xFF
            elif f == 2:
                line[i] = (line[i] + b) & 0xFF
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(line)
        prev = line
    return Image(width, height, channels, rows)

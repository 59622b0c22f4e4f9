"""The JSON API of kivo serve, against the real server on a free port: every
query kind answers exactly what kivo query --json prints for the same
request; catalogs, thumbnails and originals; errors as JSON with their
status; files only from below the catalog root."""
import json
import os
import shutil
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webtest  # noqa: E402

SKETCH = {"width": 96, "height": 64, "background": "#ffffff",
          "rects": [{"x": 0, "y": 0, "w": 48, "h": 64, "color": "#0000ff"},
                    {"x": 48, "y": 0, "w": 48, "h": 64, "color": [0, 128, 255]}]}


def q(**params):
    """A query URL; list values repeat their parameter."""
    pairs = []
    for k, v in params.items():
        for item in v if isinstance(v, list) else [v]:
            pairs.append((k, str(item)))
    return "/api/query?" + urllib.parse.urlencode(pairs)


class Api(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fx = webtest.Fixture()
        # A second catalog: a landscape photograph tagged to be shown turned
        # a quarter clockwise, and the same photograph untagged.
        cls.turned = os.path.join(cls.fx.dir, "turned")
        os.makedirs(cls.turned)
        photo = os.path.join(os.environ.get("KIVO_PHOTOS", "/work/shared/data/wang1k"), "beach", "100.jpg")
        cls.have_photo = os.path.exists(photo) and shutil.which("exiv2") is not None
        if cls.have_photo:
            shutil.copy(photo, os.path.join(cls.turned, "plain.jpg"))
            shutil.copy(photo, os.path.join(cls.turned, "turned.jpg"))
            subprocess.run(["exiv2", "-M", "set Exif.Image.Orientation 6", os.path.join(cls.turned, "turned.jpg")],
                           check=True, capture_output=True)
            cls.fx.run("index", "-q", "-d", cls.fx.db, "-c", "turned", cls.turned)
        cls.server = webtest.Server(cls.fx)

    @classmethod
    def tearDownClass(cls):
        rc = cls.server.stop()
        cls.fx.close()
        assert rc == 0, "kivo serve exited with %d" % rc

    def ok_json(self, status, headers, body):
        self.assertEqual(status, 200, body)
        self.assertEqual(headers["content-type"], "application/json")
        return body

    def test_get_queries_answer_as_kivo_query(self):
        cases = [
            ("by key", q(catalog="cat", key="sea/blue%20one.ppm", n=4), ["-i", "sea/blue%20one.ppm", "-n", "4"]),
            ("by key, default n", q(catalog="cat", key="city/red.ppm"), ["-i", "city/red.ppm"]),
            ("one feature", q(catalog="cat", key="sea/été.ppm", f="histogram", n=3),
             ["-i", "sea/été.ppm", "-f", "histogram", "-n", "3"]),
            ("a preset", q(catalog="cat", key="sea/été.ppm", f="photo", n=4),
             ["-i", "sea/été.ppm", "--preset", "photo", "-n", "4"]),
            ("a weighted preset beside a feature", q(catalog="cat", key="city/grey.ppm", f=["photo", "draw"], w=[2, 1]),
             ["-i", "city/grey.ppm", "-f", "photo:W=2", "-f", "draw"]),
            ("weighted features", q(catalog="cat", key="forest/green.ppm", f=["colour", "texture"], w=[2, 0.5], n=5),
             ["-i", "forest/green.ppm", "-f", "colour:W=2", "-f", "texture:W=0.5", "-n", "5"]),
            ("a weight on the first of two", q(catalog="cat", key="city/grey.ppm", f=["draw", "histogram"], w=[3]),
             ["-i", "city/grey.ppm", "-f", "draw:W=3", "-f", "histogram"]),
            ("keywords", q(catalog="cat", keywords="sea"), ["-T", "sea"]),
            ("keywords and an example", q(catalog="cat", keywords="forest,city", key="forest/mixed.ppm", n=3),
             ["-T", "forest,city", "-i", "forest/mixed.ppm", "-n", "3"]),
            ("sketch description", q(catalog="cat", sketch="D96 64 R0 0 48 64 255 0 0 R48 0 48 64 128 128 128", n=3),
             ["-S", "D96 64 R0 0 48 64 255 0 0 R48 0 48 64 128 128 128", "-n", "3"]),
            ("sketch JSON in the URL", q(catalog="cat", sketch=json.dumps(SKETCH), n=2),
             ["-S", json.dumps(SKETCH), "-n", "2"]),
            ("a key given as its path", q(catalog="cat", key="sea/blue two.ppm", n=2),
             ["-i", "sea/blue%20two.ppm", "-n", "2"]),
        ]
        for name, url, args in cases:
            with self.subTest(name):
                body = self.ok_json(*self.server.get(url))
                self.assertEqual(body, self.fx.query_json(*args))
                self.assertTrue(json.loads(body)["results"])

    def test_post_queries_answer_as_kivo_query(self):
        upload = os.path.join(self.fx.dir, "upload.png")
        image = webtest.png(96, 64, webtest.halves((0, 10, 240), (0, 120, 250)))
        with open(upload, "wb") as f:
            f.write(image)
        form, form_type = webtest.multipart([("catalog", "cat"), ("n", "3"), ("f", "histogram")],
                                            [("image", "query.png", image)])
        cases = [
            ("JSON by key", ("POST", "/api/query",
                             json.dumps({"catalog": "cat", "key": "sea/blue one.ppm", "n": 3}).encode(),
                             {"Content-Type": "application/json"}), ["-i", "sea/blue%20one.ppm", "-n", "3"]),
            ("JSON sketch with weighted features",
             ("POST", "/api/query", json.dumps({"catalog": "cat", "sketch": SKETCH, "n": 4,
                                                "features": [{"name": "draw", "weight": 2}, "colour"]}).encode(),
              {"Content-Type": "application/json; charset=utf-8"}),
             ["-S", json.dumps(SKETCH), "-f", "draw:W=2", "-f", "colour", "-n", "4"]),
            ("raw image body", ("POST", q(catalog="cat", n=3)[len("/api/query"):].join(["/api/query", ""]), image,
                                {"Content-Type": "image/png"}), ["-I", upload, "-n", "3"]),
            ("multipart form", ("POST", "/api/query", form, {"Content-Type": form_type}),
             ["-I", upload, "-n", "3", "-f", "histogram"]),
        ]
        for name, (method, path, body, headers), args in cases:
            with self.subTest(name):
                got = self.ok_json(*self.server.request(method, path, body, headers))
                self.assertEqual(got, self.fx.query_json(*args))
        # Uploads are not left behind.
        self.assertEqual([n for n in os.listdir("/tmp") if n.startswith("kivo-serve-") and
                          os.listdir(os.path.join("/tmp", n))], [])

    def test_catalogs_answer_as_kivo_info(self):
        status, headers, body = self.server.get("/api/catalogs")
        self.assertEqual(body, self.fx.run("info", "-d", self.fx.db, "--json").stdout)
        status, headers, body = self.server.get("/api/catalogs/cat")
        self.assertEqual(status, 200)
        info = json.loads(body)
        self.assertEqual((info["name"], info["files"], info["root"]), ("cat", len(webtest.IMAGES), self.fx.root))

    def test_thumbnail_made_once_then_cached(self):
        url = "/api/thumbnail?catalog=cat&key=" + urllib.parse.quote("sea/blue%20one.ppm") + "&size=48"
        status, headers, body = self.server.get(url)
        self.assertEqual((status, headers["content-type"]), (200, "image/jpeg"), body)
        self.assertEqual(body[:3], b"\xff\xd8\xff")
        cached = [n for n in os.listdir(self.server.thumbnails) if n.endswith("-48.jpg")]
        self.assertEqual(len(cached), 1)
        path = os.path.join(self.server.thumbnails, cached[0])
        before = os.stat(path).st_mtime_ns
        self.assertEqual(self.server.get(url)[2], body)
        self.assertEqual(os.stat(path).st_mtime_ns, before)
        # A changed image gets a new thumbnail.
        image = os.path.join(self.fx.root, "sea", "blue one.ppm")
        os.utime(image, ns=(before + 10**9, before + 10**9))
        self.assertEqual(self.server.get(url)[0], 200)
        self.assertEqual(len([n for n in os.listdir(self.server.thumbnails) if n.endswith("-48.jpg")]), 2)

    def test_thumbnail_upright_by_orientation_tag(self):
        if not self.have_photo:
            self.skipTest("no photograph or no exiv2 program")
        sizes = {}
        for key in ("plain.jpg", "turned.jpg"):
            status, headers, body = self.server.get("/api/thumbnail?catalog=turned&size=100&key=" + key)
            self.assertEqual(status, 200, body)
            sizes[key] = webtest.jpeg_size(body)
        self.assertEqual(sizes["plain.jpg"], (100, 67))
        self.assertEqual(sizes["turned.jpg"], (67, 100))
        # The original is sent as stored, tag and all.
        status, headers, body = self.server.get("/api/image?catalog=turned&key=turned.jpg")
        with open(os.path.join(self.turned, "turned.jpg"), "rb") as f:
            self.assertEqual(body, f.read())

    def test_original_image(self):
        status, headers, body = self.server.get("/api/image?catalog=cat&key=" + urllib.parse.quote("sea/été.ppm"))
        self.assertEqual((status, headers["content-type"]), (200, "image/x-portable-pixmap"))
        with open(os.path.join(self.fx.root, "sea", "été.ppm"), "rb") as f:
            self.assertEqual(body, f.read())

    def test_page_and_assets(self):
        for path, kind in [("/", "text/html"), ("/index.html", "text/html"), ("/app.js", "text/javascript"),
                           ("/style.css", "text/css")]:
            with self.subTest(path):
                status, headers, body = self.server.get(path)
                self.assertEqual(status, 200)
                self.assertTrue(headers["content-type"].startswith(kind), headers["content-type"])
                self.assertIn("default-src 'self'", headers["content-security-policy"])

    def test_errors_are_json_with_their_status(self):
        big_sketch = dict(SKETCH, rects=[{"x": 0, "y": 0, "w": 1, "h": 1, "color": "#000000"}] * 300)
        cases = [
            ("GET", q(key="city/red.ppm"), None, {}, 400, "catalog"),
            ("GET", q(catalog="nosuch", key="city/red.ppm"), None, {}, 404, "no catalog nosuch"),
            ("GET", q(catalog="../db", key="city/red.ppm"), None, {}, 404, "no catalog"),
            ("GET", q(catalog="cat"), None, {}, 400, "nothing to query"),
            ("GET", q(catalog="cat", key="nosuch.ppm"), None, {}, 400, "no key nosuch.ppm"),
            ("GET", q(catalog="cat", key="city/red.ppm", sketch="D9 9"), None, {}, 400, "one of"),
            ("GET", q(catalog="cat", key="city/red.ppm", n=0), None, {}, 400, "n must be"),
            ("GET", q(catalog="cat", key="city/red.ppm", n="5x"), None, {}, 400, "n must be"),
            ("GET", q(catalog="cat", key="city/red.ppm", n=1000001), None, {}, 400, "n must be"),
            ("GET", q(catalog="cat", key="city/red.ppm", f="nosuch"), None, {}, 400, "unknown feature"),
            ("GET", q(catalog="cat", key="city/red.ppm", f="colour", w="heavy"), None, {}, 400, "weight"),
            ("GET", q(catalog="cat", key="city/red.ppm", f="colour", w=[1, 2]), None, {}, 400, "more weights"),
            ("GET", q(catalog="cat", key="city/red.ppm", f=["colour:W=%d" % i for i in range(17)]), None, {}, 400,
             "at most 16"),
            ("GET", q(catalog="cat", key=["a", "b"]), None, {}, 400, "more than once"),
            ("GET", q(catalog="cat", sketch="{\"width\": 0}"), None, {}, 400, "sketch"),
            ("POST", "/api/query", b"{not json", {"Content-Type": "application/json"}, 400, "not a JSON object"),
            ("POST", "/api/query", b"[1]", {"Content-Type": "application/json"}, 400, "not a JSON object"),
            ("POST", "/api/query", json.dumps({"catalog": "cat", "sketch": big_sketch}).encode(),
             {"Content-Type": "application/json"}, 400, "at most 255"),
            ("POST", "/api/query", json.dumps({"catalog": "cat", "key": 5}).encode(),
             {"Content-Type": "application/json"}, 400, "must be a string"),
            ("POST", "/api/query", json.dumps({"catalog": "cat", "key": "city/red.ppm", "features": "colour"}).encode(),
             {"Content-Type": "application/json"}, 400, "must be a list"),
            ("POST", "/api/query", b"hello", {"Content-Type": "text/plain"}, 415, "JSON"),
            ("POST", q(catalog="cat"), b"", {"Content-Type": "image/png"}, 400, "empty"),
            ("POST", q(catalog="cat"), b"not an image at all", {"Content-Type": "image/png"}, 400, "upload"),
            ("POST", q(catalog="cat", key="city/red.ppm"), b"P6", {"Content-Type": "image/png"}, 400, "one of"),
            ("GET", "/api/thumbnail?catalog=cat&key=city/red.ppm&size=2", None, {}, 400, "size"),
            ("GET", "/api/thumbnail?catalog=cat", None, {}, 400, "key"),
            ("GET", "/api/nosuch", None, {}, 404, "no such API"),
            ("GET", "/nosuch.html", None, {}, 404, "no such page"),
            ("PUT", "/api/query", b"{}", {"Content-Type": "application/json"}, 405, "use GET, HEAD, POST"),
            ("DELETE", "/api/image?catalog=cat&key=city/red.ppm", None, {}, 405, "use GET, HEAD"),
            ("POST", "/api/catalogs/cat", b"", {}, 405, "use GET, HEAD"),
            ("POST", "/", b"x", {"Content-Type": "text/plain"}, 405, "use GET, HEAD"),
            ("OPTIONS", "/api/thumbnail", None, {}, 405, "OPTIONS is not allowed"),
            ("PUT", "/api/nosuch", b"", {}, 404, "no such API"),
            ("GET", "/api/catalogs/", None, {}, 404, "no such API"),
        ]
        for method, path, body, headers, status, words in cases:
            with self.subTest(method=method, path=path):
                got, h, text = self.server.request(method, path, body, headers)
                self.assertEqual(got, status, text)
                self.assertEqual(h["content-type"], "application/json")
                e = json.loads(text)
                self.assertEqual(e["status"], status)
                self.assertIn(words, e["error"])

    def test_files_only_from_below_the_root(self):
        outside = os.path.join(self.fx.dir, "outside", "secret.ppm")
        cases = [
            "../outside/secret.ppm",       # not a key of the catalog
            outside,                       # an absolute path
            "city/link.ppm",               # a link out of the tree, not indexed
            "out/secret.ppm",              # a folder link out of the tree
            "city/../../outside/secret.ppm",
        ]
        for endpoint in ("image", "thumbnail"):
            for key in cases:
                with self.subTest(endpoint=endpoint, key=key):
                    status, headers, body = self.server.get(
                        "/api/%s?catalog=cat&key=%s" % (endpoint, urllib.parse.quote(key)))
                    self.assertEqual(status, 404, body)
                    self.assertNotIn(b"\x01\x02\x03", body)

    def test_indexed_file_replaced_by_a_link_out_of_the_tree(self):
        image = os.path.join(self.fx.root, "city", "grey.ppm")
        saved = image + ".saved"
        os.rename(image, saved)
        try:
            os.symlink(os.path.join(self.fx.dir, "outside", "secret.ppm"), image)
            for endpoint in ("image", "thumbnail"):
                status, headers, body = self.server.get("/api/%s?catalog=cat&key=city/grey.ppm" % endpoint)
                self.assertEqual(status, 404, body)
                self.assertIn("outside the catalog root", json.loads(body)["error"])
        finally:
            os.unlink(image)
            os.rename(saved, image)


if __name__ == "__main__":
    unittest.main(verbosity=1)

"""The search page in headless chromium against the real kivo serve: draw,
move and resize a rectangle, search by the sketch and see the thumbnails
load, then "more like this", an uploaded image and keywords; a screenshot
is saved and its layout checked. Skips (status 77) only when chromium cannot
start."""
import json
import os
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402
import webtest  # noqa: E402

WIDTH, HEIGHT = 1000, 720
RESULTS_LOADED = """(() => {
  const imgs = [...document.querySelectorAll('#results img')];
  return imgs.length > 0 && imgs.every((i) => i.complete && i.naturalWidth > 0) &&
         !document.getElementById('search').disabled;
})()"""
RESULT_KEYS = "[...document.querySelectorAll('#results img')].map((i) => i.alt)"


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.browser = cdp.Browser(WIDTH, HEIGHT)
        except cdp.Unavailable as e:
            print("SKIP: " + str(e))
            sys.exit(77)
        cls.fx = webtest.Fixture()
        cls.server = webtest.Server(cls.fx)
        cls.base = "http://%s:%d" % (cls.server.host, cls.server.port)
        cls.out = os.path.join(os.environ.get("KIVO_TEST_TMP", cls.fx.dir), "web-page")
        os.makedirs(cls.out, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.server.stop()
        cls.fx.close()

    def rects(self):
        return self.browser.eval("sketchJson().rects")

    def search_and_wait(self):
        self.browser.eval("document.getElementById('results').textContent = ''")
        self.browser.click("#search")
        self.browser.wait_for(RESULTS_LOADED)
        return self.browser.eval(RESULT_KEYS)

    def test_sketch_search_more_like_this_upload_and_keywords(self):
        b = self.browser
        self.open_page()
        self.assertEqual(b.eval("document.getElementById('catalog').value"), "cat")
        # The catalog kivo index made holds the photo preset's classes: the
        # preset comes first and is the one chosen, each class can be added.
        rows = b.eval("[...document.querySelectorAll('#features input[type=checkbox]')]"
                      ".map((c) => [c.dataset.feature, c.checked])")
        info = json.loads(self.fx.run("info", "-d", self.fx.db, "--json").stdout)["catalogs"][0]
        classes = [f["name"] for f in info["features"] if f["name"] != "KvTextFeatureClass"]
        self.assertEqual(rows, [["photo", True]] + [[c, False] for c in classes])
        self.assertEqual(b.eval("chosenFeatures()"), [{"name": "photo", "weight": 1}])
        box = b.eval("(() => { const r = document.getElementById('sketch').getBoundingClientRect();"
                     " return [r.x, r.y, r.width, r.height]; })()")
        x0, y0 = box[0], box[1]

        # Draw a red rectangle, then move it and resize it by its corner.
        b.eval("document.getElementById('colour').value = '#ff0000'")
        b.drag(x0 + 20, y0 + 30, x0 + 120, y0 + 130)
        self.assertEqual(self.rects(), [{"x": 20, "y": 30, "w": 100, "h": 100, "color": "#ff0000"}])
        b.drag(x0 + 50, y0 + 60, x0 + 80, y0 + 70)
        self.assertEqual(self.rects()[0], {"x": 50, "y": 40, "w": 100, "h": 100, "color": "#ff0000"})
        b.drag(x0 + 145, y0 + 135, x0 + 245, y0 + 195)
        self.assertEqual(self.rects()[0], {"x": 50, "y": 40, "w": 200, "h": 160, "color": "#ff0000"})
        # A second one, grey, on empty space; Delete removes the selected one.
        b.eval("document.getElementById('colour').value = '#808080'")
        b.drag(x0 + 260, y0 + 10, x0 + 310, y0 + 60)
        self.assertEqual(len(self.rects()), 2)
        b.click("#delete")
        self.assertEqual(len(self.rects()), 1)
        b.drag(x0 + 260, y0 + 10, x0 + 310, y0 + 60)

        # The sketch search answers what kivo query does for the same sketch.
        sketch = b.eval("JSON.stringify(sketchJson())")
        features = b.eval("chosenFeatures()")
        keys = self.search_and_wait()
        args = ["-S", sketch, "-n", "20"]
        for f in features:
            args += ["-f", "%s:W=%s" % (f["name"], f["weight"])]
        want = [h["key"] for h in json.loads(self.fx.query_json(*args))["results"]]
        self.assertEqual(keys, want)
        self.assertEqual(keys[0], "city/red.ppm")
        shot = b.screenshot(os.path.join(self.out, "sketch-results.png"))
        self.check_layout(shot)

        # More like this: the clicked result comes first, at distance 0.
        b.eval("document.getElementById('results').dataset.before = '1'")
        target = keys[2]
        b.click('#results li:nth-child(3) img')
        b.wait_for("document.getElementById('example').textContent === %s" % json.dumps("key " + target))
        b.wait_for(RESULTS_LOADED)
        b.wait_for("document.querySelector('#results img').alt === %s" % json.dumps(target))
        self.assertIn("distance 0.0000", b.eval("document.querySelector('#results .distance').textContent"))
        self.assertTrue(b.eval("document.querySelector('#results a').href.includes('/api/image?catalog=cat&key=')"))

        # An image picked in the file box searches at once.
        doc = b.call("DOM.getDocument")
        node = b.call("DOM.querySelector", nodeId=doc["root"]["nodeId"], selector="#file")
        b.eval("document.getElementById('results').textContent = ''")
        b.call("DOM.setFileInputFiles", nodeId=node["nodeId"],
               files=[os.path.join(self.fx.root, "forest", "green.ppm")])
        b.wait_for(RESULTS_LOADED)
        self.assertEqual(b.eval(RESULT_KEYS)[0], "forest/green.ppm")

        # Keywords alone, after clearing the example.
        b.click("#clear")
        b.eval("state.example = null")
        b.call("Runtime.evaluate", expression="document.getElementById('keywords').focus()")
        b.call("Input.insertText", text="sea")
        keys = self.search_and_wait()
        self.assertEqual(sorted(keys), ["sea/blue%20one.ppm", "sea/blue%20two.ppm", "sea/été.ppm"])

        # A failed search says why.
        b.eval("document.getElementById('keywords').value = ''")
        b.click("#search")
        b.wait_for("document.getElementById('status').className === 'error'")

    def open_page(self):
        b = self.browser
        b.call("Page.enable")
        b.call("Emulation.setDeviceMetricsOverride", width=WIDTH, height=HEIGHT, deviceScaleFactor=1, mobile=False)
        b.call("Page.navigate", url=self.base + "/")
        b.wait_for("document.readyState === 'complete' && document.querySelectorAll('#catalog option').length > 0"
                   " && document.querySelectorAll('#features input[type=checkbox]').length > 0")

    def test_drop_feature_choices_distances_original_and_clear(self):
        b = self.browser
        self.open_page()
        names = b.eval("[...document.querySelectorAll('#features input[type=checkbox]')]"
                       ".map((c) => c.dataset.feature)")
        # Leave out the preset, take two single classes and weigh the first
        # 2.5, as a user would.
        self.assertEqual(names[0], "photo")
        self.assertGreaterEqual(len(names), 3)
        for n in names[:3]:
            b.eval("document.getElementById(%s).scrollIntoView({block: 'center'})" % json.dumps("use-" + n))
            b.click("#use-" + n)
            time.sleep(0.1)
        self.assertEqual(b.eval("[...document.querySelectorAll('#features input[type=checkbox]')]"
                                ".map((c) => c.checked)")[:3], [False, True, True])
        b.eval("(() => { const w = document.querySelector('#features input[data-weight=\"%s\"]');"
               " w.value = '2.5'; w.dispatchEvent(new Event('input')); })()" % names[1])

        # An image dropped on the drop zone (a real drag with a file in it)
        # searches at once with those choices.
        b.eval("document.getElementById('results').textContent = ''")
        b.eval("""(async () => {
          const blob = await (await fetch('/api/image?catalog=cat&key=forest/mixed.ppm')).blob();
          const file = new File([blob], 'dropped.ppm');
          const data = new DataTransfer();
          data.items.add(file);
          const zone = document.getElementById('drop');
          const fire = (type) => zone.dispatchEvent(new DragEvent(type, {dataTransfer: data, bubbles: true,
                                                                         cancelable: true}));
          fire('dragenter');
          fire('dragover');
          window.overWhileDragging = zone.classList.contains('over');
          fire('drop');
        })()""")
        self.assertTrue(b.eval("window.overWhileDragging"))
        b.wait_for(RESULTS_LOADED)
        self.assertEqual(b.eval("document.getElementById('example').textContent"), "image dropped.ppm")
        self.assertFalse(b.eval("document.getElementById('drop').classList.contains('over')"))
        args = ["-I", os.path.join(self.fx.root, "forest", "mixed.ppm"), "-n", "20",
                "-f", names[1] + ":W=2.5", "-f", names[2] + ":W=1"]
        want = json.loads(self.fx.query_json(*args))["results"]
        self.assertEqual(b.eval(RESULT_KEYS), [h["key"] for h in want])
        self.assertEqual(want[0]["key"], "forest/mixed.ppm")

        # Each result shows its rank and distance as the API gave them.
        shown = b.eval("[...document.querySelectorAll('#results .distance')].map((d) => d.textContent)")
        self.assertEqual(shown, ["#%d  distance %.4f" % (h["rank"], h["distance"]) for h in want])

        # A result's name opens the original in a new tab: the file itself.
        link = b.eval("(() => { const a = document.querySelector('#results li:nth-child(2) a');"
                      " return [a.href, a.target, a.textContent]; })()")
        self.assertEqual(link[1], "_blank")
        self.assertEqual(link[2], urllib.parse.unquote(want[1]["key"]))
        size = b.eval("fetch(%s).then((r) => r.arrayBuffer()).then((a) => a.byteLength)" % json.dumps(link[0]))
        self.assertEqual(size, os.path.getsize(os.path.join(self.fx.root, urllib.parse.unquote(want[1]["key"]))))
        # The click opens a new tab from this page (seen by its target
        # event: a file the browser does not show, as these PPM files, turns
        # into a download and the tab closes again).
        me = [t["targetId"] for t in b.call("Target.getTargets")["targetInfos"]
              if t["type"] == "page" and t["attached"]]
        b.call("Target.setDiscoverTargets", discover=True)
        b.events.clear()
        b.eval("document.querySelector('#results li:nth-child(2) a').scrollIntoView({block: 'center'})")
        b.click("#results li:nth-child(2) a")
        deadline = time.time() + 30
        opened = []
        while time.time() < deadline and not opened:
            time.sleep(0.05)
            b.eval("1")  # takes in the events sent meanwhile
            opened = [e for e in b.events if e.get("method") == "Target.targetCreated"
                      and e["params"]["targetInfo"]["type"] == "page"
                      and e["params"]["targetInfo"].get("openerId") in me]
        self.assertTrue(opened, "no tab opened")
        b.call("Target.setDiscoverTargets", discover=False)
        for t in b.call("Target.getTargets")["targetInfos"]:
            if t["type"] == "page" and t["targetId"] not in me:
                try:
                    b.call("Target.closeTarget", targetId=t["targetId"])
                except RuntimeError as e:
                    # A tab that turned into a download may close itself
                    # between the listing and this call.
                    if "No target with given id" not in str(e):
                        raise
        b.call("Page.bringToFront")

        # Clear empties the canvas: nothing but the background is painted.
        b.eval("window.scrollTo(0, 0)")
        b.eval("document.getElementById('colour').value = '#00ff00'")
        box = b.eval("(() => { const r = document.getElementById('sketch').getBoundingClientRect();"
                     " return [r.x, r.y]; })()")
        b.drag(box[0] + 10, box[1] + 10, box[0] + 200, box[1] + 150)
        self.assertEqual(len(self.rects()), 1)
        b.click("#clear")
        self.assertEqual(self.rects(), [])
        painted = b.eval("(() => { const c = document.getElementById('sketch');"
                         " const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
                         " let other = 0; for (let i = 0; i < d.length; i += 4)"
                         " if (d[i] !== 255 || d[i + 1] !== 255 || d[i + 2] !== 255) ++other; return other; })()")
        self.assertEqual(painted, 0)

    def check_layout(self, shot):
        """The screenshot shows the sketch where the canvas is and a grid of
        thumbnails to its right, in rows."""
        self.assertEqual((shot.width, shot.height), (WIDTH, HEIGHT))
        canvas = self.browser.eval("(() => { const r = document.getElementById('sketch').getBoundingClientRect();"
                                   " return [r.x, r.y, r.width, r.height]; })()")
        red = shot.pixel(canvas[0] + 150 * canvas[2] / 320, canvas[1] + 120 * canvas[3] / 240)
        self.assertTrue(red[0] > 200 and red[1] < 60 and red[2] < 60, red)
        white = shot.pixel(canvas[0] + 10, canvas[1] + 230 * canvas[3] / 240)
        self.assertTrue(min(white) > 240, white)
        boxes = self.browser.eval("[...document.querySelectorAll('#results img')].map((i) => {"
                                  " const r = i.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })")
        self.assertGreaterEqual(len(boxes), 7)
        self.assertTrue(all(x > canvas[0] + canvas[2] for x, _, _, _ in boxes), "results beside the sketch")
        tops = sorted({round(y) for _, y, _, _ in boxes})
        self.assertGreaterEqual(len([b for b in boxes if round(b[1]) == tops[0]]), 3, "several in a row")
        for x, y, w, h in boxes:
            if y + h > HEIGHT:
                continue
            self.assertGreater(w, 40)
            # The first thumbnail's middle shows the red image, not the page.
        x, y, w, h = boxes[0]
        first = shot.pixel(x + w / 4, y + h / 2)
        self.assertTrue(first[0] > 200 and first[1] < 80, first)


if __name__ == "__main__":
    unittest.main(verbosity=1)

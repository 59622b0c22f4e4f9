"""The Python module against catalogs built by KvMkDbs: rankings identical to
KvQBE's, catalog changes, feature vectors, and errors as kivo.Error."""
import os
import subprocess

import numpy
import pytest

import kivo

BIN = os.environ["KIVO_BIN"]
FEATURES = ["KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass"]
# Two-colour images: (name, left colour, right colour).
IMAGES = [
    ("red", (255, 0, 0), (255, 0, 0)),
    ("redish", (240, 32, 16), (255, 0, 0)),
    ("green", (0, 255, 0), (0, 200, 0)),
    ("bluered", (0, 0, 255), (255, 0, 0)),
    ("whiteblack", (255, 255, 255), (0, 0, 0)),
    ("olive", (128, 128, 0), (128, 0, 128)),
    ("sky", (90, 160, 255), (250, 250, 250)),
]


def write_ppm(path, left, right, width=24, height=16):
    row = bytes(left) * (width // 2) + bytes(right) * (width - width // 2)
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height) + row * height)


def run(*args, cwd):
    return subprocess.run([os.path.join(BIN, args[0]), *args[1:]], cwd=cwd, check=True,
                          capture_output=True, text=True).stdout


def kvqbe(cwd, *args):
    """KvQBE's ranking as (key, distance text) pairs: its last list (with -T
    the keyword query's list comes first)."""
    lines = run("KvQBE", "-d", "db", "-c", "photos", *args, cwd=cwd).splitlines()
    last = max(i for i, line in enumerate(lines) if line.startswith("total of "))
    return [tuple(line.split(" ")) for line in lines[last + 1:] if line]


def rounded(ranking):
    return [(key, "%f" % distance) for key, distance in ranking]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("catalog")
    for name, left, right in IMAGES:
        write_ppm(root / (name + ".ppm"), left, right)
    (root / "red.ppm.txt").write_text("red car\n")
    (root / "redish.ppm.txt").write_text("red sunset\n")
    (root / "sky.ppm.txt").write_text("blue sky\n")
    features = [a for f in FEATURES + ["KvTextFeatureClass"] for a in ("-f", f)]
    run("KvMkDbs", "-d", "db", "-c", "photos", *features, *[n + ".ppm" for n, _, _ in IMAGES], cwd=root)
    old = os.getcwd()
    os.chdir(root)
    yield root
    os.chdir(old)


QUERIES = [
    # (kivo call, KvQBE arguments)
    (lambda c: c.query_image("redish.ppm", n=5), ["-I", "redish.ppm", "-n", "5"] +
     [a for f in FEATURES for a in ("-f", f)]),
    (lambda c: c.query_image("sky.ppm", features=["KvColorHistogramFeatureClass"], n=7),
     ["-I", "sky.ppm", "-f", "KvColorHistogramFeatureClass", "-n", "7"]),
    (lambda c: c.query_image("olive.ppm", features=FEATURES[:2], weights=[0.25, 3.0], n=4),
     ["-I", "olive.ppm", "-f", "KvColorFeatureClass:W=0.25", "-f", "KvColorHistogramFeatureClass:W=3", "-n", "4"]),
    (lambda c: c.query_key("green.ppm", features=["KvTextureFeatureClass"], n=3),
     ["-i", "green.ppm", "-f", "KvTextureFeatureClass", "-n", "3"]),
    (lambda c: c.query_sketch("D24 16 R0 0 12 16 255 0 0 R12 0 12 16 0 0 255", features=FEATURES[:2], n=3),
     ["-S", "D24 16 R0 0 12 16 255 0 0 R12 0 12 16 0 0 255", "-f", FEATURES[0], "-f", FEATURES[1], "-n", "3"]),
    (lambda c: c.query_image("red.ppm", features=["KvColorFeatureClass"], keywords="red", n=5),
     ["-I", "red.ppm", "-f", "KvColorFeatureClass", "-T", "red", "-n", "5"]),
]


@pytest.mark.parametrize("query,args", QUERIES)
def test_rankings_match_kvqbe(folder, query, args):
    with kivo.Catalog("db", "photos") as c:
        assert rounded(query(c)) == kvqbe(folder, *args)


def test_keywords_alone_list_the_matching_keys(folder):
    with kivo.Catalog("db", "photos") as c:
        assert sorted(c.query_keywords("red")) == [("red.ppm", 0.0), ("redish.ppm", 0.0)]
        assert c.query_keywords("nothing") == []


def test_catalog_opened_for_writing_adds_and_removes_images(folder):
    with kivo.Catalog("db2", "new", "w") as c:
        c.add_feature("KvColorFeatureClass")
        c.add_feature("KvColorHistogramFeatureClass")
        assert c.features() == ["KvColorFeatureClass", "KvColorHistogramFeatureClass"]
        for name in ("red", "green", "bluered"):
            c.add_image(name + ".ppm")
        with pytest.raises(kivo.Error):
            c.add_image("red.ppm")  # stored already
        assert [k for k, _ in c.query_image("redish.ppm", n=3)] == ["red.ppm", "bluered.ppm", "green.ppm"]
        c.remove_image("bluered.ppm")
        # A query in a writing session names a class the catalog lacks without adding it.
        with pytest.raises(kivo.Error):
            c.query_image("red.ppm", features=["KvTextureFeatureClass"])
        assert c.features() == ["KvColorFeatureClass", "KvColorHistogramFeatureClass"]
    expected = run("KvQBE", "-d", "db2", "-c", "new", "-f", "KvColorFeatureClass", "-I", "red.ppm", cwd=folder)
    assert expected.startswith("total of 2 keys found\nred.ppm ")
    with kivo.Catalog("db2", "new") as c:
        assert [k for k, _ in c.query_image("red.ppm", features=["KvColorFeatureClass"])] == ["red.ppm", "green.ppm"]


def test_vectors_are_the_stored_features(folder):
    with kivo.Catalog("db", "photos") as c:
        keys, colour = c.vectors("KvColorFeatureClass")
        assert keys == sorted(n + ".ppm" for n, _, _ in IMAGES)
        assert colour.dtype == numpy.float32 and colour.shape == (len(IMAGES), 3)
        keys, histogram = c.vectors("KvColorHistogramFeatureClass")
        assert histogram.shape == (len(IMAGES), 256)
        # Bins are fractions of the image: each row sums to one, within the per mille rounding.
        assert numpy.allclose(histogram.sum(axis=1), 1.0, atol=0.01)
        # The single-colour image puts everything in one bin.
        assert histogram[keys.index("red.ppm")].max() == pytest.approx(1.0, abs=0.002)
        _, texture = c.vectors("KvTextureFeatureClass")
        assert texture.shape == (len(IMAGES), 3)
        # The dump of KvQBE shows the same stored coordinates.
        red = colour[keys.index("red.ppm")]
        dump = run("KvQBE", "-d", "db", "-c", "photos", "-F", "KvColorFeatureClass", "-i", "red.ppm", cwd=folder)
        assert dump.strip() != "" and red.any()


@pytest.mark.parametrize("call,text", [
    (lambda: kivo.Catalog("db", "missing"), "Open for catalog missing failed"),
    (lambda: kivo.Catalog("db", "photos", "x"), "the mode is"),
    (lambda: kivo.Catalog("db", "photos").add_image("red.ppm"), "not open for writing"),
    (lambda: kivo.Catalog("db", "photos").query_image("missing.ppm"), "Input image file not found"),
    (lambda: kivo.Catalog("db", "photos").query_key("missing.ppm"), "is not stored in catalog photos"),
    (lambda: kivo.Catalog("db", "photos").query_image("red.ppm", features=["NoSuchClass"]), "NoSuchClass"),
    (lambda: kivo.Catalog("db", "photos").vectors("KvTextFeatureClass"), "no vector form"),
    (lambda: kivo.Catalog("db", "photos").vectors("KvDrawFeatureClass"), "has no feature class"),
    (lambda: kivo.Catalog("db", "photos", "w").remove_image("two words"), "white space"),
])
def test_errors_carry_the_error_text(folder, call, text):
    with pytest.raises(kivo.Error) as error:
        call()
    assert text in str(error.value)
    assert 10000 <= error.value.number <= 10072


def test_misuse_raises_python_errors(folder):
    c = kivo.Catalog("db", "photos")
    with pytest.raises(ValueError):
        c.query_image("red.ppm", features=FEATURES, weights=[1.0])
    c.close()
    with pytest.raises(ValueError):
        c.features()
    assert kivo.__version__.count(".") == 2

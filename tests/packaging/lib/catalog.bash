# The catalog the packaging tests query, in the current directory: six
# two-colour images in images/, the catalog photos of database db built by
# the KvMkDbs of the installed tree in $1, and want.txt, the four nearest keys
# to images/redish.ppm as the build tree's KvQBE ranks them ("key distance"
# lines, as lib/capi_query.c and lib/query.py print them). 0, or 1 when the
# installed KvMkDbs failed.
PACKAGING_LIB="$KIVO_SOURCE_DIR/tests/packaging/lib"
PACKAGING_FEATURES=(-f KvColorFeatureClass -f KvColorHistogramFeatureClass)
packaging_catalog() {
  mkdir images
  e2e_ppm 16 8 '\xff\x00\x00' '\xff\x00\x00' >images/red.ppm
  e2e_ppm 16 8 '\xf0\x20\x10' '\xff\x00\x00' >images/redish.ppm
  e2e_ppm 16 8 '\x00\xff\x00' '\x00\xff\x00' >images/green.ppm
  e2e_ppm 16 8 '\x00\x00\xff' '\xff\x00\x00' >images/bluered.ppm
  e2e_ppm 16 8 '\xff\xff\xff' '\x00\x00\x00' >images/whiteblack.ppm
  e2e_ppm 16 8 '\x80\x80\x00' '\x80\x00\x80' >images/olive.ppm
  if ! "$1/KvMkDbs" -d db -c photos "${PACKAGING_FEATURES[@]}" images/*.ppm >build.log 2>&1; then
    cat build.log
    return 1
  fi
  "$KIVO_BIN/KvQBE" -d db -c photos "${PACKAGING_FEATURES[@]}" -I images/redish.ppm -n 4 >want-qbe.txt 2>&1
  sed '1d;/^$/d' want-qbe.txt >want.txt
}

#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job on a small sample set:
# sample photographs are scaled into out/demo/images, a catalog is built from
# them with KvMkDbs, and KvQBE ranks the catalog against one of them.
#
#   scripts/demo.sh [folder-of-images]
#
# Without a folder the photographs of Debian's mate-backgrounds are used (the
# set-up installs them); when none are found, synthetic images are made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
bin=$root/build

source_dir=${1:-/usr/share/backgrounds/mate/nature}
demo=$root/out/demo
rm -rf "$demo"
mkdir -p "$demo/images"
cd "$demo"

# Sample set: every JPEG or PNG of the folder, scaled to at most 320 x 240.
count=0
for f in "$source_dir"/*.jpg "$source_dir"/*.jpeg "$source_dir"/*.png; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  name=${name%.*}.jpg
  "$bin/KvMkThmb" -t -w 320 -h 240 "$f" "images/$name" >/dev/null
  count=$((count + 1))
done
if [ "$count" -eq 0 ]; then
  echo "demo: no images in $source_dir; using synthetic single-colour images"
  for spec in ff0000 00ff00 0000ff ffff00 ff8000 808080; do
    r=${spec:0:2} g=${spec:2:2} b=${spec:4:2}
    "$bin/KvMkThmb" -t -w 64 -h 64 "!@r${r}g${g}b${b}" "images/c$spec.jpg" >/dev/null
  done
fi

images=$(cd images && ls)
first=$(echo "$images" | head -n 1)
echo "demo: building catalog 'demo' in $demo/db from $(echo "$images" | wc -l) images"
# shellcheck disable=SC2086
"$bin/KvMkDbs" -d db -c demo -e KivoImagePath=images \
  -f KvColorFeatureClass -f KvColorHistogramFeatureClass -f KvTextureFeatureClass -f KvDrawFeatureClass \
  $images | sed 's/^/  /'

echo
echo "demo: the 5 images most like $first by colour histogram:"
KivoImagePath=images "$bin/KvQBE" -d db -c demo -f KvColorHistogramFeatureClass -I "$first" -n 5
echo
echo "demo: the same query weighting texture too (histogram W=1, texture W=0.5):"
KivoImagePath=images "$bin/KvQBE" -d db -c demo -f KvColorHistogramFeatureClass \
  -f "KvTextureFeatureClass:W=0.5" -I "$first" -n 5

#!/bin/bash
# The conventions of the kivo command: --help on every subcommand, --version,
# refused command lines and values (status 2), option defaults from the
# configuration file and the environment and which of them wins, paths read
# as a NUL-separated list (a newline in a file name included), and sketch
# queries in their JSON form.
. "$(dirname "$0")/lib/check.bash"
. "$(dirname "$0")/lib/kivo.bash"

WORK=$(e2e_workdir kivo_cli)
cd "$WORK" || exit 1
# kivo with the settings given before "--" in its environment.
kivo_env() {
  local settings=()
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  (export "${settings[@]}"; kivo "$@")
}

mkdir -p "pics/with blank" pics/plain
e2e_ppm 32 24 '\xff\x00\x00' '\x00\x00\xff' >"pics/with blank/a b.ppm"
e2e_ppm 32 24 '\xff\xff\x00' '\x00\x80\x00' >pics/plain/yellow.ppm
e2e_ppm 32 24 '\x00\xff\xff' '\x80\x00\x80' >"pics/plain/new
line.ppm"

e2e_transcript_start
e2e_note "help and version"
e2e_step "version" "$KIVO" --version
e2e_step "help of index" "$KIVO" index --help
usage_lines() {
  local sub
  for sub in index query dups thumbs info serve shard; do
    "$KIVO_BIN/kivo" $sub --help >help.txt 2>&1
    echo "$sub: status $?, $(grep -c . help.txt) lines, $(head -n 1 help.txt)"
  done
}
e2e_step "help of every subcommand" usage_lines

e2e_note "refused command lines and values"
e2e_step "no subcommand" "$KIVO"
e2e_step "an unknown subcommand" "$KIVO" reindex
e2e_step "no workers" "$KIVO" index -d db -c cat -j 0 pics
e2e_step "an unknown progress style" "$KIVO" index -d db -c cat --progress sometimes pics
e2e_step "a missing database" "$KIVO" query -c cat -i x
e2e_step "no paths" "$KIVO" index -d db -c cat

e2e_note "a NUL-separated list, from standard input and from a file"
list() { printf 'pics/plain/yellow.ppm\0pics/plain/new\nline.ppm\0pics/with blank/a b.ppm\0'; }
# The classic classes, which the weighted queries below name.
from_stdin() { list | kivo index -d db -c cat -f colour -f histogram -f texture -f draw -f text --from0 -; }
e2e_step "from standard input" from_stdin
e2e_step "the name with a newline in TSV" "$KIVO" query -d db -c cat -i "plain/new%0Aline.ppm" -n 1 --tsv
printf 'pics/plain/yellow.ppm\0pics/gone.ppm\0' >list0
e2e_step "from a file naming a missing file" "$KIVO" index -d db -c cat --keep-missing --from0 list0
e2e_step "from a missing list" "$KIVO" index -d db -c cat --from0 nolist

e2e_note "weights: W= among a feature's parameters"
e2e_step "histogram and layout" "$KIVO" query -d db -c cat -i plain/yellow.ppm -n 3 -f histogram -f draw --tsv
e2e_step "the histogram weighs three times" "$KIVO" query -d db -c cat -i plain/yellow.ppm -n 3 \
  -f histogram:W=3 -f draw --tsv
e2e_step "a weight that is no number" "$KIVO" query -d db -c cat -i plain/yellow.ppm -f histogram:W=much

e2e_note "sketches in the JSON form"
e2e_step "a red and blue sketch" "$KIVO" query -d db -c cat -n 1 -f draw \
  -S '{"width": 32, "height": 24, "rects": [{"x": 0, "y": 0, "w": 16, "h": 24, "color": "#ff0000"},
       {"x": 16, "y": 0, "w": 16, "h": 24, "color": [0, 0, 255]}]}'
e2e_step "a rectangle outside the canvas" "$KIVO" query -d db -c cat \
  -S '{"width": 32, "height": 24, "rects": [{"x": 30, "y": 0, "w": 16, "h": 24, "color": "#ff0000"}]}'
e2e_step "no JSON" "$KIVO" query -d db -c cat -S '{"width": 32,'

e2e_note "defaults from the configuration file and the environment"
cat >kivo.toml <<'TOML'
# defaults for every run
[index]
database = "db"
catalog = "conf"
jobs = 1
progress = "lines"
[query]
database = "db"
catalog = "conf"
results = 2
tsv = true
TOML
e2e_step "index with the file's defaults" kivo_env KIVO_CONFIG=kivo.toml -- index pics
e2e_step "query with the file's defaults" kivo_env KIVO_CONFIG=kivo.toml -- query -i "plain/yellow.ppm"
e2e_step "--config names the file" "$KIVO" --config kivo.toml query -i "plain/yellow.ppm" -n 1
e2e_step "the command line wins over the file" kivo_env KIVO_CONFIG=kivo.toml -- query -c absent \
  -i "plain/yellow.ppm" -n 1
e2e_step "the file wins over the environment" kivo_env KIVO_CONFIG=kivo.toml KIVO_CATALOG=absent -- \
  query -i "plain/yellow.ppm" -n 1
e2e_step "the environment alone" kivo_env KIVO_DATABASE=db KIVO_CATALOG=conf -- info
mkdir -p xdg/kivo
printf '[info]\ndatabase = "db"\ncatalog = "cat"\n' >xdg/kivo/config.toml
xdg_config() { (unset KIVO_CONFIG; export XDG_CONFIG_HOME=$WORK/xdg; kivo info); }
e2e_step "the file below XDG_CONFIG_HOME" xdg_config
printf '[index]\njobs = "many"\n' >bad.toml
e2e_step "a value the option refuses" "$KIVO" --config bad.toml index -d db -c cat pics
printf '[index\njobs = 1\n' >broken.toml
e2e_step "a broken file" "$KIVO" --config broken.toml index -d db -c cat pics
printf '[index]\njob = 1\n' >typo.toml
e2e_step "a setting no subcommand has" "$KIVO" --config typo.toml index -d db -c cat pics
e2e_step "a missing file named by --config" "$KIVO" --config none.toml info -d db

e2e_transcript_check "$E2E_EXPECTED/kivo_cli.txt"
cd / && rm -rf "$WORK"
e2e_finish

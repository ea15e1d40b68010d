# shellcheck shell=bash
# Shared by the workflow checks (sourced): sample data, the programs run by hand on it, and
# the comparison of products.  Needs $BIN (installed programs) and $HERE (this folder).

# Every DCE and stack of the sample night.
# shellcheck disable=SC2034 # used by the scripts that source this file
ALL=(dce1 dce2 dce3 dce4 dce5 dce6 dce7 dce8 A B)

# Copies the FITS file $1 to $2 with the keyword FOVID = 26 added to its primary header:
# stackle needs the FOV of every frame it co-adds.
set_fovid() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
raw = open(sys.argv[1], "rb").read()
card = b"FOVID   = %20d / FOV of the frame" % 26
pos = 0
while raw[pos:pos + 8] != b"END     ":
    pos += 80
header_end = (pos // 2880 + 1) * 2880
header = raw[:pos] + card.ljust(80) + b"END".ljust(80)
header = header.ljust((len(header) + 2879) // 2880 * 2880)
open(sys.argv[2], "wb").write(header + raw[header_end:])
PY
}

# Sample night in $1/data: eight DCEs (each with its uncertainty image and Dmask, generated
# from its own seed) in two stacks, A of five (enough for trimming) and B of three, the flat, calibrator flat, Cmask and Pmask of
# the first seed, the stack table, and the workflow's config in $1/config.yaml.  Frames are
# $2 x $3 pixels (default 40 x 32).
make_night() {
  local dir="$1" width="${2:-40}" height="${3:-32}" n seed
  mkdir -p "$dir/data" "$dir/gen"
  : >"$dir/data/stacks.txt"
  for n in 1 2 3 4 5 6 7 8; do
    seed=$((100 + n))
    "$BIN/mksample" -o "$dir/gen/$n" --no-stackle -s "$seed" -W "$width" -H "$height" >/dev/null
    set_fovid "$dir/gen/$n/dce.fits" "$dir/data/dce$n.fits"
    cp "$dir/gen/$n/dce_unc.fits" "$dir/data/dce${n}_unc.fits"
    cp "$dir/gen/$n/dce_dmask.fits" "$dir/data/dce${n}_dmask.fits"
    echo "dce$n $([ "$n" -le 5 ] && echo A || echo B)" >>"$dir/data/stacks.txt"
  done
  for f in flat calflat flat_cmask dce_pmask; do cp "$dir/gen/1/$f.fits" "$dir/data/$f.fits"; done
  rm -rf "$dir/gen"
  cat >"$dir/config.yaml" <<'EOF'
input_dir: data
stacks: data/stacks.txt
flat: data/flat.fits
calflat: data/calflat.fits
cmask: data/flat_cmask.fits
calcmask: data/flat_cmask.fits
pmask: data/dce_pmask.fits
out_dir: results
stackle:
  pmask_fatal: 128
EOF
}

# The programs run by hand on the night of $1, products in $1/hand with the workflow's names.
run_by_hand() {
  local dir="$1" n stack kind
  mkdir -p "$dir/hand/flat" "$dir/hand/stacks"
  (
    cd "$dir" || exit 1
    for n in 1 2 3 4 5 6 7 8; do
      cp "data/dce${n}_dmask.fits" "hand/flat/dce${n}_dmask.fits"
      "$BIN/plenor" -i "data/dce$n.fits" -ui "data/dce${n}_unc.fits" -f data/flat.fits \
        -t data/calflat.fits -c data/flat_cmask.fits -ct data/flat_cmask.fits \
        -p data/dce_pmask.fits -pm 128 -dm 16384 -cm 256 -d "hand/flat/dce${n}_dmask.fits" \
        -o "hand/flat/dce$n.fits" -uo "hand/flat/dce${n}_unc.fits" -l hand/plenor.log >/dev/null
    done
    for stack in A B; do
      for kind in data sdev bmask pmask; do : >"hand/$stack.$kind"; done
      for n in $(awk -v s="$stack" '$2 == s {sub("dce", "", $1); print $1}' data/stacks.txt); do
        echo "hand/flat/dce$n.fits" >>"hand/$stack.data"
        echo "hand/flat/dce${n}_unc.fits" >>"hand/$stack.sdev"
        echo "hand/flat/dce${n}_dmask.fits" >>"hand/$stack.bmask"
        echo "data/dce_pmask.fits" >>"hand/$stack.pmask"
      done
      "$BIN/stackle" -di "hand/$stack.data" -si "hand/$stack.sdev" -bm "hand/$stack.bmask" \
        -bf 16640 -pm "hand/$stack.pmask" -pf 128 -cf 0.2 -cm 5.0 -ag 3 \
        -do "hand/stacks/$stack.fits" -so "hand/stacks/${stack}_unc.fits" \
        -am "hand/stacks/${stack}_amask.fits" -wo "hand/stacks/${stack}_weights.txt" >/dev/null
    done
  )
}

# Breaks the DCE dce2 (stack A) of the night in $1: a truncated file.
break_dce2() {
  head -c 3000 "$1/data/dce2.fits" >"$1/broken.fits" && mv "$1/broken.fits" "$1/data/dce2.fits"
}

# After a --keep-going run on the night in $1 with dce2 broken, into the output folder $2
# with snakemake's output in $3: true when the one failed job was dce2's plenor job, every
# other product equals the programs run by hand, and nothing of dce2 or stack A is left, not
# even a program's temporary file.
only_broken_jobs_failed() {
  local out="$1/$2"
  [ "$(grep -c 'Error in rule' "$3")" = 1 ] && grep -q 'Error in rule plenor' "$3" &&
    grep -q 'wildcards: dce=dce2$' "$3" &&
    same_products "$1/hand" "$out" dce1 dce3 dce4 dce5 dce6 dce7 dce8 B &&
    [ -z "$(cd "$out" && ls -A flat/dce2* stacks/A.fits stacks/A_* 2>/dev/null)" ] &&
    [ -z "$(find "$out" -name '.part-*')" ]
}

# Product names of the DCEs and stacks given, relative to an output folder.
product_names() {
  local name
  for name in "$@"; do
    case "$name" in
      dce*) echo "flat/$name.fits flat/${name}_unc.fits flat/${name}_dmask.fits" ;;
      *) echo "stacks/$name.fits stacks/${name}_unc.fits stacks/${name}_amask.fits stacks/${name}_weights.txt" ;;
    esac
  done
}

# Compares the products named by the remaining arguments in folders $1 and $2.
same_products() {
  local a="$1" b="$2"
  shift 2
  # shellcheck disable=SC2046
  /usr/bin/python3 "$HERE/same_products.py" "$a" "$b" $(product_names "$@")
}

# Runs a command and succeeds when it fails.
fails() { ! "$@"; }

# Seconds, with milliseconds, since the time $1 given by date +%s%N.
seconds_since() {
  local ms=$((($(date +%s%N) - $1) / 1000000))
  printf '%d.%03d' $((ms / 1000)) $((ms % 1000))
}

#!/usr/bin/env bash
# Bakes the benchmark scenes with ketra-bake and prints each stage's time (wall clock and
# processor), the total, the peak memory and the ambient-occlusion rays per second:
#   the Stanford bunny at scale 10 (Debian package glmark2-data), the example room, and
#   furnished rooms of about 300,000 triangles each built from sweethome3d-furniture models: one
#   room, and three rooms side by side (seed 1), so that the growth of each stage with the size of
#   the level shows.
# Usage: bench/bake.sh [--runs N] [--rooms "1 3 10"] [BUILD_DIR] [extra tool options, e.g. -t 0.05]
#   --runs N     bakes every scene N times, the scenes in turn within each run, and prints the
#                median of every figure (without it: each bake's own figures, once)
#   --rooms LIST the furnished scenes to bake, by room count (default "1 3"); with more than one,
#                each stage's growth over the first is printed, from the medians of the same run
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=1
SUMMARY=0
ROOMS="1 3"
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) RUNS=$2; SUMMARY=1; shift 2 ;;
    --rooms) ROOMS=$2; shift 2 ;;
    *) break ;;
    esac
done
BUILD=${1:-$ROOT/build/release}
shift || true
BAKE="$BUILD/bench/ketra-bake"
ROOM_TOOL="$ROOT/../shared/tools/make_room.py"

names=()
scenes=()
if [ -f /usr/share/glmark2/models/bunny.obj ]; then
    names+=(bunny)
    scenes+=("/usr/share/glmark2/models/bunny.obj -i 10")
fi
names+=(example_room)
scenes+=("$ROOT/examples/room.obj")
mkdir -p "$BUILD/bench-data"
for rooms in $ROOMS; do
    # The one-room scene keeps its old name, so that existing copies are reused.
    obj="$BUILD/bench-data/furnished_room.obj"
    [ "$rooms" = 1 ] || obj="$BUILD/bench-data/furnished_rooms_$rooms.obj"
    if [ ! -e "$obj" ]; then
        # A scene is made once; without the tool or the furniture it is left out, and said so.
        if [ ! -f "$ROOM_TOOL" ] || [ ! -d /usr/share/sweethome3d/furniture ]; then
            echo "bake.sh: no $obj and no $ROOM_TOOL with furniture to make it; rooms_$rooms left out" >&2
            continue
        fi
        python3 "$ROOM_TOOL" "$obj" --rooms "$rooms" --seed 1 >/dev/null
    fi
    names+=("rooms_$rooms")
    scenes+=("$obj")
done

if [ "$SUMMARY" = 0 ]; then
    for scene in "${scenes[@]}"; do
        # shellcheck disable=SC2086
        "$BAKE" $scene "$@"
        echo
    done
    exit 0
fi

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for run in $(seq "$RUNS"); do
    for i in "${!scenes[@]}"; do
        # shellcheck disable=SC2086
        "$BAKE" ${scenes[$i]} "$@" >"$OUT/${names[$i]}.$run"
    done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$OUT" "$RUNS" "${names[@]}" <<'PY'
import statistics, sys
out, runs, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def read(name, run):
    values = {}
    for line in open(f"{out}/{name}.{run}"):
        key, _, value = line.partition(": ")
        try:
            values[key] = float(value)
        except ValueError:
            pass
    return values
medians = {}
for name in names:
    bakes = [read(name, run) for run in range(1, runs + 1)]
    medians[name] = {key: statistics.median(b[key] for b in bakes) for key in bakes[0]}
    print(f"{name} (medians of {runs})")
    for key, value in medians[name].items():
        print(f"  {key}: {value:g}")
rooms = [n for n in names if n.startswith("rooms_")]
if len(rooms) > 1:
    base = medians[rooms[0]]
    stages = ["triangles", "covered_texels", "tree_s", "grouping_s", "ao_s", "atlas_s", "total_s",
              "tree_cpu_s", "grouping_cpu_s", "ao_cpu_s", "atlas_cpu_s", "total_cpu_s"]
    print("growth over " + rooms[0] + " (medians)")
    for name in rooms[1:]:
        print("  " + name + ": " + ", ".join(
            f"{s} {medians[name][s] / base[s]:.2f}x" for s in stages if base.get(s)))
PY

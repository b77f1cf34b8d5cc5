#!/usr/bin/env bash
# Bakes the three benchmark scenes with ketra-bake and prints each stage's time, the total,
# the peak memory and the ambient-occlusion rays per second:
#   the Stanford bunny at scale 10 (Debian package glmark2-data), the example room, and a
#   furnished room of about 300,000 triangles built from sweethome3d-furniture models.
# Usage: bench/bake.sh [BUILD_DIR] [extra tool options, e.g. -t 0.05]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
shift || true
BAKE="$BUILD/bench/ketra-bake"
ROOM_TOOL="$ROOT/../shared/tools/make_room.py"
ROOM="$BUILD/bench-data/furnished_room.obj"

scenes=()
[ -f /usr/share/glmark2/models/bunny.obj ] && scenes+=("/usr/share/glmark2/models/bunny.obj -i 10")
scenes+=("$ROOT/examples/room.obj")
if [ -f "$ROOM_TOOL" ] && [ -d /usr/share/sweethome3d/furniture ]; then
    mkdir -p "$(dirname "$ROOM")"
    [ -f "$ROOM" ] || python3 "$ROOM_TOOL" "$ROOM" >/dev/null
    scenes+=("$ROOM")
fi
for scene in "${scenes[@]}"; do
    # shellcheck disable=SC2086
    "$BAKE" $scene "$@"
    echo
done

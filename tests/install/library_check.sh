#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds the example application against it twice,
# through the CMake package and through pkg-config, and runs both against a real relay.
# Usage: library_check.sh BUILD_DIR SCRATCH RELAY
set -euo pipefail
build=$1 scratch=$2 relay=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
pc=$(dirname "$(find "$prefix" -name kiv.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 -o "$scratch/open_room_pc" "$here/consumer/open_room.cpp" \
    $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs kiv)

"$relay" 0 >"$scratch/relay.log" &
relay_pid=$!
trap 'kill $relay_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    grep -q 'listening on UDP' "$scratch/relay.log" && break
    sleep 0.1
done
port=$(sed -n 's/.*listening on UDP \([0-9]*\) .*/\1/p' "$scratch/relay.log")
[[ -n $port ]] || { echo "the relay did not start"; exit 1; }

for program in "$scratch/consumer/open_room" "$scratch/open_room_pc"; do
    said=$(timeout 10 "$program" "$port")
    [[ $said =~ ^room\ [A-Z2-9]{5}$ ]] || { echo "$program said '$said'"; exit 1; }
    grep -q "room ${said#room } opened by 127.0.0.1:" "$scratch/relay.log" ||
        { echo "the relay did not log ${said}"; cat "$scratch/relay.log"; exit 1; }
done
echo "both builds opened a room"
rm -rf "$scratch"

#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a C++ application and the C chat example
# against it twice, through the CMake package and through pkg-config, and runs them and the
# Python example (on the installed libkiv.so, found through LD_LIBRARY_PATH) against a real
# relay.
# Usage: library_check.sh BUILD_DIR SCRATCH RELAY
set -euo pipefail
build=$1 scratch=$2 relay=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

examples=$(cd "$here/../../examples" && pwd)
cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
      -DKIV_EXAMPLES="$examples" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
pc=$(dirname "$(find "$prefix" -name kiv.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 -o "$scratch/open_room_pc" "$here/consumer/open_room.cpp" \
    $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs kiv)
# shellcheck disable=SC2046
cc -std=c99 -o "$scratch/chat_pc" "$examples/chat.c" $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs kiv)
libdir=$(dirname "$(find "$prefix" -name libkiv.so.0)")

"$relay" 0 >"$scratch/relay.log" &
relay_pid=$!
trap 'kill $relay_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    grep -q 'listening on UDP' "$scratch/relay.log" && break
    sleep 0.1
done
port=$(sed -n 's/.*listening on UDP \([0-9]*\) .*/\1/p' "$scratch/relay.log")
[[ -n $port ]] || { echo "the relay did not start"; exit 1; }

# chat opens a room, prints its code and ends with its input.
for program in "$scratch/consumer/open_room" "$scratch/open_room_pc" "$scratch/consumer/chat" \
               "$scratch/chat_pc"; do
    argument=$port
    [[ $program == */chat* ]] && argument=127.0.0.1:$port
    said=$(LD_LIBRARY_PATH=$libdir timeout 10 "$program" "$argument" </dev/null)
    [[ $said =~ ^room\ [A-Z2-9]{5}$ ]] || { echo "$program said '$said'"; exit 1; }
    grep -q "room ${said#room } opened by 127.0.0.1:" "$scratch/relay.log" ||
        { echo "the relay did not log ${said}"; cat "$scratch/relay.log"; exit 1; }
done
said=$(env -u KIV_LIBRARY LD_LIBRARY_PATH="$libdir" timeout 10 python3 "$examples/ping.py" "127.0.0.1:$port")
[[ $said =~ ^pong\ from\ 127.0.0.1:$port\ in\ [0-9.]+\ ms$'\n'room\ [A-Z2-9]{5}$ ]] ||
    { echo "ping.py said '$said'"; exit 1; }
echo "every build opened a room, and so did ping.py"
rm -rf "$scratch"

#!/usr/bin/env bash
# The README's velgw section, run as written: its commands in a scratch
# folder laid out like the repository (build/bin, examples/velgw/plant.toml),
# with free ports in place of 1502 and 1883 and a private folder in place of
# /tmp/plc; then the larger layout (two gateways, one through a mosquitto
# bridge, one straight into the central broker); and a check that every
# example of velgw --help and velgw(1) is one of the commands run here.
# Usage: readme_test.sh BUILD_DIR. Exit 77 when mbpoll or mosquitto is missing.
set -euo pipefail
build="$(cd "$1" && pwd)"
repo="$(cd "$(dirname "$0")/../.." && pwd)"
readme="$repo/README.md"
export PATH="$PATH:/usr/sbin:/sbin"
for program in mbpoll mosquitto mosquitto_sub mosquitto_pub; do
  command -v "$program" >/dev/null || { echo "$program is missing (apt-get install mbpoll mosquitto mosquitto-clients)"; exit 77; }
done
# shellcheck source=../support/library_settings.sh
source "$repo/tests/support/library_settings.sh"

work="$(mktemp -d /tmp/velgw-readme-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do [[ -f "$log" ]] && { echo "--- $log"; cat "$log"; }; done
  exit 1
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
mb="$(free_port)"
mq="$(free_port)"
devices="$work/plc"
export VELDRV_DEVICE_DIR="$work/no-devices"  # nothing but what a command names

# A command of the README, found there as written, run with the ports and
# the folder replaced. Output to $work/NAME.log; "&" at the end, or a third
# argument "watch" (a command that runs until stopped): in the background.
readme_command() {
  local name="$1" line="$2"
  grep -qxF -- "    $line" "$readme" || grep -qxF -- "    \$ $line" "$readme" || fail "not in the README: $line"
  ran+=("$line")
  line="${line//\/tmp\/plc/$devices}"
  line="${line//1502/$mb}"
  line="${line//1883/$mq}"
  [[ "${3:-}" == watch ]] && line+=" &"
  if [[ "$line" == *" &" ]]; then
    (cd "$work" && eval "exec env ${line% &}") >"$work/$name.log" 2>&1 &
    pids+=($!)
  else
    (cd "$work" && eval "$line") >"$work/$name.log" 2>&1 || fail "$line: exit $?"
  fi
}
# The README's block after the line that starts with `after`, until a blank line.
readme_block() {
  awk -v after="$1" 'found && /^$/ { if (started) exit; next }
    found { started = 1; sub(/^    /, ""); print }
    index($0, after) == 1 { found = 1 }' "$readme"
}
wait_for() {  # FILE TEXT
  for _ in $(seq 100); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "'$2' did not appear in $1"
}
ran=()

mkdir -p "$work/build" "$work/examples/velgw"
ln -s "$build/bin" "$work/build/bin"
sed -e "s/1502/$mb/" -e "s/1883/$mq/" "$repo/examples/velgw/plant.toml" >"$work/examples/velgw/plant.toml"

echo "--- Try it"
readme_command mkdir "mkdir -p /tmp/plc"
readme_command velsim-fx "build/bin/velsim --family fx --dir /tmp/plc --com 1 &"
readme_command velsim-a "build/bin/velsim --family a --dir /tmp/plc --com 2 &"
readme_command mosquitto "mosquitto -p 1883 &"
readme_command check "build/bin/velgw --check examples/velgw/plant.toml"
want="$(readme_block '`--check` says what the file sets up:' | sed -e "s/1502/$mb/" -e "s/1883/$mq/")"
[[ "$(cat "$work/check.log")" == "$want" ]] || fail "--check printed $(cat "$work/check.log"), the README says $want"
wait_for "$work/velsim-a.log" "COM2"
readme_command velgw "VELDRV_DEVICE_DIR=/tmp/plc build/bin/velgw --config examples/velgw/plant.toml &"
wait_for "$work/velgw.log" "fx: online"
wait_for "$work/velgw.log" "a: online"
wait_for "$work/velgw.log" "mqtt: connected"

readme_command write "mbpoll -1 -0 -a 2 -r 0 -p 1502 127.0.0.1 -- 10 20 30"
grep -qxF "Written 3 references." "$work/write.log" || fail "mbpoll did not write"
readme_command read "mbpoll -1 -0 -a 2 -r 0 -c 3 -p 1502 127.0.0.1"
grep -qP '^\[0\]: \t10$' "$work/read.log" && grep -qP '^\[2\]: \t30$' "$work/read.log" ||
  fail "mbpoll read $(cat "$work/read.log")"

readme_command sub "mosquitto_sub -h 127.0.0.1 -p 1883 -t 'plant/#' -v" watch
# Every line the README shows, with its time stamps and counts as they come.
normal() { sed -E -e 's/"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z"/TIME/g' -e 's/"transfers":[0-9]+/"transfers":N/'; }
readme_block '    $ mosquitto_sub -h 127.0.0.1 -p 1883' | grep -v '^\$ ' | normal >"$work/want-sub"
for _ in $(seq 100); do
  missing="$(normal <"$work/sub.log" | grep -vxFf - "$work/want-sub" || true)"
  [[ -z "$missing" ]] && break
  sleep 0.1
done
[[ -z "$missing" ]] || fail "mosquitto_sub did not show: $missing"
readme_command pub "mosquitto_pub -h 127.0.0.1 -p 1883 -t plant/fx/D100/set -m '[1,2,3,4,5,6,7,8,9,10]'"
wait_for "$work/sub.log" 'plant/fx/D100/set/result {"ok":true,"value":[1,2,3,4,5,6,7,8,9,10]}'
wait_for "$work/sub.log" 'plant/fx/D100 {"value":[1,2,3,4,5,6,7,8,9,10],"quality":"good"'

echo "--- More than one machine"
central="$(free_port)"
edge="$(free_port)"
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$central" >"$work/central.conf"
{
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$edge"
  readme_block '    # /etc/mosquitto/conf.d/bridge.conf on the machine of line 1' | sed "s/central.example:1883/127.0.0.1:$central/"
} >"$work/edge.conf"
grep -q '^topic plant/line1/# both 1$' "$work/edge.conf" || fail "no bridge in the README"
readme_block '    # /etc/velgw/velgw.toml on the machine of line 1' | grep -qxF 'prefix = "plant/line1"' ||
  fail "no [mqtt] of line 1 in the README"
mosquitto -c "$work/central.conf" >"$work/central.log" 2>&1 &
pids+=($!)
mosquitto -c "$work/edge.conf" >"$work/edge.log" 2>&1 &
pids+=($!)
# Line 1 publishes to its own broker, line 2 straight to the central one;
# each has controllers of its own.
for line in 1 2; do
  broker="$edge"
  [[ $line == 2 ]] && broker="$central"
  mkdir -p "$work/line$line"
  sed -e "s/127.0.0.1:1502/127.0.0.1:0/" -e "s/127.0.0.1:1883/127.0.0.1:$broker/" \
    -e "s|prefix = \"plant\"|prefix = \"plant/line$line\"|" "$repo/examples/velgw/plant.toml" >"$work/line$line.toml"
  "$build/bin/velsim" --family fx --dir "$work/line$line" --com 1 >"$work/line$line-fx.log" 2>&1 &
  pids+=($!)
  "$build/bin/velsim" --family a --dir "$work/line$line" --com 2 >"$work/line$line-a.log" 2>&1 &
  pids+=($!)
  wait_for "$work/line$line-a.log" "COM2"
  VELDRV_DEVICE_DIR="$work/line$line" "$build/bin/velgw" --config "$work/line$line.toml" >"$work/velgw-line$line.log" 2>&1 &
  pids+=($!)
done
mosquitto_sub -h 127.0.0.1 -p "$central" -t 'plant/+/availability' -t 'plant/+/+/availability' \
  -t 'plant/+/+/+/set/result' -v >"$work/central-sub.log" 2>&1 &
pids+=($!)
for line in 1 2; do
  wait_for "$work/central-sub.log" "plant/line$line/availability online"
  wait_for "$work/central-sub.log" "plant/line$line/fx/availability online"
  wait_for "$work/central-sub.log" "plant/line$line/a/availability online"
done
# A write from the central broker reaches line 1's controller through the bridge.
mosquitto_pub -h 127.0.0.1 -p "$central" -t plant/line1/a/D0/set -m '[9,8,7,6,5,4,3,2,1,0]'
wait_for "$work/central-sub.log" 'plant/line1/a/D0/set/result {"ok":true'

echo "--- velgw --help and velgw(1): every example is a command run above"
examples="$("$build/bin/velgw" --help | awk '/^Examples:/ { on = 1; next } on && /^$/ { exit } on { sub(/^  */, ""); print }')"
examples+=$'\n'"$(awk '/^\.EX/ { on = 1; next } /^\.EE/ { on = 0 } on' "$repo/man/velgw.1" |
  sed -e 's/\\-/-/g' | sed -e ':a' -e '/\\e$/N; s/ *\\e\n */ /; ta')"
[[ -n "$examples" ]] || fail "no examples found"
while IFS= read -r example; do
  [[ -z "$example" || "$example" == \{* ]] && continue  # the man page's JSON
  found=""
  for command in "${ran[@]}"; do [[ "${command//build\/bin\//}" == *"$example"* ]] && found=1; done
  [[ -n "$found" ]] || fail "an example that no test runs: $example"
done <<<"$examples"
echo "README, --help and manual page examples: all ran"

# The stage of the benchmarks that run the program (bench/footprint, bench/autosync).
# Source it inside the benchmark's own network namespace, with root, sim,
# template and locale_dir set, then call bench_stage NAME. It leaves:
#   tmp, prefix, app       a temporary folder, its Wine prefix (wineserver started
#                          here and kept warm), and the folder holding Quorlin.INI,
#                          whose every host is a loopback literal
#   rows, extra, control   the ten simulated rows (127.0.0.11..20), the extra list
#                          and the simulator's control address
#   sim_pid xvfb_pid prog_pid, stop_pid PID, fail MSG, simctl CMD, serve_all
#   [SILENT_ROWS...], requests; DISPLAY, WINEPREFIX exported; clean-up on exit.

stop_pid() {   # TERM, up to 5 s of grace, then KILL; reaps the child
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  for ((i = 0; i < 50; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

bench_cleanup() {
  stop_pid "$prog_pid"
  [ -f "$prefix/.ready" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
  stop_pid "$sim_pid"
  stop_pid "$xvfb_pid"
  if [ "${QL_BENCH_KEEP:-0}" = 1 ]; then
    rm -rf "$prefix"
    echo "$bench_name: logs kept in $tmp" >&2
  else
    rm -rf "$tmp"
  fi
}

fail() { echo "$bench_name: $*" >&2; exit 1; }
simctl() { local r; r=$("$sim" --control "$control" --send "$*") || fail "'$*': no answer"; echo "$r"; }

serve_all() {   # serve_all SILENT_ROWS...: every row answers except the rows named
  local i s silent opts
  for i in "${!rows[@]}"; do
    silent=0
    for s in "$@"; do [ "$s" = "$i" ] && silent=1; done
    # A few ms apart and close to the host clock, well inside SetLocalTime's 0.5 s.
    opts="offset=0.00$((i % 4 + 1))"
    [ $silent -eq 1 ] && opts="silent=1"
    [ "$(simctl serve "${rows[$i]}" $opts)" = ok ] || fail "serve ${rows[$i]} refused"
  done
  [ "$(simctl serve "${extra[1]}" offset=0.002)" = ok ] || fail "serve ${extra[1]} refused"
}

requests() {   # requests since the last reset, summed over the rows
  local n=0 a
  for a in "${rows[@]}"; do n=$((n + $(simctl count "$a"))); done
  echo $n
}

bench_stage() {   # bench_stage NAME (e.g. bench/autosync)
  bench_name=$1
  local i h
  ip link set lo up || { echo "$bench_name: no loopback in the namespace" >&2; exit 1; }
  . "$root/cmake/wine-env.sh"
  ql_locale "$locale_dir"
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/ql-${bench_name##*/}.XXXXXX")
  prefix=$tmp/prefix
  sim_pid='' xvfb_pid='' prog_pid=''
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM HUP

  # The test network.
  control=127.0.0.1:12300
  rows=(127.0.0.11 127.0.0.12 127.0.0.13 127.0.0.14 127.0.0.15 127.0.0.16 127.0.0.17 127.0.0.18 127.0.0.19 127.0.0.20)
  extra=(127.0.0.20 127.0.0.21)   # the first one is row #9's host at start-up
  "$sim" --control "$control" --log "$tmp/sim.log" >"$tmp/sim.out" 2>&1 </dev/null &
  sim_pid=$!
  for ((i = 0; i < 100; i++)); do grep -qx ready "$tmp/sim.out" 2>/dev/null && break; sleep 0.1; done
  grep -qx ready "$tmp/sim.out" || fail "ntpsim not ready: $(cat "$tmp/sim.out")"

  # Display and prefix.
  exec 8>"$tmp/xvfb.display"
  Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  exec 8>&-
  for ((i = 0; i < 100; i++)); do [ -s "$tmp/xvfb.display" ] && break; sleep 0.1; done
  [ -s "$tmp/xvfb.display" ] || fail "Xvfb gave no display: $(cat "$tmp/xvfb.log")"
  export DISPLAY=:$(tr -d '\n' <"$tmp/xvfb.display")
  ql_wine_prefix "$prefix" "$template" || fail "no Wine prefix"
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # One wineserver for the whole run, kept warm, so that every start pays the same.
  wineserver -p

  # The program's folder and its INI file.
  app=$tmp/app
  mkdir -p "$app"
  local ini=$app/Quorlin.INI
  {
    printf '\xff\xfe'
    {
      printf '; %s: every host is a loopback address\r\n[NTP_SERVER_1]\r\n' "$bench_name"
      for i in "${!rows[@]}"; do printf '%s\t;\t#%d bench server\r\n' "${rows[$i]}" "$i"; done
      printf '[NTP_SERVER_2]\r\n'
      for h in "${extra[@]}"; do printf '%s\r\n' "$h"; done
      printf '[HELP_TEXT]\r\n%s\r\n' "$bench_name"
    } | iconv -f UTF-8 -t UTF-16LE
  } >"$ini"
  # Refuse to go on unless both server sections name loopback literals only.
  iconv -f UTF-16LE -t UTF-8 "$ini" | tr -d '\r' | awk '
    /^\[/ { sec = $0; next }
    sec == "[NTP_SERVER_1]" || sec == "[NTP_SERVER_2]" { split($0, f, /[ \t;]/); if (f[1] !~ /^127\.[0-9]+\.[0-9]+\.[0-9]+$/) bad = 1 }
    END { exit bad }' || fail "the INI names a host that is not a loopback literal"
}

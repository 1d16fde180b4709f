# The 32-bit half of Wine without installing anything: wine32 and libwine of
# the installed wine64's version, with their whole i386 closure, downloaded by
# an apt of our own (its state, cache, sources and an empty dpkg status, so
# nothing of the machine's apt changes) and unpacked into the build folder.
# Where the kernel runs no i386 code, the 32-bit loader runs through a
# qemu-i386 unpacked beside it; no binfmt_misc entry is registered.
# Source this file; every command is found on the PATH, so tests can stand in.

# ql_kernel_runs_i386 DIR: whether the kernel executes an i386 program (a
# 93-byte static ELF that exits 0, written into DIR). A binfmt_misc handler
# registered for i386 programs would answer for the kernel: that counts as no.
ql_kernel_runs_i386() {
  case ${QL_KERNEL_RUNS_I386:-} in 1) return 0 ;; 0) return 1 ;; esac
  local misc=/proc/sys/fs/binfmt_misc/qemu-i386
  [ -e $misc ] && grep -qx enabled $misc 2>/dev/null && return 1
  local elf=$1/exit0-i386
  python3 - "$elf" <<'PY' || return 1
import struct, sys
code = bytes.fromhex("b801000000" "31db" "cd80")          # exit(0) through int 0x80
base, hdr = 0x08048000, 52 + 32
ehdr = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01" + bytes(9), 2, 3, 1, base + hdr, 52, 0, 0,
                   52, 32, 1, 0, 0, 0)
phdr = struct.pack("<IIIIIIII", 1, 0, base, base, hdr + len(code), hdr + len(code), 5, 0x1000)
open(sys.argv[1], "wb").write(ehdr + phdr + code)
PY
  chmod +x "$elf"
  "$elf" 2>/dev/null
}

# ql_apt_uri SUITE: the system's Debian URI that serves SUITE (deb822 or one-line sources).
ql_apt_uri() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$1" 'BEGIN { RS = ""; FS = "\n" }
      { uri = ""; ok = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { split($i, a, /[ \t]+/); uri = a[2] }
          if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == suite) ok = 1 }
        }
        if (ok && uri != "") { print uri; exit } }' "$f"
  done | head -1 | grep . && return 0
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$1" '$1 == "deb" { i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++; if ($i ~ /^\[/ || $i ~ /\]$/) i++
                                     if ($(i + 1) == suite) { print $i; exit } }' | grep .
}

# ql_private_apt DIR: an apt configuration under DIR that knows bookworm main
# (i386 and amd64) and bookworm-backports (amd64); prints the APT_CONFIG path.
ql_private_apt() {
  local dir=$1 uri
  uri=$(ql_apt_uri bookworm) || { echo "no bookworm source in the machine's apt sources" >&2; return 1; }
  mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/log" "$dir/sources"
  : >"$dir/state/status"
  cat >"$dir/sources/bookworm.sources" <<EOF
Types: deb
URIs: $uri
Suites: bookworm
Components: main
Architectures: i386 amd64
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $uri
Suites: bookworm-backports
Components: main
Architectures: amd64
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  cat >"$dir/apt.conf" <<EOF
Dir::State "$dir/state";
Dir::State::status "$dir/state/status";
Dir::Cache "$dir/cache";
Dir::Log "$dir/log";
Dir::Etc::sourcelist "/dev/null";
Dir::Etc::sourceparts "$dir/sources";
Dir::Etc::preferencesparts "$dir/sources";
APT::Architecture "i386";
APT::Architectures { "i386"; "amd64"; };
APT::Sandbox::User "root";
APT::Install-Recommends "false";
EOF
  echo "$dir/apt.conf"
}

# ql_wine32_fontconfig DEST: a fonts.conf for the unpacked half, which the
# wrapper names. 32-bit fontconfig would write its caches into the first
# writable cache folder named, /var/cache/fontconfig of the system's
# configuration: its own comes first.
ql_wine32_fontconfig() {
  mkdir -p "$1/fontconfig/cache"
  cat >"$1/fontconfig/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <cachedir>$1/fontconfig/cache</cachedir>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
</fontconfig>
EOF
}

# ql_unpack_wine32 DEST WORK: unpacks the 32-bit half into DEST (work files in
# WORK) and writes the wrapper DEST/usr/lib/wine/wine that every caller starts.
# Prints "native" or "qemu VERSION"; on failure prints the reason and returns 1.
ql_unpack_wine32() {
  local dest=$1 work=$2 ver conf log
  ver=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) || { echo "wine64 is not installed"; return 1; }
  rm -rf "$dest"
  mkdir -p "$dest" "$work"
  log=$work/apt.log
  conf=$(ql_private_apt "$work/apt" 2>"$log") || { echo "$(cat "$log")"; return 1; }
  export APT_CONFIG=$conf
  apt-get update -q >"$log" 2>&1 || { unset APT_CONFIG; echo "private apt-get update failed: $(grep -E '^(E|W): ' "$log" | head -2 | tr '\n' ' ')"; return 1; }
  # winex11 loads the X extensions when present; schannel and bcrypt need GnuTLS.
  local want=(wine32="$ver" libwine="$ver" libgnutls30 libxrender1 libxrandr2 libxi6 libxcursor1
              libxinerama1 libxcomposite1 libxfixes3 libxxf86vm1)
  if ! apt-get install -d -y -q "${want[@]}" >>"$log" 2>&1; then
    unset APT_CONFIG
    echo "the private apt could not download wine32 $ver: $(grep -E '^E: ' "$log" | head -2 | tr '\n' ' ')"
    return 1
  fi
  # patchelf and qemu are amd64 programs that run here; they stay in WORK.
  local tools=$work/tools qemu_deb=""
  mkdir -p "$tools"
  ( cd "$tools" && apt-get download -q patchelf:amd64 ) >>"$log" 2>&1 ||
    { unset APT_CONFIG; echo "could not download patchelf"; return 1; }
  local runs=native
  ql_kernel_runs_i386 "$work" || runs=qemu
  if [ $runs = qemu ]; then
    # bookworm's qemu 7.2 lacks MAP_FIXED_NOREPLACE and spends about a minute
    # of CPU on every Wine start; backports' is about a hundred times faster.
    if ( cd "$tools" && apt-get download -q qemu-user:amd64/bookworm-backports ) >>"$log" 2>&1; then
      qemu_deb=backports
    elif ( cd "$tools" && apt-get download -q qemu-user-static:amd64 ) >>"$log" 2>&1; then
      qemu_deb=bookworm
      echo "install-deps: bookworm-backports has no qemu-user: falling back to bookworm's qemu, about a minute per 32-bit start" >&2
    else
      unset APT_CONFIG; echo "the kernel runs no i386 code and no qemu-user could be downloaded"; return 1
    fi
  fi
  unset APT_CONFIG
  local deb n=0
  for deb in "$work"/apt/cache/archives/*.deb; do
    [ -f "$deb" ] || { echo "no package arrived"; return 1; }
    dpkg-deb -x "$deb" "$dest" || { echo "dpkg-deb -x $deb failed"; return 1; }
    n=$((n + 1))
  done
  for deb in "$tools"/*.deb; do
    [ -f "$deb" ] || { echo "the tools' packages did not arrive"; return 1; }
    dpkg-deb -x "$deb" "$tools/root" || { echo "dpkg-deb -x $deb failed"; return 1; }
  done
  [ -f "$dest/usr/lib/i386-linux-gnu/libgnutls.so.30" ] || { echo "the i386 closure lacks libgnutls.so.30"; return 1; }

  # The loader names /lib/ld-linux.so.2 and would find the system's 32-bit libc
  # through ld.so.cache: the unpacked ones, with an RPATH that Wine's own
  # dlopen calls honour too (a RUNPATH would not reach them).
  local wdir=$dest/usr/lib/wine
  mv "$wdir/wine" "$wdir/wine.i386" || { echo "the unpacked wine32 has no loader"; return 1; }
  "$tools/root/usr/bin/patchelf" --set-interpreter "$dest/lib/ld-linux.so.2" --force-rpath \
    --set-rpath "$dest/lib/i386-linux-gnu:$dest/usr/lib/i386-linux-gnu" "$wdir/wine.i386" ||
    { echo "patchelf failed on the 32-bit loader"; return 1; }
  # libwine's maintainer script, which unpacking skips, marks the mingw zlib as
  # a Wine builtin DLL.
  local zsrc=$dest/usr/i686-w64-mingw32/lib/zlib1.dll zdst=$dest/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  if [ -f "$zsrc" ] && [ ! -s "$zdst" ]; then
    rm -f "$zdst"
    { head -c 64 "$zsrc" && printf 'Wine builtin DLL' && head -c 16 /dev/zero && tail -c +97 "$zsrc"; } >"$zdst" ||
      { echo "could not make zlib1.dll"; return 1; }
  fi
  # Each loader finds the other as its own path with "64" added or removed: a
  # copy of the 64-bit loader here (a link would resolve back to the system's
  # folder, where the 32-bit half is missing), and its own DLLs by link.
  cp /usr/lib/wine/wine64 "$wdir/wine64" || { echo "could not copy wine64"; return 1; }
  rm -rf "$dest/usr/lib/x86_64-linux-gnu/wine"
  mkdir -p "$dest/usr/lib/x86_64-linux-gnu"
  ln -s /usr/lib/x86_64-linux-gnu/wine "$dest/usr/lib/x86_64-linux-gnu/wine"
  ql_wine32_fontconfig "$dest"
  local how=native run="exec -a \"\$0\" \"$wdir/wine.i386\" \"\$@\""
  if [ $runs = qemu ]; then
    cp "$tools/root/usr/bin/qemu-i386" "$dest/qemu-i386" 2>/dev/null ||
      cp "$tools/root/usr/bin/qemu-i386-static" "$dest/qemu-i386" || { echo "the qemu package has no qemu-i386"; return 1; }
    how="qemu $("$dest/qemu-i386" -version | sed -n 's/^qemu-i386 version \([^ ]*\).*/\1/p')"
    # argv[0] must still end in "wine": Wine finds wine64 from it.
    run="export QL_I386_EMULATED=qemu
exec \"$dest/qemu-i386\" -0 \"\$0\" \"$wdir/wine.i386\" \"\$@\""
  fi
  cat >"$wdir/wine" <<EOF
#!/bin/sh
# The unpacked 32-bit Wine loader (${how}). Each start is logged with its
# command line for the test command's figures when QL_I386_START_LOG names a file.
export FONTCONFIG_FILE="\${FONTCONFIG_FILE:-$dest/fontconfig/fonts.conf}"
[ -n "\${QL_I386_START_LOG:-}" ] && echo "\$(date +%s.%N) \$\$ \$*" >>"\$QL_I386_START_LOG"
$run
EOF
  chmod +x "$wdir/wine"
  echo "$how"
}

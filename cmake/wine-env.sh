# Shared by the Wine runner and the test scripts: locale and Wine prefixes.
# Source it; it defines functions and exports nothing until they are called.

# ql_locale DIR: builds the zh_CN.UTF-8 locale into DIR once and exports LANG, LC_ALL, LOCPATH,
# and TZ: the program's users are in China, so every Wine start runs at UTC+8
# (China has kept no daylight saving time since 1991).
ql_locale() {
  local dir; dir=$(realpath -m "$1")
  if [ ! -f "$dir/zh_CN.UTF-8/LC_CTYPE" ]; then
    mkdir -p "$dir"
    ( flock 9
      [ -f "$dir/zh_CN.UTF-8/LC_CTYPE" ] || localedef -i zh_CN -f UTF-8 "$dir/zh_CN.UTF-8" >/dev/null 2>&1 || true
    ) 9>"$dir/.lock"
  fi
  export LOCPATH=$dir
  export TZ=Asia/Shanghai
  # bash itself cannot see LOCPATH and would warn that it lacks the locale; the
  # programs it starts do see it.
  { export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8; } 2>/dev/null
}

# ql_loader 64|32: the Wine loader of that bitness, as scripts/install-deps
# named it in build/wine-loaders (QL_WINE_LOADERS names another file): the
# installed one, or the unpacked 32-bit half's pair. Without the file, the
# installed loaders. Prints nothing and fails when there is no such loader.
ql_loader() {
  local file=${QL_WINE_LOADERS:-$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../build/wine-loaders} path=""
  if [ -f "$file" ]; then
    path=$(sed -n "s/^QL_WINE$1=//p" "$file")
  else
    case $1 in 64) path=/usr/lib/wine/wine64 ;; 32) path=/usr/lib/wine/wine ;; esac
  fi
  [ -n "$path" ] && [ -x "$path" ] && echo "$path"
}

# ql_prefix_ready DIR: DIR is a finished prefix that serves every Wine loader
# named. One made without the 32-bit half (or by a 64-bit loader that cannot
# find it) has no 32-bit system folder, and every 32-bit start in it or its
# copies fails (exit code 53). One made before crashes ended programs is remade.
ql_prefix_ready() {
  [ -f "$1/.ready" ] && grep -q '"ShowCrashDialog"=dword:00000000' "$1/user.reg" 2>/dev/null || return 1
  [ -z "$(ql_loader 32)" ] || [ -f "$1/drive_c/windows/syswow64/kernel32.dll" ]
}

# ql_wine_template DIR: creates the template prefix once (about ten seconds).
ql_wine_template() {
  local tmpl; tmpl=$(realpath -m "$1")
  ql_prefix_ready "$tmpl" && return 0
  mkdir -p "$(dirname "$tmpl")"
  ( flock 9
    if ! ql_prefix_ready "$tmpl"; then
      rm -rf "$tmpl"
      local wine64; wine64=$(ql_loader 64)
      WINEPREFIX=$tmpl WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$wine64" wineboot.exe -i >/dev/null 2>&1 </dev/null
      # Without a window manager under Xvfb, Wine should draw its own frames.
      WINEPREFIX=$tmpl WINEDEBUG=-all "$wine64" reg.exe add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /d N /f >/dev/null 2>&1 </dev/null
      # A crash ends the program with its report on stderr instead of a dialog
      # that waits for ever: a crashing test fails rather than hangs.
      WINEPREFIX=$tmpl WINEDEBUG=-all "$wine64" reg.exe add 'HKCU\Software\Wine\WineDbg' \
        /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
      WINEPREFIX=$tmpl wineserver -w
      touch "$tmpl/.ready"
    fi
  ) 9>"$tmpl.lock"
}

# ql_wine_prefix PREFIX TEMPLATE: makes PREFIX a copy of TEMPLATE unless it is ready.
ql_wine_prefix() {
  local prefix tmpl; prefix=$(realpath -m "$1"); tmpl=$(realpath -m "$2")
  ql_prefix_ready "$prefix" && return 0
  ql_wine_template "$tmpl"
  mkdir -p "$(dirname "$prefix")"
  ( flock 9
    if ! ql_prefix_ready "$prefix"; then
      rm -rf "$prefix"
      # Hard links keep a copy cheap (the template holds about 700 MB of DLLs that
      # Wine only reads); the registry files, which Wine rewrites, are real copies.
      cp -al "$tmpl" "$prefix"
      local f
      for f in "$prefix"/*.reg; do cp --remove-destination "$tmpl/${f##*/}" "$f"; done
    fi
  ) 9>"$prefix.lock"
}

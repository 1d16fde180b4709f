# Where the kernel runs 64-bit programs only (i386 execve gives ENOEXEC), 32-bit
# Wine starts through qemu-i386, registered with binfmt_misc. Source this file.
ql_enable_i386() {
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  command -v qemu-i386 >/dev/null 2>&1 || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user >/dev/null || return 1
  }
  local misc=/proc/sys/fs/binfmt_misc
  [ -e $misc/register ] || mount -t binfmt_misc binfmt_misc $misc 2>/dev/null || return 1
  if [ ! -e $misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      > $misc/register 2>/dev/null || return 1
  fi
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

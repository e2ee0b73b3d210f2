#!/usr/bin/env bash
# Installs the build as an administrator would, as root, and checks what arrives:
# - `cmake --install` into a staging directory (DESTDIR): the commands in sbin with their man
#   pages, which render without warnings, the library with its headers, CMake package and
#   pkg-config file, and no other program;
# - two programs built against the stage, through find_package(vfw CONFIG) and through
#   pkg-config, print what the framework's formatter prints, and the installed headers
#   compile without the source tree;
# - the Debian packages made by CPack hold the same files; the commands' package is installed
#   with dpkg into a fresh minimal Debian tree of the machine's release (made once by
#   debootstrap and kept in the build directory; each run works on an overlay of it), where
#   vaudumpat and `man vaudumpat` run, and is removed again.
# Mounts live in a private mount namespace, files in a temporary directory of the build
# directory; nothing outside the build directory is written.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR CXX INSTALL_PREFIX LIBDIR SAMPLE_SPOOL_WRITER
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install_test needs root (chroot and mounts): skipped"
  exit 77
fi
if [ -z "${VFW_INSTALL_TEST_NAMESPACE:-}" ]; then
  exec env VFW_INSTALL_TEST_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi

build=$1 source=$2 cxx=$3 prefix=$4 libdir=$5 sample_writer=$6
consumer=$source/tests/data/install_consumer
work=$(mktemp -d "$build/install_test.XXXXXX")
root=$work/root
trap 'umount -R "$root" 2>/dev/null || true; rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
expect() { # expect WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

echo "== cmake --install (DESTDIR=$work/stage)"
stage=$work/stage$prefix
DESTDIR=$work/stage cmake --install "$build" >/dev/null
expect "the only programs are the commands of tools/" \
  "$(cd "$source/tools" && printf 'sbin/%s\n' * | sort)" \
  "$(cd "$stage" && find . -type f -perm -u+x | sed 's|^\./||' | sort)"
for command in "$stage"/sbin/*; do
  page=$stage/share/man/man8/${command##*/}.8.gz
  [ -f "$page" ] || fail "no man page $page"
done
for page in "$stage"/share/man/man*/*; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  expect "warnings of $page" "" "$warnings"
done

echo "== programs built with find_package(vfw CONFIG)"
cmake -S "$consumer" -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$stage" >/dev/null
expect "the package found" "vfw_DIR:PATH=$stage/$libdir/cmake/vfw" \
  "$(grep '^vfw_DIR:' "$work/cmake/CMakeCache.txt")"
cmake --build "$work/cmake" -j 2 >/dev/null
expect "consumer (CMake)" "1.500000 00042 5 2.250000" "$("$work/cmake/consumer")"
expect "formatter_only (CMake)" "2.250000" "$("$work/cmake/formatter_only")"

echo "== programs built with pkg-config"
export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$work/stage
expect "the file found" "$PKG_CONFIG_PATH/vfw.pc" "$(pkg-config --path vfw)"
flags=$(pkg-config --cflags vfw)
read -ra cflags <<<"$flags"
flags=$(pkg-config --libs vfw)
read -ra libs <<<"$flags"
for program in consumer formatter_only; do
  "$cxx" -std=c++17 -O2 "${cflags[@]}" -o "$work/$program" "$consumer/$program.cpp" "${libs[@]}"
done
(cd "$stage/include" && printf '#include <%s>\n' vfw/*.h) >"$work/headers.cpp"
"$cxx" -std=c++17 -fsyntax-only "${cflags[@]}" "$work/headers.cpp" ||
  fail "the installed headers need more than the installation"
expect "consumer (pkg-config)" "1.500000 00042 5 2.250000" "$("$work/consumer")"
expect "formatter_only (pkg-config)" "2.250000" "$("$work/formatter_only")"

echo "== Debian packages (cpack -G DEB)"
cpack -G DEB -B "$work/debs" --config "$build/CPackConfig.cmake" >/dev/null
tools_deb=$(echo "$work"/debs/vantrelaud-tools_*.deb)
dev_deb=$(echo "$work"/debs/libvfw-dev_*.deb)
files_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sort; }
expect "files of vantrelaud-tools" \
  "$(cd "$stage" && find sbin share -type f | sed 's|^|./usr/|' | sort)" "$(files_of "$tools_deb")"
expect "files of libvfw-dev" \
  "$(cd "$stage" && find include "$libdir" -type f | sed 's|^|./usr/|' | sort)" \
  "$(files_of "$dev_deb")"
expect "section of vantrelaud-tools" admin "$(dpkg-deb -f "$tools_deb" Section)"
depends=$(dpkg-deb -f "$tools_deb" Depends)
[[ $depends == *libc6* && $depends == *libuuid1* ]] || fail "Depends of vantrelaud-tools: $depends"
expect "Depends of libvfw-dev" "libboost-dev, uuid-dev" "$(dpkg-deb -f "$dev_deb" Depends)"

suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
cache=$build/install_test_root/$suite
if [ ! -e "$cache/.complete" ]; then
  echo "== debootstrap --variant=minbase --include=man-db $suite (kept in $cache)"
  start=$SECONDS
  rm -rf "$cache"
  mkdir -p "$cache"
  debootstrap --variant=minbase --include=man-db "$suite" "$cache" >"$work/debootstrap.log" 2>&1 ||
    fail "debootstrap: $(tail -5 "$work/debootstrap.log")"
  rm -f "$cache"/var/cache/apt/archives/*.deb
  touch "$cache/.complete"
  echo "debootstrap took $((SECONDS - start)) s"
fi

echo "== dpkg -i ${tools_deb##*/} in a fresh $suite tree"
mkdir "$root" "$work/upper" "$work/overlay"
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$work/upper,workdir=$work/overlay" "$root"
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
run() { # run COMMAND...: its status, standard output and standard error in the tree
  status=0
  in_root "$@" >"$work/out" 2>"$work/err" || status=$?
  result="$status|$(<"$work/out")|$(<"$work/err")"
}
cp "$tools_deb" "$sample_writer" "$root/tmp/"
in_root dpkg -i "/tmp/${tools_deb##*/}" >/dev/null

run vaudumpat
expect "vaudumpat, no spool" "0|Database files don't exist.|" "$result"
run vaudumpat x
expect "vaudumpat x" "2||Usage: vaudumpat" "$result"
run setpriv --reuid=65534 --regid=65534 --clear-groups vaudumpat x
expect "vaudumpat x, not root" "1||You must have root-level access to dump a local audit trail event." \
  "$result"
in_root mkdir /var/vantrelaud
in_root "/tmp/${sample_writer##*/}" /var/vantrelaud/spool-atdbqc >/dev/null
run vaudumpat
[[ $result == "0|DB accounting "*"|" ]] || fail "vaudumpat, sample spool: ${result:0:300}"
run man vaudumpat
[[ $result == "0|"*"vaudumpat - dump the audit agent's local audit-trail spool"*"|" ]] ||
  fail "man vaudumpat: ${result:0:300}"

in_root dpkg -r vantrelaud-tools >/dev/null
[ ! -e "$root/usr/sbin/vaudumpat" ] || fail "vaudumpat left after dpkg -r"
echo "install_test: all checks passed"

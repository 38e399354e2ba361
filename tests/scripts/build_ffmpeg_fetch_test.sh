#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tarball handling of scripts/build_ffmpeg.sh: the download from FFmpeg's
# release page (served here from a file:// folder, since the page itself may
# be out of reach), the reuse of an earlier download, and the refusals: a
# digest that does not match the pinned one leaves nothing downloaded,
# unpacked or installed. Then whole builds of a stand-in release whose
# configure and Makefile are tiny scripts: where an install may go, what it
# replaces, and that the tarball built is the one checked.
#   build_ffmpeg_fetch_test.sh REPO_ROOT
set -euo pipefail
repo=$(cd "$1" && pwd)
script=$repo/scripts/build_ffmpeg.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A small stand-in release, ffmpeg-0.0.1.tar.xz. Its configure notes in
# $STANDIN_LOG which release ran it and the prefix it was given, and writes a
# Makefile whose install puts what the script looks for (bin/ffmpeg,
# lib/pkgconfig/libavcodec.pc with the prefix in it) under DESTDIR + prefix;
# that ffmpeg names its release too. make_release NAME TARBALL
make_release() {
  local dir=$scratch/stage-$1/ffmpeg-0.0.1
  mkdir -p "$dir"
  cat > "$dir/configure" <<'EOF'
#!/bin/sh
for arg in "$@"; do case $arg in --prefix=*) prefix=${arg#--prefix=} ;; esac; done
echo "@NAME@ configure --prefix=$prefix" >> "$STANDIN_LOG"
printf 'all:\n\ttouch built\ninstall: all\n\tsh "%s/install.sh" "$(DESTDIR)" "%s"\n' \
  "$(cd "$(dirname "$0")" && pwd)" "$prefix" > Makefile
EOF
  cat > "$dir/install.sh" <<'EOF'
root=$1$2
mkdir -p "$root/bin" "$root/lib/pkgconfig"
printf '#!/bin/sh\necho "ffmpeg version 0.0.1 (@NAME@)"\n' > "$root/bin/ffmpeg"
chmod +x "$root/bin/ffmpeg"
echo "prefix=$2" > "$root/lib/pkgconfig/libavcodec.pc"
EOF
  sed -i "s/@NAME@/$1/" "$dir/configure" "$dir/install.sh"
  chmod +x "$dir/configure"
  tar -cJf "$2" -C "$(dirname "$dir")" ffmpeg-0.0.1
}
releases=$scratch/releases
mkdir -p "$releases" "$scratch/no-src"
make_release good "$releases/ffmpeg-0.0.1.tar.xz"
good=$(sha256sum < "$releases/ffmpeg-0.0.1.tar.xz" | cut -d' ' -f1)
wrong=$(printf '%s' "$good" | tr '0-9a-f' '1-9a-f0')
echo "$good  ffmpeg-0.0.1.tar.xz" > "$scratch/good.sha256"
echo "$wrong  ffmpeg-0.0.1.tar.xz" > "$scratch/wrong.sha256"

# Runs the script with an empty source folder, the given cache, digest list
# and release URL, and its temporary files kept in a folder of their own.
run() {  # cache digests url args...
  local cache=$1 digests=$2 url=$3
  shift 3
  mkdir -p "$cache" "$scratch/tmp"
  TMPDIR=$scratch/tmp GIFEXPORT_CACHE=$cache GIFEXPORT_FFMPEG_SRC=$scratch/no-src \
    GIFEXPORT_FFMPEG_DIGESTS=$digests GIFEXPORT_FFMPEG_RELEASES_URL=$url \
    bash "$script" "$@"
}
empty_dir() { [ -z "$(ls -A "$1" 2>/dev/null)" ]; }

# 1. Downloaded into the cache, checked, and reused without the release page.
cache=$scratch/cache1
if out=$(run "$cache" "$scratch/good.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  [ "$(tail -n 1 <<< "$out")" = "$cache/downloads/ffmpeg-0.0.1.tar.xz" ] || fail "fetch printed: $out"
  [ "$(sha256sum < "$cache/downloads/ffmpeg-0.0.1.tar.xz" | cut -d' ' -f1)" = "$good" ] || fail "the download differs"
  [ "$(ls -A "$cache/downloads")" = "ffmpeg-0.0.1.tar.xz" ] || fail "left behind: $(ls -A "$cache/downloads")"
  run "$cache" "$scratch/good.sha256" "file://$scratch/gone" fetch 0.0.1 > /dev/null 2>&1 \
    || fail "the earlier download was not reused"
else
  fail "download: $out"
fi

# 2. A download whose digest differs from the pinned one is refused and
# deleted, and a build stops before unpacking or installing anything.
cache=$scratch/cache2
if out=$(run "$cache" "$scratch/wrong.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  fail "a mismatched download was accepted"
else
  grep -q "sha256 mismatch" <<< "$out" || fail "no mismatch message: $out"
fi
empty_dir "$cache/downloads" || fail "the mismatched download was kept: $(ls -A "$cache/downloads")"
prefix=$scratch/prefix
if GIFEXPORT_FFMPEG_PREFIX=$prefix run "$cache" "$scratch/wrong.sha256" "file://$releases" native 0.0.1 > /dev/null 2>&1; then
  fail "a build went on with a mismatched tarball"
fi
[ ! -e "$prefix" ] || fail "a mismatched tarball left an install in $prefix"
empty_dir "$scratch/tmp" || fail "a mismatched tarball left files in TMPDIR: $(ls -A "$scratch/tmp")"
empty_dir "$cache/downloads" || fail "the build kept the mismatched download"

# 3. A local tarball with the wrong digest is refused, not passed over for a
# download; a version with no pinned digest is refused before any download.
echo "not the release" > "$scratch/no-src/ffmpeg-0.0.1.tar.xz"
if out=$(run "$scratch/cache3" "$scratch/good.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  fail "a mismatched local tarball was accepted"
fi
rm "$scratch/no-src/ffmpeg-0.0.1.tar.xz"
empty_dir "$scratch/cache3/downloads" || fail "a download replaced a mismatched local tarball"
if out=$(run "$scratch/cache4" "$scratch/good.sha256" "file://$releases" fetch 0.0.2 2>&1); then
  fail "a version with no pinned digest was fetched"
else
  grep -q "no pinned digest" <<< "$out" || fail "no message for an unpinned version: $out"
fi

# 4. The pinned digests are those of FFmpeg's own release tarballs: Debian's
# orig tarball, served under FFmpeg's release name, passes the real list.
shared=$repo/../shared/ffmpeg-src/ffmpeg_9.0.2.orig.tar.xz
if [ -f "$shared" ]; then
  cp "$shared" "$releases/ffmpeg-9.0.2.tar.xz"
  run "$scratch/cache5" "$repo/scripts/ffmpeg-releases.sha256" "file://$releases" fetch 9.0.2 > /dev/null 2>&1 \
    || fail "the 9.0.2 release tarball does not match its pinned digest"
else
  echo "note: $shared not here; the pinned 9.0.2 digest is not checked"
fi

# The builds below run the script for real on the stand-in release, with a
# dpkg-query that finds every package installed (so the set-up installs
# nothing) and that first runs the shell command in STANDIN_HOOK, if any:
# something that happens while the script sets up, after the tarball and the
# prefix were looked at and before anything is unpacked.
mkdir -p "$scratch/bin"
cat > "$scratch/bin/dpkg-query" <<'EOF'
#!/bin/sh
[ -z "${STANDIN_HOOK:-}" ] || sh -c "$STANDIN_HOOK"
printf 'install ok installed'
EOF
chmod +x "$scratch/bin/dpkg-query"
log=$scratch/configure.log
touch "$log"
src=$scratch/src
mkdir -p "$src"
cp "$releases/ffmpeg-0.0.1.tar.xz" "$src/ffmpeg_0.0.1.orig.tar.xz"
# A native build of the stand-in release from $src into the given prefix.
build() {  # prefix
  mkdir -p "$scratch/tmp"
  PATH=$scratch/bin:$PATH STANDIN_LOG=$log JOBS=1 TMPDIR=$scratch/tmp \
    GIFEXPORT_CACHE=$scratch/build-cache GIFEXPORT_FFMPEG_SRC=$src GIFEXPORT_FFMPEG_PREFIX=$1 \
    GIFEXPORT_FFMPEG_DIGESTS=$scratch/good.sha256 GIFEXPORT_FFMPEG_RELEASES_URL=file://$scratch/gone \
    bash "$script" native 0.0.1
}
configure_runs() { wc -l < "$log"; }
# Whether prefix holds a finished install of the good stand-in, configured
# for that prefix.
installed_good() {  # prefix
  [ "$("$1/bin/ffmpeg")" = "ffmpeg version 0.0.1 (good)" ] \
    && [ "$(cat "$1/lib/pkgconfig/libavcodec.pc")" = "prefix=$1" ] \
    && [ "$(head -n 1 "$1/.gifexport-build-stamp")" = "source-sha256: $good" ]
}
# Every file under a folder with its digest, and every folder.
snapshot() { (cd "$1" && find . -type d | sort && find . -type f -exec sha256sum {} + | sort); }

# 5. A missing or empty prefix gets the install, configured for that very
# path (the libraries' rpath and the pkg-config files name it) though it is
# installed into a staging tree first; a relative prefix counts from the
# repo root. A second run reuses the install without configuring again.
mkdir -p "$scratch/p-empty"
while IFS='|' read -r what given want; do
  if out=$(build "$given" 2>&1); then
    [ "$(tail -n 1 <<< "$out")" = "$want" ] || fail "$what: the last line is not the prefix: $out"
    installed_good "$want" || fail "$what: no finished install in $want: $(ls -A "$want" 2>&1)"
    grep -qx "good configure --prefix=$want" "$log" || fail "$what: configure ran with: $(cat "$log")"
    empty_dir "$scratch/tmp" || fail "$what: left in TMPDIR: $(ls -A "$scratch/tmp")"
    before=$(configure_runs)
    if out=$(build "$given" 2>&1); then
      grep -q "already built" <<< "$out" || fail "$what: not reused: $out"
      [ "$(tail -n 1 <<< "$out")" = "$want" ] || fail "$what: the reuse's last line is not the prefix: $out"
      [ "$(configure_runs)" = "$before" ] || fail "$what: configured again to reuse"
    else
      fail "$what: the second run: $out"
    fi
  else
    fail "$what: $out"
  fi
done <<EOF
a missing prefix in a missing folder|$scratch/p-missing/ffmpeg|$scratch/p-missing/ffmpeg
an empty folder|$scratch/p-empty|$scratch/p-empty
a relative prefix|$(realpath --relative-to="$repo" "$scratch/p-relative")|$scratch/p-relative
EOF

# 6. A prefix holding anything but this script's install is refused before
# anything is built, and left exactly as it was: a folder of someone else's
# files (as /usr/local would be), a plain file.
mkdir -p "$scratch/p-foreign/lib" "$scratch/p-foreign/bin"
echo "mine" > "$scratch/p-foreign/notes.txt"
echo "a library" > "$scratch/p-foreign/lib/libmine.so"
echo "hidden" > "$scratch/p-foreign/.config"
echo "a file" > "$scratch/p-file"
for prefix in "$scratch/p-foreign" "$scratch/p-file"; do
  if [ -d "$prefix" ]; then before=$(snapshot "$prefix"); else before=$(sha256sum < "$prefix"); fi
  runs=$(configure_runs)
  if out=$(build "$prefix" 2>&1); then
    fail "an install went into $prefix: $out"
  else
    grep -q "refusing to install into $prefix" <<< "$out" || fail "no refusal for $prefix: $out"
  fi
  if [ -d "$prefix" ]; then after=$(snapshot "$prefix"); else after=$(sha256sum < "$prefix"); fi
  [ "$before" = "$after" ] || fail "$prefix changed: $after"
  [ "$(configure_runs)" = "$runs" ] || fail "configure ran for a refused $prefix"
  empty_dir "$scratch/tmp" || fail "a refusal left files in TMPDIR: $(ls -A "$scratch/tmp")"
done

# 7. A folder that was empty when the build started but holds someone's file
# by the time the build is done is refused then, the file kept.
prefix=$scratch/p-filled-meanwhile
mkdir -p "$prefix"
if out=$(STANDIN_HOOK="echo mine > '$prefix/notes.txt'" build "$prefix" 2>&1); then
  fail "an install went into a folder filled meanwhile: $out"
else
  grep -q "refusing to install into $prefix" <<< "$out" || fail "no refusal for a folder filled meanwhile: $out"
fi
[ "$(ls -A "$prefix")" = "notes.txt" ] && [ "$(cat "$prefix/notes.txt")" = "mine" ] \
  || fail "a folder filled meanwhile changed: $(ls -A "$prefix")"
empty_dir "$scratch/tmp" || fail "a late refusal left files in TMPDIR: $(ls -A "$scratch/tmp")"

# 8. A prefix with this script's stamp (another release's build, or one cut
# off while moving in) is replaced whole: nothing of the old build stays.
for old_stamp in "source-sha256: 0000
configure: --prefix=elsewhere" "unfinished"; do
  prefix=$scratch/p-ours
  rm -rf "$prefix"
  mkdir -p "$prefix/lib" "$prefix/bin"
  printf '%s\n' "$old_stamp" > "$prefix/.gifexport-build-stamp"
  echo "old" > "$prefix/lib/libavold.so"
  echo "old" > "$prefix/bin/ffmpeg"
  if out=$(build "$prefix" 2>&1); then
    installed_good "$prefix" || fail "the old build was not replaced: $(ls -A "$prefix")"
    [ ! -e "$prefix/lib/libavold.so" ] || fail "the old build's files stayed"
  else
    fail "a prefix of this script's was refused: $out"
  fi
done

# 9. The tarball is replaced after it was checked, while the script sets up:
# what is unpacked and built is still the checked one.
make_release swapped "$scratch/swapped.tar.xz"
prefix=$scratch/p-swap
if out=$(STANDIN_HOOK="cp '$scratch/swapped.tar.xz' '$src/ffmpeg_0.0.1.orig.tar.xz'" build "$prefix" 2>&1); then
  cmp -s "$scratch/swapped.tar.xz" "$src/ffmpeg_0.0.1.orig.tar.xz" || fail "the tarball was never swapped"
  ! grep -q "^swapped " "$log" || fail "the swapped tarball's configure ran"
  installed_good "$prefix" || fail "the install is not the checked release's: $("$prefix/bin/ffmpeg" 2>&1)"
else
  fail "the build with a swapped tarball: $out"
fi
cp "$releases/ffmpeg-0.0.1.tar.xz" "$src/ffmpeg_0.0.1.orig.tar.xz"

# 10. A source folder with a backslash in its path, and temporary files in
# such a folder too: the digest is still the tarball's own (sha256sum marks a
# name with a backslash in its output).
odd_src=$scratch/src\\with\\backslash
odd_tmp=$scratch/tmp\\with\\backslash
mkdir -p "$odd_src" "$odd_tmp"
cp "$releases/ffmpeg-0.0.1.tar.xz" "$odd_src/ffmpeg-0.0.1.tar.xz"
if out=$(GIFEXPORT_FFMPEG_SRC=$odd_src TMPDIR=$odd_tmp GIFEXPORT_CACHE=$scratch/cache9 \
           GIFEXPORT_FFMPEG_DIGESTS=$scratch/good.sha256 GIFEXPORT_FFMPEG_RELEASES_URL=file://$scratch/gone \
           bash "$script" fetch 0.0.1 2>&1); then
  [ "$(tail -n 1 <<< "$out")" = "$odd_src/ffmpeg-0.0.1.tar.xz" ] || fail "fetch from $odd_src printed: $out"
else
  fail "the tarball in $odd_src was refused: $out"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "build_ffmpeg fetch and builds: all cases passed"

#!/usr/bin/env bash
# Builds the benchmark corpora from Debian bookworm (main) packages into OUTDIR
# (default bench/corpora/raw):
#   en.txt    English prose, one sentence per line, deduplicated: kernel, Python and PostgreSQL
#             manuals, man pages (with Perl's), fortunes
#   code.txt  source lines: Python standard library, half of glibc's C files, libstdc++ headers
#   zh.txt    Chinese, one sentence per line: translated man pages, kernel documentation and
#             manuals, classical poems
#   SOURCES.txt the exact package versions used; licenses/ each package's copyright file
# Usage, as root: bench/make_corpus.sh [OUTDIR]. Needs apt, dpkg-deb, python3 and groff-base.
# The packages are downloaded and unpacked into a scratch directory ($WORK if set, kept; else a
# temporary one), never installed. The text belongs to its authors: build it, never commit it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/corpora/raw}
if [ -n "${WORK:-}" ]; then work=$WORK; else work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; fi
export DEBIAN_FRONTEND=noninteractive
[ "$(id -u)" = 0 ] || { echo "make_corpus.sh: run as root (it uses apt-get)" >&2; exit 1; }

apt-get update -qq
command -v python3 >/dev/null && command -v groff >/dev/null ||
  apt-get install -y -qq --no-install-recommends python3 groff-base >/dev/null

# The highest-numbered package whose whole name matches an extended regex, e.g. linux-doc-X.Y.
newest() { apt-cache pkgnames | grep -xE "$1" | sort -V | tail -n 1; }
py=$(newest 'python3\.[0-9]+-doc'); py=${py%-doc}
gcc=$(newest 'libstdc\+\+-[0-9]+-dev'); gcc=${gcc#libstdc++-}; gcc=${gcc%-dev}
packages=(
  "$(newest 'linux-doc-[0-9.]+')" "$py-doc" "$(newest 'postgresql-doc-[0-9]+')" perl-doc
  manpages manpages-dev fortunes                                                  # English
  manpages-zh fortunes-zh libreoffice-help-zh-cn debian-reference-zh-cn           # Chinese
  "lib$py-minimal" "lib$py-stdlib" glibc-source "libstdc++-$gcc-dev"              # code
  "gcc-$gcc-base"                                    # holds libstdc++'s copyright file
)

rm -rf "$work/debs" "$work/tree"; mkdir -p "$work/debs" "$work/tree" "$out/licenses"
chmod 755 "$work"; chown _apt "$work/debs" 2>/dev/null || true   # apt downloads as _apt, sandboxed
(cd "$work/debs" && apt-get download -q "${packages[@]}")
: > "$out/SOURCES.txt"
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$work/tree"
  dpkg-deb --show --showformat='${Package} ${Version} ${Architecture}\n' "$deb" >> "$out/SOURCES.txt"
done
# After unpacking all: some packages' doc directory is a link into another package's.
for pkg in $(cut -d' ' -f1 "$out/SOURCES.txt"); do
  cp -L "$work/tree/usr/share/doc/$pkg/copyright" "$out/licenses/$pkg" 2>/dev/null || true
done

python3 "$here/corpus_text.py" "$work/tree" "$out"

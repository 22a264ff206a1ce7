#!/usr/bin/env bash
# Writes the third-party notices of a program linked by GNU ld, made from its
# link map, to standard output:
#
#   tools/packaging/third-party-notices.sh PROGRAM_NAME LINK_MAP
#
# Every library member and start-up file that the link took from outside the
# build folder (an absolute path in the map; the build's own files are
# relative) is a third-party component. Each is traced to the Debian package
# that installed it, and that package's copyright file is copied whole,
# followed by the common licence texts it refers to. A library that a later
# change links in is so named without anyone having to remember it; a file
# that no package owns stops the script.
set -euo pipefail
name=$1
map=$2

# "archive(member)" at the start of a line: the map's list of the archive
# members the link took; "LOAD file.o": an object file linked whole.
# The map names a file by the path the linker searched it at
# (lib/gcc/.../../../lib/libc.a): each is named here by its plain path.
members=$(sed -n 's/^\(\/[^ (]*\.a\)(\([^)]*\)).*/\1 \2/p' "$map")
while read -r archive; do
  members=${members//"$archive "/"$(realpath -s "$archive") "}
done < <(cut -d' ' -f1 <<<"$members" | sort -u)
objects=$(sed -n 's/^LOAD \(\/.*\.o\)$/\1/p' "$map" | xargs -r realpath -s)
files=$({ cut -d' ' -f1 <<<"$members"; echo "$objects"; } | grep . | LC_ALL=C sort -u)

# The package that installed FILE, as dpkg knows the path or its target;
# with its architecture where several are installed (musl-dev:arm64).
package_of() {
  local path owner
  for path in "$1" "$(realpath "$1")"; do
    if owner=$(dpkg-query -S "$path" 2>/dev/null); then
      echo "${owner%%: *}"
      return
    fi
  done
  echo "third-party-notices.sh: no Debian package owns $1" >&2
  exit 1
}

heading() { printf '%s\n%s\n' "$1" "${1//?/=}"; }

heading "Third-party notices for $name"
echo
fold -s -w 76 <<TEXT | sed 's/ *$//'
$name contains code from the components listed below, linked into it statically. Each is named by the file it was taken from, the library members taken, and the Debian package that provided the file, whose source package the Debian archive keeps. The copyright file of each package follows as Debian ships it, then the full text of each licence those files refer to.
TEXT
echo
heading "Components"
packages=()
for file in $files; do
  package=$(package_of "$file")
  packages+=("$package")
  echo
  echo "$(basename "$file"), from $package $(dpkg-query -W -f='${Version} (source package ${source:Package} ${source:Version})' "$package")"
  taken=$(awk -v file="$file" '$1 == file { print $2 }' <<<"$members" | LC_ALL=C sort -u | paste -sd' ')
  [ -z "$taken" ] || fold -s -w 74 <<<"members: $taken" | sed 's/^/  /; s/ *$//'
done

licences=()
for package in $(printf '%s\n' "${packages[@]}" | LC_ALL=C sort -u); do
  copyright=/usr/share/doc/${package%%:*}/copyright
  echo
  heading "Copyright of $package ($copyright)"
  echo
  cat "$copyright"
  # A reference ends before a full stop that ends its sentence.
  mapfile -t -O ${#licences[@]} licences < <(grep -oE '/usr/share/common-licenses/[A-Za-z0-9.+_-]*[A-Za-z0-9+_-]' "$copyright")
done
for licence in $(printf '%s\n' "${licences[@]}" | xargs -r realpath -e 2>/dev/null | LC_ALL=C sort -u); do
  echo
  heading "Licence text $licence"
  echo
  cat "$licence"
done

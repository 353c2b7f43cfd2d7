#!/bin/sh
# The third-party code in the executables, from what the linker really took in (its map,
# -Wl,-Map) and the Debian packages that supplied it; tools/release.sh writes the notices
# and the bill of materials with it.
#
#   sh tools/third-party.sh scan NAME=MAP...                   > TABLE
#   sh tools/third-party.sh notices TABLE PRODUCT VERSION       > THIRD-PARTY-NOTICES.txt
#   sh tools/third-party.sh bom TABLE PRODUCT VERSION EPOCH DIR > NAME.cdx.json
#
# scan reads each executable's map: every archive member it took in and every object file
# it loaded by absolute path (what the build made itself it names by relative paths). It
# asks dpkg which package owns each file, and reads the source files each member names in
# its debug information. It prints one tab-separated line per source file:
#   executable  package  version  architecture  component  file  member  source
# (member "-" for an object file, source "-" for a member that names none). A file that no
# package owns fails the scan: nothing would say what its licence is.
#
# notices and bom take each component's licences from its package's copyright file: in a
# machine-readable (DEP-5) file, the paragraph whose Files patterns match a source file
# last, and the one for "*" for members that name no source file. bom hashes DIR/NAME.
set -eu
export LC_ALL=C
objdump=x86_64-w64-mingw32-objdump

# The component a file of a package belongs to: mingw-w64 builds its C runtime and its
# POSIX threads library from one source, GCC its support library and its C++ library;
# anything else is named after its upstream (the copyright file's Upstream-Name), else its
# package.
component() { # file package
  case $1 in
    libpthread.a | libwinpthread.a) echo winpthreads ;;
    libgcc.a | libgcc_eh.a | crtbegin.o | crtend.o) echo libgcc ;;
    libstdc++.a | libsupc++.a) echo libstdc++ ;;
    *)
      upstream=$(sed -n '/^$/q; s/^Upstream-Name: *//p' "/usr/share/doc/$2/copyright" 2>/dev/null)
      echo "${upstream:-$2}" ;;
  esac
}

# The name under which GCC's copyright file lists a runtime library that it puts under the
# GCC Runtime Library Exception.
gcc_runtime() { # component
  case $1 in
    libgcc) echo libgcc ;;
    libstdc++) echo libstdc++-v3 ;;
    *) return 1 ;;
  esac
}

# The third-party inputs of one map: "file<TAB>member", member "-" for an object file.
inputs() { # map
  awk '
    /^Archive member included/ { members = 1; next }
    /^(Discarded input sections|Allocating common symbols|Memory Configuration)/ { members = 0 }
    members && /^\// && match($1, /\([^()]*\)$/) {
      print substr($1, 1, RSTART - 1) "\t" substr($1, RSTART + 1, RLENGTH - 2)
    }
    $1 == "LOAD" && $2 ~ /^\// && $2 !~ /\.a$/ { print $2 "\t-" }
  ' "$1" | sort -u
}

# The source files that objdump's line tables name, as "object<TAB>path" with paths
# relative to the source tree's top (a member of a Debian build names them so); absolute
# paths (installed headers, the build folder) are left out.
sources() { # objects...
  "$objdump" --dwarf=rawline "$@" 2>/dev/null | awk '
    function clean(p,    n, i, part, out, k) {
      n = split(p, part, "/"); k = 0
      for (i = 1; i <= n; i++) {
        if (part[i] == "" || part[i] == ".") continue
        if (part[i] == ".." ) { if (k > 0) k--; continue }
        out[++k] = part[i]
      }
      p = ""
      for (i = 1; i <= k; i++) p = p (i > 1 ? "/" : "") out[i]
      return p
    }
    function field(line,    i) { i = index(line, "): "); if (i) return substr(line, i + 3); sub(/.*\t/, "", line); return line }
    /:[ \t]+file format / { object = $1; sub(/:$/, "", object); next }
    /^ The Directory Table/ { table = "dir"; delete dir; next }
    /^ The File Name Table/ { table = "file"; next }
    /^ Line Number Statements/ || /^ No Line Number Statements/ || /^$/ { table = ""; next }
    table == "dir" && /^  [0-9]/ { dir[$1] = field($0); next }
    table == "file" && /^  [0-9]/ {
      name = field($0); d = ($2 in dir) ? dir[$2] : ""
      # DWARF 4 numbers directories from 1 and leaves 0, the compilation folder, out.
      if (name !~ /^\// && d !~ /^\//) { path = clean(d "/" name); if (path != "") print object "\t" path }
    }
  ' | sort -u
}

scan() {
  work=$(mktemp -d -t third-party.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  : >"$work/inputs"
  for pair in "$@"; do
    exe=${pair%%=*} map=${pair#*=}
    [ -f "$map" ] || { echo "no link map $map for $exe" >&2; exit 1; }
    inputs "$map" | sed "s|^|$exe\t|" >>"$work/inputs"
  done

  # The owner of each file, by its path as given with the ".." taken out, else by the
  # path of the file itself (a link may lead elsewhere).
  : >"$work/owners"
  cut -f2 "$work/inputs" | sort -u | while read -r file; do
    owner=
    for path in "$(realpath -s -- "$file")" "$(realpath -- "$file")"; do
      # "package[:arch][, package...]: path"
      owner=$(dpkg-query -S "$path" 2>/dev/null | awk -F ': ' -v p="$path" '$2 == p { sub(/[:,].*/, "", $1); print $1; exit }')
      [ -z "$owner" ] || break
    done
    [ -n "$owner" ] || { echo "$file is linked in, but no Debian package owns it: its licence is unknown" >&2; exit 1; }
    copyright "$owner" >/dev/null
    printf '%s\t%s\t%s\n' "$file" "$(dpkg-query -W -f='${Package}\t${Version}\t${Architecture}' "$owner")" \
      "$(component "${file##*/}" "$owner")" >>"$work/owners"
  done

  # The source files of each member, from a copy of the member (ar extracts by name).
  : >"$work/sources"
  cut -f2,3 "$work/inputs" | sort -u | awk -F '\t' '$2 != "-" { print $1 }' | uniq | while read -r archive; do
    rm -rf "$work/ar" && mkdir "$work/ar"
    members=$(awk -F '\t' -v a="$archive" '$2 == a { print $3 }' "$work/inputs" | sort -u)
    # shellcheck disable=SC2086 # member names hold no blanks
    (cd "$work/ar" && ar x "$archive" $members && sources $members) | sed "s|^|$archive\t|" >>"$work/sources"
  done
  awk -F '\t' '$3 == "-" { print $2 }' "$work/inputs" | sort -u | while read -r object; do
    sources "$object" | cut -f 2 | sed "s|^|$object\t-\t|" >>"$work/sources"
  done

  # One line per source file of each member.
  awk -F '\t' -v OFS='\t' '
    FILENAME == ARGV[1] { owner[$1] = $2 OFS $3 OFS $4 OFS $5; next }
    FILENAME == ARGV[2] { found[$1 OFS $2] = found[$1 OFS $2] "\n" $3; next }
    {
      base = $2; sub(/.*\//, "", base)
      n = split(substr(found[$2 OFS $3], 2), source, "\n")
      if (n == 0) source[++n] = "-"
      for (i = 1; i <= n; i++) print $1, owner[$2], base, $3, source[i]
    }
  ' "$work/owners" "$work/sources" "$work/inputs" | sort -u
}

# The licences that a copyright file gives for a component's source files (on standard
# input, "-" for a member without any). As "text": each paragraph that applies, with the
# files it covers, its copyright and its licence text (from the file's own License
# paragraph where it gives none inline). As "expression": an SPDX licence expression.
licences() { # text|expression copyright component package
  mode=$1 copyright=$2
  if ! head -n 1 "$copyright" | grep -q '^Format:'; then
    # GCC's file is not machine-readable; it lists the runtime libraries that its runtime
    # library exception covers, one " - name" line each.
    if runtime=$(gcc_runtime "$3") && grep -q '^GCC RUNTIME LIBRARY EXCEPTION' "$copyright" &&
       grep -q "^ - $runtime\\( \\|\$\\)" "$copyright"; then
      if [ "$mode" = expression ]; then
        echo "GPL-3.0-or-later WITH GCC-exception-3.1"
      else
        echo "GPL-3.0-or-later with the GCC Runtime Library Exception 3.1, which asks nothing of whoever distributes the compiled code in binary form."
      fi
    elif [ "$mode" = expression ]; then
      echo "LicenseRef-Debian-copyright-$(echo "$4" | tr -c 'A-Za-z0-9.\n' '-')"
    else
      echo "The Debian copyright file of $4, whole:"
      echo
      cat "$copyright"
    fi
    return
  fi
  awk -v mode="$mode" -v package="$4" '
    function regex(glob,    i, c, r) {
      r = ""
      for (i = 1; i <= length(glob); i++) {
        c = substr(glob, i, 1)
        if (c == "*") r = r ".*"
        else if (c == "?") r = r "."
        else if (c == "\\") { i++; r = r "\\" substr(glob, i, 1) }
        else if (index(".[]()+{}^$|/", c)) r = r "\\" c
        else r = r c
      }
      return "^" r "$"
    }
    # DEP-5 short names as SPDX identifiers; others become LicenseRef- names.
    function spdx(name,    n, i, word, out, id) {
      n = split(name, word, /[ \t]+/); out = ""
      for (i = 1; i <= n; i++) {
        id = word[i]
        if (id == "and" || id == "or") id = toupper(id)
        else if (id == "expat") id = "MIT"
        else if (id ~ /^(L?GPL)-[0-9.]+\+$/) { sub(/\+$/, "", id); if (id !~ /\./) id = id ".0"; id = id "-or-later" }
        else if (id ~ /^(L?GPL)-[0-9.]+$/) { if (id !~ /\./) id = id ".0"; id = id "-only" }
        else if (id ~ /^BSD-[234]-clause$/) sub(/clause/, "Clause", id)
        else if (id !~ /^(Zlib|ZPL-2\.[01]|ISC|MIT|Apache-2\.0|MPL-2\.0|BSL-1\.0|Unlicense)$/) {
          gsub(/[^A-Za-z0-9.-]/, "-", id); id = "LicenseRef-" id
        }
        out = out (i > 1 ? " " : "") id
      }
      return out
    }
    # The texts of the licences a short name joins with "and" or "or", from the copyright
    # License paragraphs of the file, each under its own name where there are several.
    function texts(name,    n, i, word, out) {
      n = split(name, word, /[ \t]+/)
      if (n == 1) return text[name]
      out = ""
      for (i = 1; i <= n; i++) if (word[i] != "and" && word[i] != "or") out = out "License: " word[i] "\n" text[word[i]]
      return out
    }
    function cover(p, what) { if (p in covers) covers[p] = covers[p] " " what; else { covers[p] = what; covered++ } }
    # Words on lines of at most 88 characters, the later ones indented.
    function wrap(text,    n, i, word, line, out) {
      n = split(text, word, " "); line = word[1]; out = ""
      for (i = 2; i <= n; i++) {
        if (length(line) + 1 + length(word[i]) > 88) { out = out line "\n"; line = "  " word[i] }
        else line = line " " word[i]
      }
      return out line
    }
    FNR == NR {
      # The copyright file, paragraph by paragraph; a field goes on in lines that start
      # with a blank.
      if ($0 ~ /^[ \t]*$/) { key = ""; if (in_para) { in_para = 0; para++ }; next }
      in_para = 1
      if ($0 ~ /^[A-Za-z-]+:/) {
        key = $0; sub(/:.*/, "", key); value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        if (key == "Files") { files[para] = value; kind[para] = "files" }
        else if (key == "License") { short[para] = value; if (!(para in kind)) kind[para] = "license" }
        if (key == "Copyright" || key == "License") first[para, key] = $0
        next
      }
      if (key == "Files") files[para] = files[para] " " $0
      else if (key == "Copyright") first[para, key] = first[para, key] "\n" $0
      else if (key == "License") body[para] = body[para] $0 "\n"
      next
    }
    !($0 in wanted) { wanted[$0] = 1; order[++sources] = $0 }
    END {
      if (in_para) para++
      for (p = 0; p < para; p++) {
        if (kind[p] == "license") text[short[p]] = body[p]
        if (kind[p] != "files") continue
        n = split(files[p], glob, /[ \t]+/)
        for (i = 1; i <= n; i++) if (glob[i] != "") {
          pattern[p, ++count[p]] = regex(glob[i])
          if (glob[i] == "*") everything = p
        }
      }
      # The last paragraph that matches a file decides its licence; a member without a
      # source file takes the one for "*".
      for (s = 1; s <= sources; s++) {
        source = order[s]
        if (source == "-") {
          # Without a paragraph for "*", every paragraph but those of the packaging alone.
          if (everything != "") cover(everything, "(members that name no source file)")
          else for (p = 0; p < para; p++) if (kind[p] == "files" && files[p] !~ /^[ \t]*(debian\/[^ \t]*[ \t]*)+$/) cover(p, "(members that name no source file)")
          continue
        }
        hit = -1
        for (p = 0; p < para; p++) for (i = 1; i <= count[p]; i++) if (source ~ pattern[p, i]) hit = p
        if (hit >= 0) cover(hit, source)
      }
      if (!covered) {
        print "the copyright file of " package " gives no licence for the files linked in" > "/dev/stderr"
        exit 1
      }
      for (p = 0; p < para; p++) if (p in covers) {
        if (mode == "expression") { id = spdx(short[p]); if (!(id in seen)) { seen[id] = 1; ids[++nid] = id } continue }
        printf "%s\n%s\n%s\n%s\n", wrap("Files linked in: " covers[p]), first[p, "Copyright"], first[p, "License"], (body[p] != "" ? body[p] : texts(short[p]))
      }
      if (mode == "expression") {
        # Sorted, joined with AND; a compound part in parentheses.
        for (i = 1; i <= nid; i++) for (j = i + 1; j <= nid; j++) if (ids[j] < ids[i]) { t = ids[i]; ids[i] = ids[j]; ids[j] = t }
        out = ""
        for (i = 1; i <= nid; i++) out = out (i > 1 ? " AND " : "") (ids[i] ~ / / ? "(" ids[i] ")" : ids[i])
        print out
      }
    }
  ' "$copyright" -
}

# Tab-separated fields of the table: executable 1, package 2, version 3, architecture 4,
# component 5, file 6, member 7, source 8.
column() { # table field [filter-field value]
  if [ $# -gt 2 ]; then
    awk -F '\t' -v f="$2" -v k="$3" -v v="$4" '$k == v { print $f }' "$1"
  else
    cut -f "$2" "$1"
  fi | sort -u
}
words() { tr '\n' ' ' | sed 's/ $//'; }

copyright() { # package
  [ -f "/usr/share/doc/$1/copyright" ] ||
    { echo "/usr/share/doc/$1/copyright is missing: the licences of $1 are unknown" >&2; exit 1; }
  echo "/usr/share/doc/$1/copyright"
}

notices() { # table product version
  table=$1
  cat <<EOF
Third-party notices: $2 $3

Besides their own code, the executables of this release contain code from the
third-party components below. The release made this list from what the linker took
into each executable (the archive members and object files in its link map), the
Debian packages that supplied those files and the licences that each package's
copyright file gives for the source files of the members linked in.


Executables
===========
EOF
  for exe in $(column "$table" 1); do
    printf '\n%s\n' "$exe"
    awk -F '\t' -v e="$exe" '$1 == e { print $5 " (" $2 " " $3 "):\t" $6 }' "$table" | sort -u | awk -F '\t' '
      $1 != last { if (last != "") print line; line = "  " $1; last = $1 }
      { line = line " " $2 }
      END { if (last != "") print line }'
  done
  printf '\n\nComponents\n==========\n'
  rows=$(mktemp)
  for name in $(column "$table" 5); do
    awk -F '\t' -v c="$name" '$5 == c' "$table" >"$rows"
    printf '\n%s\n%s\n' "$name" "$(echo "$name" | sed 's/./-/g')"
    for package in $(column "$rows" 2); do
      printf 'Debian package %s %s (%s), in %s\n' "$package" "$(column "$rows" 3 2 "$package" | words)" \
        "$(column "$rows" 4 2 "$package" | words)" "$(column "$rows" 1 2 "$package" | words)"
    done
    printf 'Linked from: %s\n' "$(column "$rows" 6 | words)"
    # The licences once for each distinct copyright file among the component's packages.
    shown=
    for package in $(column "$rows" 2); do
      file=$(copyright "$package")
      alike=
      for other in $(column "$rows" 2); do
        if cmp -s "$file" "$(copyright "$other")"; then alike="$alike $other"; fi
      done
      case "$shown " in *" ${alike# } "*) continue ;; esac
      shown="$shown ${alike# } "
      sources=$(awk -F '\t' -v alike="$alike " 'index(alike, " " $2 " ") { print $8 }' "$rows" | sort -u)
      expression=$(echo "$sources" | licences expression "$file" "$name" "$package")
      printf '\nFrom the copyright file of%s\nLicence: %s\n\n' "$alike" "$expression"
      echo "$sources" | licences text "$file" "$name" "$package"
    done
  done
  rm -f "$rows"
}

json() { printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"; }
list() { sed 's/, $//'; }

bom() { # table product version epoch folder
  table=$1 product=$2 version=$3
  # The package URL names the package (a "+" written %2B) and its version; a component's
  # reference is its package and its name.
  purl() { printf 'pkg:deb/debian/%s@%s?arch=%s' "$(printf '%s' "$1" | sed 's/+/%2B/g')" "$2" "$3"; }
  components() { cut -f 2-5 "$table" | sort -u; }
  tab=$(printf '\t')
  printf '{\n  "bomFormat": "CycloneDX",\n  "specVersion": "1.5",\n  "version": 1,\n'
  printf '  "metadata": {\n    "timestamp": "%s",\n' "$(date -u -d "@$4" +%Y-%m-%dT%H:%M:%SZ)"
  printf '    "lifecycles": [ { "phase": "build" } ],\n'
  printf '    "component": { "type": "application", "bom-ref": "release", "name": %s, "version": %s }\n  },\n' \
    "$(json "$product")" "$(json "$version")"
  printf '  "components": ['
  separator=
  for exe in $(column "$table" 1); do
    [ -f "$5/$exe" ] || { echo "$5/$exe is missing" >&2; exit 1; }
    printf '%s\n    { "type": "application", "bom-ref": %s, "name": %s, "version": %s,\n' \
      "$separator" "$(json "$exe")" "$(json "$exe")" "$(json "$version")"
    printf '      "hashes": [ { "alg": "SHA-256", "content": "%s" } ] }' "$(sha256sum "$5/$exe" | cut -d ' ' -f 1)"
    separator=,
  done
  components | while IFS=$tab read -r package pversion arch name; do
    selected=$(awk -F '\t' -v p="$package" -v c="$name" '$2 == p && $5 == c' "$table")
    expression=$(echo "$selected" | cut -f 8 | sort -u | licences expression "$(copyright "$package")" "$name" "$package")
    purl=$(purl "$package" "$pversion" "$arch")
    printf ',\n    { "type": "library", "bom-ref": %s, "name": %s, "version": %s,\n' \
      "$(json "$package/$name")" "$(json "$name")" "$(json "$pversion")"
    printf '      "description": %s,\n' "$(json "$(echo "$selected" | cut -f 6 | sort -u | words) of $package")"
    printf '      "purl": %s,\n      "licenses": [ { "expression": %s } ] }' "$(json "$purl")" "$(json "$expression")"
  done
  printf '\n  ],\n  "dependencies": [\n'
  printf '    { "ref": "release", "dependsOn": [ %s ] }' "$(column "$table" 1 | while read -r exe; do json "$exe"; printf ', '; done | list)"
  for exe in $(column "$table" 1); do
    printf ',\n    { "ref": %s, "dependsOn": [ %s ] }' "$(json "$exe")" "$(awk -F '\t' -v e="$exe" '$1 == e' "$table" | cut -f 2-5 | sort -u |
      while IFS=$tab read -r package pversion arch name; do json "$package/$name"; printf ', '; done | list)"
  done
  components | while IFS=$tab read -r package pversion arch name; do
    printf ',\n    { "ref": %s, "dependsOn": [ ] }' "$(json "$package/$name")"
  done
  printf '\n  ]\n}\n'
}

usage() {
  echo "usage: sh tools/third-party.sh scan NAME=MAP... | notices TABLE PRODUCT VERSION | bom TABLE PRODUCT VERSION EPOCH DIR" >&2
  exit 2
}
command=${1:-}
[ $# = 0 ] || shift
case $command in
  scan) [ $# -gt 0 ] || usage; scan "$@" ;;
  notices) [ $# = 3 ] || usage; notices "$@" ;;
  bom) [ $# = 5 ] || usage; bom "$@" ;;
  *) usage ;;
esac

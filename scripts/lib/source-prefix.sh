# Shell functions shared by the scripts that build libraries from Debian's own source packages
# into a cached installation prefix (scripts/windows-deps, scripts/tsan-deps). Sourced, not run.
#
# A prefix lives under ${XDG_CACHE_HOME:-~/.cache}/ketterlin as <name>-<key>, the key being a hash
# of what the caller says the build depends on (package versions, files) together with the
# calling script and this file. A prefix counts only once its stamp file is written; concurrent
# runs of one script wait for each other; prefixes unused for two weeks are removed.
#
#   source "$root/scripts/lib/source-prefix.sh"
#   source_prefix_init tsan-deps
#   material=$(package_versions libtbb-dev)   # an assignment, so that a failure stops the script
#   open_prefix "$material"    # prints the prefix and exits when it is already built
#   ... build into "$prefix", using "$work" for sources and logs ...
#   close_prefix               # stamps the prefix, prints it
#
# Callers run with `set -euo pipefail`.

# dpkg-query formats name fields as ${Field}, in single quotes for dpkg-query, not the shell.
# shellcheck disable=SC2016

# source_prefix_init <name>: sets `prefix_name`, `cache` and `jobs`.
source_prefix_init() {
  prefix_name=$1
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/ketterlin
  jobs=$(nproc)
}

log() { echo "$prefix_name: $*" >&2; }

# package_field <package> <dpkg-query format>: the installed package's fields; stops the script
# when it is not installed.
package_field() {
  dpkg-query -W -f="$2" "$1" 2>/dev/null ||
    { log "package $1 is not installed (see scripts/install-deps)"; exit 1; }
}

# package_versions <package...>: one "<name> <version>" line per installed package.
package_versions() {
  local package
  for package in "$@"; do
    package_field "$package" '${Package} ${Version}\n'
  done
}

# open_prefix <key material>: sets `prefix`, `stamp` and `work`. When the prefix for this key is
# complete, prints it and exits the script. Otherwise takes the lock (held until the script
# ends), clears what failed builds left behind and returns with an empty prefix to build into.
open_prefix() {
  local key
  key=$({
    echo "$1"
    sha256sum "$0" "${BASH_SOURCE[0]}" | cut -d' ' -f1
  } | sha256sum | cut -c1-16)
  prefix=$cache/$prefix_name-$key
  stamp=$prefix/.complete
  work=$cache/$prefix_name-work-$key
  # The stamp's time is the prefix's last use.
  if [[ -f "$stamp" ]]; then
    touch "$stamp" 2>/dev/null || true
    echo "$prefix"
    exit 0
  fi

  mkdir -p "$cache"
  exec 9>"$cache/$prefix_name.lock"
  flock 9
  if [[ -f "$stamp" ]]; then
    echo "$prefix"
    exit 0
  fi
  # Builds hold the lock, so every folder of this name without a stamp (work folders included) is
  # from a build that failed.
  local folder
  for folder in "$cache/$prefix_name"-*/; do
    [[ -f "$folder/.complete" ]] || rm -rf "$folder"
  done
  mkdir -p "$prefix" "$work"
  prefix_start=$SECONDS
  log "building into $prefix"
}

# close_prefix: marks the prefix complete, removes the work folder and the prefixes of this name
# unused for two weeks, and prints the prefix.
close_prefix() {
  touch "$stamp"
  rm -rf "$work"
  find "$cache" -mindepth 2 -maxdepth 2 -path "$cache/$prefix_name-*/.complete" -mtime +14 \
    -printf '%h\0' | xargs -0 -r rm -rf
  log "done in $((SECONDS - prefix_start)) s"
  echo "$prefix"
}

# run <log name> <command...>: runs quietly into $work/<log name>.log; on failure shows the log's
# end and stops the script.
run() {
  local name=$1
  shift
  if ! "$@" >>"$work/$name.log" 2>&1; then
    log "failed: $* (log: $work/$name.log)"
    tail -n 40 "$work/$name.log" >&2
    exit 1
  fi
}

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# apt-get source needs deb-src entries. When there are none, they are added for Debian's own
# archive entries (deb822 debian.sources, or the one-line sources.list), in a file of their own.
ensure_source_entries() {
  local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list
               /etc/apt/sources.list.d/*.sources)
  if grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' "${lists[@]}"; then
    return
  fi
  local entries="" file
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    file=/etc/apt/sources.list.d/ketterlin-src.sources
    entries=$(sed -n -e 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' -e '/^#/!p' \
                /etc/apt/sources.list.d/debian.sources)
  elif [[ -f /etc/apt/sources.list ]]; then
    file=/etc/apt/sources.list.d/ketterlin-src.list
    entries=$(sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list)
  fi
  if [[ -z "$entries" ]]; then
    log "no Debian archive entries to mirror; add deb-src entries by hand"
    exit 1
  fi
  log "adding $file"
  echo "$entries" | as_root tee "$file" >/dev/null
  as_root apt-get update -q >&2
}

# fetch_source <binary package>: unpacks the source of the installed version into $work; prints
# its folder.
fetch_source() {
  local spec
  spec=$(package_field "$1" '${source:Package}=${source:Version}')
  if ! (cd "$work" && apt-get source -q "$spec") >>"$work/sources.log" 2>&1; then
    # The package lists of the deb-src entries may be missing or stale.
    as_root apt-get update -q >>"$work/sources.log" 2>&1 || true
    (cd "$work" && apt-get source -q "$spec") >>"$work/sources.log" 2>&1 ||
      { log "apt-get source $spec failed (log: $work/sources.log)"; exit 1; }
  fi
  local name=${spec%%=*} version=${spec#*=}
  version=${version#*:}
  echo "$work/$name-${version%-*}"
}

#!/usr/bin/env bash
# Fills in deploy/nginx/vimo.conf (and, with --standalone, the main file
# nginx.conf) for one machine.
#
#   render.sh [options] > /etc/nginx/conf.d/vimo.conf      Debian's nginx
#   render.sh --standalone DIR [options]                   DIR/nginx.conf + DIR/vimo.conf,
#                                                          run: nginx -p DIR -c DIR/nginx.conf
# Options (defaults in brackets):
#   --listen ADDR         what nginx listens on, [80]; e.g. 127.0.0.1:8080
#   --server-name NAME    the public host name, [_] (any)
#   --upstream ADDR       where vimo-service listens, [127.0.0.1:8787]
#   --cache-dir DIR       micro-cache files, [/var/cache/nginx/vimo] (standalone: DIR/cache)
#   --log-dir DIR         vimo-access.log and vimo-error.log, [/var/log/nginx] (standalone: DIR/logs)
#   --exempt ADDR         an address or CIDR range not limited per address (repeatable)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

listen=80 server_name=_ upstream=127.0.0.1:8787 cache_dir="" log_dir="" standalone=""
exempt=()
# Values go into the configuration as they are: nothing that could end a directive.
check() {
  [[ "$2" =~ ^[][A-Za-z0-9_.:/*-]+$ ]] || { echo "render.sh: bad value for $1: $2" >&2; exit 64; }
}
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || { echo "render.sh: $1 needs a value" >&2; exit 64; }
  check "$1" "$2"
  case "$1" in
    --listen) listen=$2 ;;
    --server-name) server_name=$2 ;;
    --upstream) upstream=$2 ;;
    --cache-dir) cache_dir=$2 ;;
    --log-dir) log_dir=$2 ;;
    --exempt) exempt+=("$2") ;;
    --standalone) standalone=$2 ;;
    *) echo "render.sh: unknown option $1" >&2; exit 64 ;;
  esac
  shift 2
done

if [ -n "$standalone" ]; then
  mkdir -p "$standalone"
  standalone=$(cd "$standalone" && pwd)
  check --standalone "$standalone"
  : "${cache_dir:=$standalone/cache}" "${log_dir:=$standalone/logs}"
  mkdir -p "$standalone/tmp" "$log_dir" "$cache_dir"
else
  : "${cache_dir:=/var/cache/nginx/vimo}" "${log_dir:=/var/log/nginx}"
fi

exempt_lines=""
for a in "${exempt[@]+"${exempt[@]}"}"; do exempt_lines+="    $a 0;"$'\n'; done

fill() {  # template -> stdout, failing on any name left unfilled
  local out
  out=$(awk -v listen="$listen" -v name="$server_name" -v upstream="$upstream" -v cache="$cache_dir" \
            -v logs="$log_dir" -v exempt="$exempt_lines" -v prefix="$standalone" -v user="$user_line" '
    $0 == "@EXEMPT@" { printf "%s", exempt; next }
    $0 == "@USER@" { print user; next }
    { gsub(/@LISTEN@/, listen); gsub(/@SERVER_NAME@/, name); gsub(/@UPSTREAM@/, upstream)
      gsub(/@CACHE_DIR@/, cache); gsub(/@LOG_DIR@/, logs); gsub(/@PREFIX@/, prefix); print }' "$1")
  if grep -q '@[A-Z_]*@' <<<"$out"; then echo "render.sh: unfilled name in $1" >&2; exit 1; fi
  printf '%s\n' "$out"
}

# As root the workers would run as "nobody" and could not write DIR: keep root's user.
user_line=""
if [ -n "$standalone" ] && [ "$(id -u)" -eq 0 ]; then user_line="user root;"; fi

if [ -n "$standalone" ]; then
  fill "$here/vimo.conf" >"$standalone/vimo.conf"
  fill "$here/nginx.conf" >"$standalone/nginx.conf"
else
  fill "$here/vimo.conf"
fi

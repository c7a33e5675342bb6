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
#   --cache-dir DIR       micro-cache files, [/var/cache/nginx/vimo] (standalone: DIR/cache);
#                         the images' cache is its sibling DIR-images
#   --log-dir DIR         vimo-access.log and vimo-error.log, [/var/log/nginx] (standalone: DIR/logs)
#   --exempt ADDR         an address or CIDR range not limited per address (repeatable)
#   --publish-listen ADDR where vimo-service publishes new messages (Nchan), [127.0.0.1:8788];
#                         keep it on loopback: whoever reaches it can wake every companion
#   --redis URL           share the wake-up channel with other nginx machines through this
#                         Redis (redis://HOST:PORT), [none: this machine's memory]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

listen=80 server_name=_ upstream=127.0.0.1:8787 cache_dir="" log_dir="" standalone=""
publish_listen=127.0.0.1:8788 redis=""
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
    --publish-listen) publish_listen=$2 ;;
    --redis) redis=$2 ;;
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
  mkdir -p "$standalone/tmp" "$log_dir" "$cache_dir" "$cache_dir-images"
else
  : "${cache_dir:=/var/cache/nginx/vimo}" "${log_dir:=/var/log/nginx}"
fi

redis_upstream="" redis_pass=""
if [ -n "$redis" ]; then
  [[ "$redis" =~ ^redis:// ]] || { echo "render.sh: --redis must be redis://HOST:PORT" >&2; exit 64; }
  redis_upstream="upstream vimo_redis { nchan_redis_server $redis; }"
  redis_pass="        nchan_redis_pass vimo_redis;"
fi
# The standalone main file loads Nchan itself; Debian's loads it from modules-enabled.
nchan_module=/usr/lib/nginx/modules/ngx_nchan_module.so
load_modules=""
if [ -n "$standalone" ]; then
  [ -f "$nchan_module" ] || { echo "render.sh: $nchan_module is missing (apt-get install libnginx-mod-nchan)" >&2; exit 69; }
  load_modules="load_module $nchan_module;"
fi

exempt_lines=""
for a in "${exempt[@]+"${exempt[@]}"}"; do exempt_lines+="    $a 0;"$'\n'; done

fill() {  # template -> stdout, failing on any name left unfilled
  local out
  out=$(awk -v listen="$listen" -v name="$server_name" -v upstream="$upstream" -v cache="$cache_dir" \
            -v logs="$log_dir" -v exempt="$exempt_lines" -v prefix="$standalone" -v user="$user_line" \
            -v publish="$publish_listen" -v rup="$redis_upstream" -v rpass="$redis_pass" -v modules="$load_modules" '
    $0 == "@EXEMPT@" { printf "%s", exempt; next }
    $0 == "@REDIS_UPSTREAM@" { print rup; next }
    $0 == "@REDIS_PASS@" { print rpass; next }
    $0 == "@LOAD_MODULES@" { print modules; next }
    $0 == "@USER@" { print user; next }
    { gsub(/@LISTEN@/, listen); gsub(/@SERVER_NAME@/, name); gsub(/@UPSTREAM@/, upstream)
      gsub(/@CACHE_DIR@/, cache); gsub(/@LOG_DIR@/, logs); gsub(/@PREFIX@/, prefix); gsub(/@PUBLISH_LISTEN@/, publish); print }' "$1")
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

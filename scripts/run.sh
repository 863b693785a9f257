#!/usr/bin/env bash
# The main job: installs what is needed, builds Skerrow and copies a magazine issue with it.
#
#   scripts/run.sh [sample-a|sample-a-https|sample-b|sample-today] [--pack] [--epub] [--index]
#                                                 copy a sample issue (site A's by default) from the sample
#                                                 magazine server, which runs on 127.0.0.1 for the copy;
#                                                 sample-a-https copies site A's over https (through the
#                                                 server's CONNECT tunnel, trusting a CA made for the copy);
#                                                 sample-today copies the magazine of today (https only) by
#                                                 its description, magazines/today.toml;
#                                                 --pack packs it with tools/SkerrowZip; --epub and --index
#                                                 are Skerrow's: the issue's book, the page of saved issues
#   scripts/run.sh [--epub] [--index] URL SAVE-PATH [ARCHIVER]
#                                                 Skerrow's own command line, for any issue
#
# A sample copy goes to a new directory out/sample-X-<date-time>/; after Skerrow's own summary the script
# names the page to open. It exits with Skerrow's exit status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"

usage() {
  echo "usage: scripts/run.sh [sample-a|sample-a-https|sample-b|sample-today] [--pack] [--epub] [--index]" >&2
  echo "       scripts/run.sh [--epub] [--index] URL SAVE-PATH [ARCHIVER]" >&2
  exit 2
}

# Only sample words and options: a sample copy; anything else is Skerrow's own command line.
sample=a
pack=0
options=()
for arg in "$@"; do
  case "$arg" in
    sample-a|sample-a-https|sample-b|sample-today|--pack|--epub|--index) ;;
    -h|--help) usage ;;
    *) sample="" ;;
  esac
done
if [ -n "$sample" ]; then
  for arg in "$@"; do
    case "$arg" in
      sample-a) sample=a ;;
      sample-a-https) sample=a-https ;;
      sample-b) sample=b ;;
      sample-today) sample=today ;;
      --pack) pack=1 ;;
      --epub|--index) options+=("$arg") ;;
    esac
  done
fi

"$root/scripts/setup-debian.sh"
targets=(Skerrow)
[ "$pack" -eq 1 ] && targets+=(SkerrowZip)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSKERROW_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null

if [ -z "$sample" ]; then
  exec "$build/Skerrow" "$@"
fi

case "$sample" in
  a) url=http://mag-a.test/magazine/2007-05/ ;;
  a-https) url=https://mag-a.test/magazine/2007-05/ ;;
  b) url=http://mag-b.test/issues/2007/07/ ;;
  today) url=http://today.test/issues/2026-11/ ;;
esac
save="$root/out/sample-$sample-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$save"

# Over https the server answers the proxy's CONNECT with a certificate of a CA made for this copy, which
# Skerrow is told to trust (SSL_CERT_FILE); the CA goes with the script.
server_args=(--lifetime 600)
trust=()
certificates=""
if [ "$sample" = a-https ] || [ "$sample" = today ]; then
  certificates=$(mktemp -d)
  python3 "$root/tools/sample-magazine/sample_server.py" --make-certificates "$certificates" >/dev/null
  server_args+=(--tls-cert "$certificates/server.pem" --tls-key "$certificates/server.key")
  trust=(SSL_CERT_FILE="$certificates/ca.pem")
fi

# The sample magazine server prints "PORT n" once it accepts connections; it stops when this script ends
# (or by itself after ten minutes).
coproc SERVER { exec python3 "$root/tools/sample-magazine/sample_server.py" "${server_args[@]}"; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null || true; [ -z "$certificates" ] || rm -rf "$certificates"' EXIT
if ! read -r word port <&"${SERVER[0]}" || [ "$word" != PORT ]; then
  echo "run.sh: the sample magazine server did not start" >&2
  exit 1
fi

archiver=()
[ "$pack" -eq 1 ] && archiver=("$build/SkerrowZip")
# Skerrow ends with its own summary (where the issue went, what was saved and failed, where the errors were
# logged); its exit status says how the run went: 0 all saved, 1 some task or the packing failed, 2 the run
# could not start.
status=0
env http_proxy="http://127.0.0.1:$port" https_proxy="http://127.0.0.1:$port" no_proxy= NO_PROXY= "${trust[@]}" \
  "$build/Skerrow" "${options[@]}" "$url" "$save" "${archiver[@]}" || status=$?

shopt -s nullglob
archives=("$save"/*.zip)
issues=("$save"/*/)
echo
if [ ${#archives[@]} -gt 0 ]; then
  echo "Unpack it (unzip -d DIR ${archives[0]}) and open the contents page, the file ending in _00.htm."
elif [ ${#issues[@]} -gt 0 ]; then
  issue=${issues[0]%/}
  echo "Open its contents page: $issue/$(basename "$issue")_00.htm"
else
  rmdir "$save" 2>/dev/null || true
fi
books=("$save"/*.epub)
if [ ${#books[@]} -gt 0 ]; then
  echo "Its book: ${books[0]} (check it: java -jar /usr/share/java/epubcheck.jar ${books[0]})"
fi
[ -f "$save/index.htm" ] && echo "The page of saved issues: $save/index.htm"
exit "$status"

#!/usr/bin/env bash
# The browser console's page in headless Chromium against 30 simulated recorders in a private
# namespace (page_test.mjs drives it); here the simulator's side is checked: the 20 ticked
# recorders hold the uploaded picture, MD5 for MD5.
set -uo pipefail
. "$(dirname "$0")/lab.sh"
need_lab
chromium=${CHROMIUM:-/usr/bin/chromium}
modules=${DRAVLIN_NODE_MODULES:-${DRAVLIN_NODE_PREFIX:-$HOME/.cache/dravlin-node}/node_modules}
[ -x "$chromium" ] || skip "Chromium is not installed at $chromium (scripts/setup-deps installs Debian's)"
command -v node >/dev/null || skip "node is not installed (scripts/setup-deps installs it)"
[ -d "$modules/playwright-core" ] || skip "playwright-core is not in $modules (scripts/setup-deps installs it)"
command -v python3 >/dev/null || skip "python3 is not installed (scripts/setup-deps installs it)"

# DRAVLIN_WEB_SIM_ARGS: more for the simulator (scripts/screenshot --browser slows the reading).
# shellcheck disable=SC2086
start_lab 30 --link-fault refuse-login:20 --link-fault reject-verdict:21 ${DRAVLIN_WEB_SIM_ARGS:-}
picture=${DRAVLIN_WEB_PICTURE:-$DRAVLIN_SOURCE_DIR/imaging/resources/factory_boot.jpg}
head -c 3000 /dev/urandom >"$work/bad.jpg"
bad_message=$("$DRAVLINCTL" check-picture "$work/bad.jpg" 2>&1 >/dev/null | sed "s|^$work/bad.jpg: ||")
head -c 200000 /dev/urandom >"$work/firmware.bin"

# Chromium runs inside the namespace too: the page's 127.0.0.1 is the server's.
in_lab env HOME="$work" DRAVLIN_NODE_MODULES="$modules" CHROMIUM="$chromium" \
  node "$(dirname "$0")/page_test.mjs" "$base/#token=$token" "$picture" "$work/bad.jpg" "$bad_message" \
  "$work/firmware.bin" >"$work/page.out" 2>"$work/page.err" || fail "the page: $(cat "$work/page.err")"

md5=$(md5sum <"$picture" | cut -d' ' -f1)
got=$(sim_status | python3 -c "
import json, sys
d = json.load(sys.stdin)
for x in d['devices']:
    files = [f['md5'] for f in x['link']['files'].values() if f['name'].endswith('.jpg')]
    print(x['serial'], ','.join(files))")
want=$(for n in $(seq 1 30); do printf 'DRVSIM%06d %s\n' "$n" "$([ "$n" -le 20 ] && echo "$md5")"; done)
[ "$(sort <<<"$got")" = "$(sort <<<"$want")" ] || fail "the simulator's pictures:
$(diff <(sort <<<"$want") <(sort <<<"$got"))"
# The server ends in order, and clean under the sanitizers.
kill -TERM "$serve_pid"
wait "$serve_pid" || fail "serve ended with $?"
cat "$work/page.out"
echo "web page end to end: passed"

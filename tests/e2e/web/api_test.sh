#!/usr/bin/env bash
# dravlinctl serve's API end to end, driven with curl as a script would drive it, against
# simulated recorders in a private namespace: each safety rule refused (no token, a wrong one,
# a foreign Host or Origin, an oversized upload) with nothing started, then a whole refresh
# with an uploaded picture (MD5 compared at the simulator), a refused login, the CSV export,
# the history, and the upload folder removed at the end.
set -uo pipefail
. "$(dirname "$0")/lab.sh"
need_lab
command -v python3 >/dev/null || skip "python3 is not installed (scripts/setup-deps installs it)"

# Not on loopback: the token is needed there as anywhere.
listen=10.77.0.1
start_lab 3 --link-fault refuse-login:2

status_of() { tail -n1 <<<"$1"; }
body_of() { sed '$d' <<<"$1"; }
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)"; }

# ---- the guard ----
r=$(in_lab curl -s -w '\n%{http_code}' -X POST -d '{"on":true}' "$base/api/search")
[ "$(status_of "$r")" = 401 ] || fail "a search without the token: $r"
r=$(in_lab curl -s -w '\n%{http_code}' -X POST -H "Authorization: Bearer ${token}x" \
      -d '{"kind":"reboot","serials":["DRVSIM000001"]}' "$base/api/jobs")
[ "$(status_of "$r")" = 401 ] || fail "a job with a wrong token: $r"
r=$(in_lab curl -s -w '\n%{http_code}' -X POST -H "Authorization: Bearer $token" -H "Host: evil.example:$port" \
      -d '{"on":true}' "$base/api/search")
[ "$(status_of "$r")" = 403 ] || fail "a foreign Host: $r"
r=$(in_lab curl -s -w '\n%{http_code}' -X POST -H "Authorization: Bearer $token" -H "Origin: http://evil.example" \
      -d '{"on":true}' "$base/api/clock")
[ "$(status_of "$r")" = 403 ] || fail "a foreign Origin: $r"
r=$(in_lab curl -s -w '\n%{http_code}' "$base/")
[ "$(status_of "$r")" = 200 ] || fail "the page needs no token: $r"
# Nothing was started by any of them: no search went out, the clock is off.
r=$(api GET /api/state)
[ "$(body_of "$r" | json 'd["searching"] or d["clock"]')" = False ] || fail "something started: $r"
[ "$(sim_status | json 'len(d["datagrams"])')" = 0 ] || fail "the simulator got datagrams: $(sim_status | head -c 400)"
head -c 300000 /dev/zero >"$work/big.jpg"
r=$(api POST '/api/uploads/boot?name=big.jpg' --data-binary @"$work/big.jpg")
[ "$(status_of "$r")" = 413 ] || fail "an oversized picture: $r"
grep -q 240 <<<"$r" || fail "the size message names the limit: $r"

# ---- a picture that fails its check says what check-picture says ----
head -c 2000 /dev/urandom >"$work/bad.jpg"
r=$(api POST '/api/uploads/boot?name=bad.jpg' --data-binary @"$work/bad.jpg")
[ "$(status_of "$r")" = 422 ] || fail "a picture that is no JPEG: $r"
want=$("$DRAVLINCTL" check-picture "$work/bad.jpg" 2>&1 >/dev/null | sed "s|^$work/bad.jpg: ||")
[ "$(body_of "$r" | json 'd["message"]')" = "$want" ] || fail "the message is not check-picture's ($want): $r"

# ---- a whole refresh ----
r=$(api POST /api/search -d '{"on":true}')
[ "$(status_of "$r")" = 200 ] || fail "search: $r"
listed() { [ "$(api GET /api/devices | sed '$d' | json 'len(d)')" = 3 ]; }
wait_for 60 listed || fail "the 3 recorders were not listed: $(api GET /api/devices)"
r=$(api POST /api/search -d '{"on":false}')
[ "$(body_of "$r" | json 'd["searching"]')" = False ] || fail "search off: $r"
r=$(api POST '/api/uploads/boot?name=boot.jpg' --data-binary @"$DRAVLIN_SOURCE_DIR/imaging/resources/factory_boot.jpg")
[ "$(status_of "$r")" = 201 ] || fail "the boot picture: $r"
id=$(body_of "$r" | json 'd["id"]')
md5=$(md5sum <"$DRAVLIN_SOURCE_DIR/imaging/resources/factory_boot.jpg" | cut -d' ' -f1)
[ "$(body_of "$r" | json 'd["md5"]')" = "$md5" ] || fail "the upload's MD5: $r"
r=$(api POST /api/jobs -d '{"kind":"refresh","serials":["DRVSIM000001","DRVSIM000002"],"boot":"nope"}')
[ "$(status_of "$r")" = 400 ] || fail "an unknown upload: $r"
r=$(api POST /api/jobs -d '{"kind":"refresh","serials":["DRVSIM000001","DRVSIM000002","DRVSIM000003"],"boot":"'"$id"'"}')
[ "$(status_of "$r")" = 202 ] || fail "the refresh: $r"
idle() { [ "$(api GET /api/state | sed '$d' | json 'd["busy"]')" = 0 ]; }
wait_for 120 idle || fail "the refresh did not end: $(api GET /api/devices)"
rows=$(api GET /api/devices | sed '$d')
for s in DRVSIM000001 DRVSIM000002; do
  [ "$(json "[r['status'] for r in d if r['serial']=='$s'][0]" <<<"$rows")" = "设置成功,正在重启,请稍后..." ] ||
    fail "$s's row: $rows"
done
[ "$(json "[r['status'] for r in d if r['serial']=='DRVSIM000003'][0]" <<<"$rows")" = "NVR 登录失败" ] ||
  fail "the refusing recorder's row: $rows"
got=$(sim_status | json "sorted(f['md5'] for x in d['devices'] for f in x['link']['files'].values())")
[ "$got" = "['$md5', '$md5']" ] || fail "the simulator's pictures: $got"

# ---- a job given up: its row says so, and the recorder takes the next one ----
sim_command "fault DRVSIM000001 silent-after-login on" >/dev/null
r=$(api POST /api/jobs -d '{"kind":"reboot","serials":["DRVSIM000001"]}')
[ "$(status_of "$r")" = 202 ] || fail "the reboot: $r"
row() { api GET /api/devices | sed '$d' | json "[r['$2'] for r in d if r['serial']=='$1'][0]"; }
r=$(api POST /api/jobs -d '{"kind":"reboot","serials":["DRVSIM000001"]}')
[ "$(status_of "$r")" = 409 ] || fail "a second job on a busy recorder: $r"
logged_in() { [ "$(row DRVSIM000001 status)" = "上传配置成功" ]; }
wait_for 60 logged_in || fail "the reboot was not sent: $(row DRVSIM000001 status)"
r=$(api POST /api/jobs/cancel -d '{}')
[ "$(body_of "$r" | json 'd["cancelled"]')" = 1 ] || fail "the cancel: $r"
[ "$(row DRVSIM000001 result)" = cancelled ] || fail "the cancelled row: $(api GET /api/devices)"
sim_command "fault DRVSIM000001 silent-after-login off" >/dev/null
r=$(api POST /api/jobs -d '{"kind":"reboot","serials":["DRVSIM000001"]}')
[ "$(status_of "$r")" = 202 ] || fail "the reboot after the cancel: $r"
rebooted() { [ "$(row DRVSIM000001 state)" = ok ]; }
wait_for 60 rebooted || fail "the reboot after the cancel: $(api GET /api/devices)"

# ---- the clock broadcast, on and off ----
r=$(api POST /api/clock -d '{"on":true}')
[ "$(body_of "$r" | json 'd["clock"]')" = True ] || fail "clock on: $r"
clocked() { [ "$(sim_status | json 'len([g for g in d["datagrams"] if g["code"] == 101])')" -ge 2 ]; }
wait_for 30 clocked || fail "no clock datagram reached the simulator"
r=$(api POST /api/clock -d '{"on":false}')
[ "$(body_of "$r" | json 'd["clock"]')" = False ] || fail "clock off: $r"

# ---- the CSV, the history ----
csv=$(api GET /api/devices.csv | sed '$d')
[ "$(grep -c DRVSIM <<<"$csv")" = 3 ] || fail "the CSV export: $csv"
grep -q 'NVR 登录失败' <<<"$csv" || fail "the CSV has the rows' texts: $csv"
hist=$(api GET /api/history | sed '$d')
[ "$(json "sorted((r['serial'], r['result']) for r in d if r['front']=='browser')" <<<"$hist")" = \
  "[('DRVSIM000001', 'cancelled'), ('DRVSIM000001', 'ok'), ('DRVSIM000001', 'ok'), ('DRVSIM000002', 'ok'), ('DRVSIM000003', 'login refused')]" ] ||
  fail "the history: $hist"
# The upload's own name, not the server's temporary path, with the bytes' MD5.
[ "$(json "sorted({(f['name'], f['md5']) for r in d if r['front']=='browser' and r['ok'] for f in r['files'] if f['kind']=='boot'})" <<<"$hist")" = \
  "[('boot.jpg', '$md5')]" ] || fail "the history's file names: $hist"

# ---- the end: the upload folder goes ----
kill -TERM "$serve_pid"
wait "$serve_pid" || fail "serve ended with $?"
[ -z "$(ls -A "$work/tmp")" ] || fail "left behind: $(ls -R "$work/tmp")"
echo "web API end to end: passed"

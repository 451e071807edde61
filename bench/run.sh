#!/usr/bin/env bash
# Runs the benchmarks side by side with standard tools and prints one table with the ratios:
#   1. one whole renewal attempt (both exchanges, signing, import) on 127.0.0.1, in-process on
#      the real services, against curl + openssl cms + pk12util doing the same work;
#   2. start-up to the main dialog drawn, against a minimal Qt dialog program (offscreen);
#   3. the picker's filtered listing over 10,000 certificates, against certutil -L;
#   4. the peak memory of each of them.
# Builds into build/bench (RelWithDebInfo); the PKI and the databases are made once and kept
# in build/bench/data. Timings are medians of ROUNDS rounds, the programs alternating round by
# round so that a change of machine load falls on both sides.
#
#   bench/run.sh [ROUNDS]        (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-15}
build=build/bench
data=$PWD/$build/data
picker_count=10000
password='Renew-2024!'
password_form='Renew-2024%21'  # the same, as the form carries it

scratch=$(mktemp -d)
server_pid=
cleanup() {
    exec 7>&- 2>/dev/null || true
    if [ -n "$server_pid" ]; then
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

echo "== building ($build)" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build "$build" --parallel 2 --target renewal-server attempt_bench startup_bench \
    startup_tessaly minimal_dialog make_picker_certs picker_bench >/dev/null
server_program=$PWD/$build/tools/renewal-server/renewal-server
bench_dir=$PWD/$build/bench
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset XDG_DATA_HOME https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY

now_us() { echo $(($(date +%s%N) / 1000)); }  # microseconds, CLOCK_REALTIME
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
value() { awk -v key="$1" '$1 == key { print $2 }'; }  # "name value" lines in, the value out

# --- data, made once ------------------------------------------------------------------------
pki=$data/pki
seeded=$data/seeded-home
if [ ! -f "$pki/expired-user.p12" ]; then
    echo "== making the renewal PKI" >&2
    rm -rf "$pki" "$seeded"
    "$server_program" make-pki "$pki" >/dev/null
fi
if [ ! -d "$seeded" ]; then
    mkdir -p "$seeded"
    "$server_program" seed-nss "$pki" "$seeded" >/dev/null
fi
seeded_db=$seeded/.local/share/pki/nssdb

picker_home=$data/picker-home-$picker_count
if [ ! -f "$picker_home/.pki/nssdb/cert9.db" ]; then
    echo "== making the picker's database of $picker_count certificates (once; about 15 minutes)" >&2
    # Made on tmpfs: certutil syncs the database after every certificate.
    work=$(mktemp -d /dev/shm/tessaly-picker.XXXXXX)
    "$bench_dir/make_picker_certs" "$work/certs" "$picker_count"
    mkdir -p "$work/home/.pki/nssdb"
    certutil -N -d "sql:$work/home/.pki/nssdb" --empty-password
    openssl pkcs12 -export -in "$work/certs/first.pem" -inkey "$work/certs/key.pem" \
        -name bench-user-00000 -passout pass:bench -out "$work/first.p12"
    pk12util -i "$work/first.p12" -d "sql:$work/home/.pki/nssdb" -W bench -K '' >/dev/null
    certutil -B -d "sql:$work/home/.pki/nssdb" -i "$work/certs/batch.txt"
    rm -rf "$picker_home"
    mkdir -p "$(dirname "$picker_home")"
    cp -r "$work/home" "$picker_home"
    rm -rf "$work"
fi
listed_by_certutil=$(certutil -L -d "sql:$picker_home/.pki/nssdb" | tail -n +5 | wc -l)
[ "$listed_by_certutil" -eq "$picker_count" ] ||
    { echo "the picker's database holds $listed_by_certutil certificates" >&2; exit 1; }

# --- the reference server for the pipeline (and for the client-only memory figure) -----------
mkfifo "$scratch/server-input"
"$server_program" serve "$pki" --port-file "$scratch/port" <"$scratch/server-input" \
    >"$scratch/server.log" 2>&1 &
server_pid=$!
exec 7>"$scratch/server-input"  # the server serves until this closes
for _ in $(seq 100); do [ -s "$scratch/port" ] && break; sleep 0.1; done
port=$(tr -d '\n' <"$scratch/port")
url="https://127.0.0.1:$port/kivra/DownloadPkcs12GracePre.do"

# --- 1. the attempt as a pipeline of standard tools --------------------------------------------
sign() {  # challenge text in, base64 DER SignedData (SHA-256, no attributes) out
    "${measure[@]}" openssl cms -sign -binary -nodetach -noattr -md sha256 \
        -signer "$pki/expired-user.pem" -inkey "$pki/expired-user-key.pem" -outform DER |
        base64 -w0
}
# curl needs the second request's length before the challenge exists: the form is padded with
# an extra field to the longest it can be (every base64 character escaped). The expired
# certificate's key is RSA, so the signature's length is fixed.
measure=()
signature_length=$(printf 0123456789ABCDEF0123456789ABCDEF | sign | wc -c)
form_prefix="passwd=$password_form&sendFile="
form_length=$((${#form_prefix} + 3 * signature_length + 5))

pipeline_attempt() {  # HOME to import into; uses $measure as a prefix for every tool
    local home=$1 answer challenge signature form
    rm -f "$scratch/answer" "$scratch/package.p12" "$scratch/headers"
    mkfifo "$scratch/answer"
    {
        answer=$(cat "$scratch/answer")
        challenge=${answer#0:}
        signature=$(printf %s "$challenge" | sign)
        signature=${signature//+/%2B}
        signature=${signature//\//%2F}
        signature=${signature//=/%3D}
        form="$form_prefix$signature"
        printf '%s&pad=%*s' "$form" $((form_length - ${#form} - 5)) ''
    } | "${measure[@]}" curl -sS --cacert "$pki/tls-root.pem" \
        -H 'Content-Type: application/x-www-form-urlencoded' -d '' -o "$scratch/answer" "$url" \
        --next -sS --cacert "$pki/tls-root.pem" -X POST \
        -H 'Content-Type: application/x-www-form-urlencoded' -H "Content-Length: $form_length" \
        -H 'Transfer-Encoding:' -H 'Expect:' -T - -D "$scratch/headers" \
        -o "$scratch/package.p12" "$url"
    grep -qi '^content-type: application/x-pkcs12' "$scratch/headers" ||
        { echo "pipeline: no package: $(cat "$scratch/headers")" >&2; return 1; }
    "${measure[@]}" pk12util -i "$scratch/package.p12" -d "sql:$home/.local/share/pki/nssdb" \
        -W "$password" -K '' >/dev/null
}

echo "== 1. whole attempt, $rounds rounds" >&2
: >"$scratch/attempt-inprocess"
: >"$scratch/attempt-client"
: >"$scratch/attempt-pipeline"
for _ in $(seq "$rounds"); do
    "$bench_dir/attempt_bench" "$pki" "$seeded" "$scratch/home" 1 |
        value attempt_ms_median >>"$scratch/attempt-inprocess"
    "$bench_dir/attempt_bench" "$pki" "$seeded" "$scratch/home" 1 "$port" |
        value attempt_ms_median >>"$scratch/attempt-client"
    rm -rf "$scratch/home"
    cp -r "$seeded" "$scratch/home"
    start=$(now_us)
    pipeline_attempt "$scratch/home"
    end=$(now_us)
    echo "$(((end - start) / 1000)).$(((end - start) % 1000 / 100))" >>"$scratch/attempt-pipeline"
done
# The pipeline's renewed certificate is in the database, with its key.
[ "$(certutil -K -d "sql:$scratch/home/.local/share/pki/nssdb" | grep -c '^<')" -eq 2 ] ||
    { echo "pipeline: the renewed key was not imported" >&2; exit 1; }
attempt_inprocess=$(median <"$scratch/attempt-inprocess")
attempt_client=$(median <"$scratch/attempt-client")
attempt_pipeline=$(median <"$scratch/attempt-pipeline")

echo "== 2. start-up to the dialog drawn, $rounds rounds" >&2
mkdir -p "$scratch/startup-home"
# The database exists from the first start on; Qt's notes about the offscreen platform go to a
# log that is shown only on failure.
HOME=$scratch/startup-home "$bench_dir/startup_tessaly" >/dev/null 2>"$scratch/startup.log"
HOME=$scratch/startup-home "$bench_dir/startup_bench" "$rounds" \
    "tessaly=$bench_dir/startup_tessaly" "minimal=$bench_dir/minimal_dialog" \
    >"$scratch/startup" 2>>"$scratch/startup.log" || { cat "$scratch/startup.log" >&2; exit 1; }
startup_tessaly=$(value tessaly_shown_ms <"$scratch/startup")
startup_minimal=$(value minimal_shown_ms <"$scratch/startup")
exit_tessaly=$(value tessaly_exit_ms <"$scratch/startup")
exit_minimal=$(value minimal_exit_ms <"$scratch/startup")

echo "== 3. listing $picker_count certificates, $rounds rounds" >&2
# NSS lists a database of this size in about a minute (its cost grows faster than the count),
# so the listing gets fewer rounds: PICKER_ROUNDS, default 2.
picker_rounds=${PICKER_ROUNDS:-2}
"$bench_dir/picker_bench" "$picker_home" "$picker_rounds" >"$scratch/picker"
: >"$scratch/certutil"
for _ in $(seq "$picker_rounds"); do
    start=$(now_us)
    certutil -L -d "sql:$picker_home/.pki/nssdb" >/dev/null
    end=$(now_us)
    echo "$(((end - start) / 1000)).$(((end - start) % 1000 / 100))" >>"$scratch/certutil"
done
picker_open=$(value picker_open_ms <"$scratch/picker")
picker_warm=$(value picker_ms <"$scratch/picker")
picker_listed=$(value listed <"$scratch/picker" | cut -d. -f1)
certutil_list=$(median <"$scratch/certutil")

echo "== 4. peak memory" >&2
rss_attempt=$("$bench_dir/attempt_bench" "$pki" "$seeded" "$scratch/home" 1 "$port" | value maxrss_kb)
rm -rf "$scratch/home"
cp -r "$seeded" "$scratch/home"
: >"$scratch/rss"
measure=(/usr/bin/time -a -o "$scratch/rss" -f %M)
pipeline_attempt "$scratch/home"
measure=()
rss_pipeline_max=$(sort -g "$scratch/rss" | tail -1)
rss_pipeline_sum=$(awk '{ s += $1 } END { print s }' "$scratch/rss")
rss_startup_tessaly=$(value tessaly_maxrss_kb <"$scratch/startup")
rss_startup_minimal=$(value minimal_maxrss_kb <"$scratch/startup")
rss_picker=$(value maxrss_kb <"$scratch/picker")
rss_certutil=$( (/usr/bin/time -f %M certutil -L -d "sql:$picker_home/.pki/nssdb" >/dev/null) 2>&1 | tail -1)

exec 7>&-
wait "$server_pid"
server_pid=
server_summary=$(tail -1 "$scratch/server.log")

# --- the table ---------------------------------------------------------------------------------
row() {  # what, tessaly, reference, unit, reference's name
    awk -v what="$1" -v a="$2" -v b="$3" -v unit="$4" -v ref="$5" 'BEGIN {
        printf "| %-48s | %10.1f %-3s | %10.1f %-3s | %-30s | %6.2f |\n", what, a, unit, b, unit, ref, a / b }'
}
kb_to_mb() { awk -v kb="$1" 'BEGIN { print kb / 1024 }'; }
echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
    "load average at the end $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds"
echo "Server: $server_summary (the pipeline's and the client-only attempts)"
echo
printf '| %-48s | %14s | %14s | %-30s | %6s |\n' "measure (median)" "Tessaly" "reference" "reference is" "ratio"
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..50})" "$(printf -- '-%.0s' {1..16})" \
    "$(printf -- '-%.0s' {1..16})" "$(printf -- '-%.0s' {1..32})" "$(printf -- '-%.0s' {1..8})"
row "1. attempt, in-process server" "$attempt_inprocess" "$attempt_pipeline" ms "curl --next, openssl, pk12util"
row "1. attempt, server in its own process" "$attempt_client" "$attempt_pipeline" ms "curl --next, openssl, pk12util"
row "2. start to main dialog drawn" "$startup_tessaly" "$startup_minimal" ms "minimal Qt dialog"
row "2. start to exit after the dialog" "$exit_tessaly" "$exit_minimal" ms "minimal Qt dialog"
row "3. picker lists $picker_listed of $picker_count, NSS opened" "$picker_open" "$certutil_list" ms "certutil -L"
row "3. picker listing, database already open" "$picker_warm" "$certutil_list" ms "certutil -L"
row "4. peak RSS, attempt (client only)" "$(kb_to_mb "$rss_attempt")" "$(kb_to_mb "$rss_pipeline_max")" MiB "largest tool of the pipeline"
row "4. peak RSS, attempt (client only)" "$(kb_to_mb "$rss_attempt")" "$(kb_to_mb "$rss_pipeline_sum")" MiB "sum of the pipeline's tools"
row "4. peak RSS, start-up to the dialog" "$(kb_to_mb "$rss_startup_tessaly")" "$(kb_to_mb "$rss_startup_minimal")" MiB "minimal Qt dialog"
row "4. peak RSS, picker over $picker_count" "$(kb_to_mb "$rss_picker")" "$(kb_to_mb "$rss_certutil")" MiB "certutil -L"

#!/bin/sh
# The program built with ThreadSanitizer, run as a user would: a build at
# two threads, an extraction through an extract command, a --check, the
# parallel decoder on a whole and on a damaged archive, and an extraction
# that a signal ends while the writer thread is busy.  Any report
# of the sanitizer fails the run.  Argument: the program built with
# -fsanitize=thread.  (Only the program's own runs: the sanitizer's limits
# with fork and signals in one process keep the unit tests out.)
set -eu
kapsa=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d /tmp/kapsa-tsan.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "tsan run: $*" >&2; cat "$work"/*.err >&2 2>/dev/null; exit 1; }
cd "$work"
export TSAN_OPTIONS="halt_on_error=0 exitcode=66 report_signal_unsafe=0"

head -c 3000000 /dev/urandom > noise
{ cat noise; seq 1 3000000; } > data
truncate -s 400M big
"$kapsa" --threads=2 -f 'cat > out' data > a.run 2> build.err || fail "the build failed"
"$kapsa" --threads=2 -f 'cat > /dev/null' big > big.run 2>> build.err || fail "the big build failed"
chmod +x a.run big.run
./a.run 2> extract.err || fail "the extraction failed"
cmp out data || fail "the extraction wrote other bytes"
./a.run --check > check.out 2> check.err || fail "the check failed"
# The parallel decoder on its own: a member of several chunks decoded by the
# workers into a file, and a damaged copy that the serial reader takes over.
"$kapsa" data > plain.run 2>> build.err || fail "the plain build failed"
chmod +x plain.run
./plain.run -x > decoded 2> decode.err || fail "the parallel decode failed"
cmp decoded data || fail "the parallel decode wrote other bytes"
cp plain.run damaged.run
size=$(wc -c < damaged.run)
printf '\377\377\377\377' | dd of=damaged.run bs=1 seek=$((size - 200000)) conv=notrunc 2> /dev/null
./damaged.run -x > damaged.out 2> damaged.err && fail "the damaged archive decoded"
# One processor: the serial reader alone, whose bytes and words those are.
taskset -c 0 ./damaged.run -x > serial.out 2> serial.err || :
cmp damaged.out serial.out && cmp damaged.err serial.err ||
  fail "the damaged archive gave other bytes or words than the serial reader"
# Signalled while the writer thread writes into the extract command.
./big.run 2> signal.err &
pid=$!
sleep 1
kill -TERM $pid 2>/dev/null || true
wait $pid || true
if grep -l 'ThreadSanitizer' ./*.err > /dev/null 2>&1; then fail "ThreadSanitizer reported"; fi
echo "tsan run: ok"

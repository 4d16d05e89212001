#!/usr/bin/env bash
# imbrix-cli as GNU parallel's worker, with the README's commands: the list split
# over two processes (--pipe), and over ssh to this machine taken as two hosts
# (127.0.0.1 and 127.0.0.2, through an sshd of the test's own with a key made
# here), both as blocks of the list (--pipe) and as shards (--shard {}/2). Each
# time every file of the list is converted exactly once and none is lost, the
# records agree with the disk, and the failure is re-run from the record.
#
# Usage: many_machines_test.sh pipe|ssh|sshfs IMBRIX_CLI SOURCE_DIR
# Exit status 77: skipped, saying what is missing.
set -euo pipefail
mode=$1
cli=$(realpath "$2")
source_dir=$3
corpus=$source_dir/../shared/corpus
rows=$source_dir/tests/cli/record_rows.py

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

command -v parallel >/dev/null || skip "GNU parallel is not installed (Debian: parallel)"
work=$(mktemp -d)
sshd_pid=
port=
mounts=()
cleanup() {
  local mount
  for mount in "${mounts[@]}"; do
    fusermount3 -u "$mount" 2>/dev/null || umount "$mount" 2>/dev/null || true
  done
  if [[ -n $sshd_pid ]]; then
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# 40 pictures whose names hold blanks and start with a dash, in a folder with a
# blank, and one picture cut short (it fails until it is mended).
mkdir -p "$work/in/sub dir"
pictures=(basn0g08 basn2c08 basn3p08 basn6a08)
for i in $(seq 1 40); do
  cp "$corpus/pngsuite/${pictures[$((i % 4))]}.png" "$work/in/sub dir/-p $i.png"
done
head -c 1700 "$corpus/pngsuite/basn6a16.png" >"$work/in/cut.png"
find "$work/in" -type f -print0 | sort -z >"$work/list"

# verify RECORD OUT FAILED: the record is well-formed (Python's json reads every
# line), names every file of the list exactly once, FAILED of them failed and
# the others were converted, and OUT holds exactly the outputs it names.
verify() {
  python3 "$rows" "$1" >/dev/null || fail "$1 is not a well-formed record"
  python3 - "$work/list" "$1" "$2" "$3" <<'PY' || fail "$1 does not match the list and $2"
import json, os, sys
listed = open(sys.argv[1], "rb").read().split(b"\0")[:-1]
rows = [json.loads(line) for line in open(sys.argv[2], encoding="utf-8")]
out, failed = sys.argv[3], int(sys.argv[4])
sources = [row["source"].encode() for row in rows]
assert sorted(sources) == sorted(listed), "sources: %d rows for %d files" % (len(rows), len(listed))
assert len(set(sources)) == len(sources), "a file converted twice"
statuses = [row["status"] for row in rows]
assert statuses.count("failed") == failed, statuses
assert statuses.count("converted") == len(listed) - failed, statuses
written = sorted(row["output"] for row in rows if row["status"] == "converted")
on_disk = sorted(os.path.join(out, name) for name in os.listdir(out))
assert written == on_disk, (written[:3], on_disk[:3])
for row in rows:
    if row["status"] == "converted":
        assert os.path.getsize(row["output"]) == row["bytes_out"], row
print("%s: %d files, each once, %d failed" % (sys.argv[2], len(rows), failed))
PY
}

# rerun RECORD OUT: the failures of RECORD again, the record piped through
# parallel as the README shows; afterwards every file of the list is in OUT.
rerun() {
  cp "$corpus/pngsuite/basn6a16.png" "$work/in/cut.png"
  parallel --will-cite --pipe -j 2 "${@:3}" -q "$cli" --retry-failed - --json -j 1 -f webp \
    -d "$2" <"$1" >"$work/retry.jsonl" 2>"$work/retry.log" || fail "re-run: $(cat "$work/retry.log")"
  python3 "$rows" "$work/retry.jsonl" >/dev/null || fail "the re-run's record is not well-formed"
  python3 - "$work/retry.jsonl" "$work/in/cut.png" "$2" <<'PY' || fail "the re-run did not do the failure alone"
import json, os, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert [(r["source"], r["status"]) for r in rows] == [(sys.argv[2], "converted")], rows
assert len(os.listdir(sys.argv[3])) == 41
print("re-run: the failed file converted, 41 files in all")
PY
}

run_pipe() {
  local out=$work/out-pipe status=0
  # The README's local command: blocks of 7 paths, two processes at a time.
  parallel --will-cite --pipe --recend '\0' -N 7 -j 2 --joblog "$work/jobs" -q \
    "$cli" --null --files-from - --json -j 1 -f webp -d "$out" \
    <"$work/list" >"$work/record.jsonl" 2>"$work/log" || status=$?
  # parallel's status is the number of jobs that failed: the one with the cut file.
  [[ $status == 1 ]] || fail "parallel ended with $status, not 1: $(cat "$work/log")"
  local jobs
  jobs=$(tail -n +2 "$work/jobs" | wc -l)
  [[ $jobs == 6 ]] || fail "$jobs jobs for 41 paths in blocks of 7"
  verify "$work/record.jsonl" "$out" 1
  rerun "$work/record.jsonl" "$out"
}

# Starts an sshd of the test's own on the loopback, listening on 127.0.0.1 and
# 127.0.0.2 (two hosts for parallel), with its keys in the work folder; sets
# ssh_command to log in with them.
ssh_command=
start_sshd() {
  local sshd=/usr/sbin/sshd
  [[ -x $sshd ]] || skip "no sshd (Debian: openssh-server)"
  command -v ssh >/dev/null || skip "no ssh client (Debian: openssh-client)"
  [[ $(id -u) == 0 ]] || skip "sshd for the test needs root (it logs in as the user running it)"
  # sshd's privilege separation folder, as openssh-server's service makes it.
  if [[ ! -d /run/sshd ]]; then
    mkdir -m 0755 /run/sshd
  fi
  local keys=$work/ssh
  mkdir -m 0700 "$keys"
  ssh-keygen -q -t ed25519 -N '' -f "$keys/host" >/dev/null
  ssh-keygen -q -t ed25519 -N '' -f "$keys/id" >/dev/null
  cp "$keys/id.pub" "$keys/authorized_keys"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$keys/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
ListenAddress 127.0.0.2
HostKey $keys/host
PidFile $keys/sshd.pid
AuthorizedKeysFile $keys/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
Subsystem sftp internal-sftp
CONFIG
  /usr/sbin/sshd -D -e -f "$keys/sshd_config" 2>"$keys/sshd.log" &
  sshd_pid=$!
  ssh_command="ssh -F /dev/null -p $port -i $keys/id -o BatchMode=yes -o LogLevel=ERROR"
  ssh_command+=" -o StrictHostKeyChecking=no -o UserKnownHostsFile=$keys/known_hosts"
  for _ in $(seq 1 50); do
    if $ssh_command 127.0.0.2 true 2>/dev/null && $ssh_command 127.0.0.1 true 2>/dev/null; then
      return 0
    fi
    kill -0 "$sshd_pid" 2>/dev/null || skip "sshd did not start: $(cat "$keys/sshd.log")"
    sleep 0.2
  done
  skip "cannot log in over ssh on the loopback: $(cat "$keys/sshd.log")"
}

run_ssh() {
  start_sshd
  local hosts=(--ssh "$ssh_command" -S "1/127.0.0.1,1/127.0.0.2") host

  # Blocks of the list, each to one of the two hosts.
  local out=$work/out-ssh-pipe status=0
  parallel --will-cite "${hosts[@]}" --pipe --recend '\0' -N 14 --joblog "$work/jobs" -q \
    "$cli" --null --files-from - --json -j 1 -f webp -d "$out" \
    <"$work/list" >"$work/record.jsonl" 2>"$work/log" || status=$?
  [[ $status == 1 ]] || fail "parallel over ssh ended with $status, not 1: $(cat "$work/log")"
  for host in 127.0.0.1 127.0.0.2; do
    grep -q "$host" "$work/jobs" || fail "no job ran on $host: $(cat "$work/jobs")"
  done
  verify "$work/record.jsonl" "$out" 1

  # Shards: every host reads the whole list (a shared file system) and takes its share.
  head -c 1700 "$corpus/pngsuite/basn6a16.png" >"$work/in/cut.png"
  out=$work/out-ssh-shards
  status=0
  parallel --will-cite "${hosts[@]}" --joblog "$work/shard-jobs" -q \
    "$cli" --shard '{}/2' --null --files-from "$work/list" --json -j 1 -f webp -d "$out" \
    ::: 1 2 >"$work/shards.jsonl" 2>"$work/log" || status=$?
  [[ $status == 1 ]] || fail "the shards over ssh ended with $status, not 1: $(cat "$work/log")"
  if ! grep -q "Shard 1/2" "$work/log" || ! grep -q "Shard 2/2" "$work/log"; then
    fail "the shards did not say which they were: $(cat "$work/log")"
  fi
  for host in 127.0.0.1 127.0.0.2; do
    grep -q "$host" "$work/shard-jobs" || fail "no shard ran on $host"
  done
  verify "$work/shards.jsonl" "$out" 1
  rerun "$work/shards.jsonl" "$out" "${hosts[@]}"
}

# One folder shared over the network by two "machines" (two sshfs mounts of it,
# through 127.0.0.1 and 127.0.0.2), two workers on each writing files of the
# same names into it at once: the names are claimed on the server (sshfs has no
# rename without replace, so the link and exclusive-create ways are taken, as on
# NFS), and every file arrives under a name of its own.
run_sshfs() {
  command -v sshfs >/dev/null || skip "no sshfs (Debian: sshfs)"
  [[ -c /dev/fuse ]] || skip "no /dev/fuse: FUSE file systems cannot be mounted here"
  start_sshd
  local shared=$work/shared m w i
  mkdir -p "$shared/out"
  for m in 1 2; do
    mkdir "$work/m$m"
    sshfs -p "$port" -o "IdentityFile=$work/ssh/id,BatchMode=yes,StrictHostKeyChecking=no" \
      -o "UserKnownHostsFile=$work/ssh/known_hosts" "root@127.0.0.$m:$shared" "$work/m$m" ||
      skip "sshfs cannot mount here"
    mounts+=("$work/m$m")
  done
  local pids=()
  for w in 1 2 3 4; do
    m=$(((w + 1) / 2))
    mkdir -p "$work/w$w"
    for i in $(seq 1 12); do
      cp "$corpus/pngsuite/${pictures[$((w - 1))]}.png" "$work/w$w/p$i.png"
    done
    find "$work/w$w" -type f -print0 >"$work/list$w"
    "$cli" --null --files-from "$work/list$w" --json -j 2 -d "$work/m$m/out" \
      >"$work/record$w.jsonl" 2>"$work/log$w" &
    pids+=($!)
  done
  for w in 1 2 3 4; do
    wait "${pids[$((w - 1))]}" || fail "worker $w: $(cat "$work/log$w")"
    python3 "$rows" "$work/record$w.jsonl" >/dev/null || fail "record $w is not well-formed"
  done
  python3 - "$work" "$shared/out" <<'PY' || fail "the shared folder lost or mixed files"
import json, os, sys
work, shared = sys.argv[1], sys.argv[2]
names = set()
for w in range(1, 5):
    rows = [json.loads(line) for line in open(os.path.join(work, "record%d.jsonl" % w))]
    assert len(rows) == 12 and all(r["status"] == "converted" for r in rows), rows
    for row in rows:
        name = os.path.basename(row["output"])
        assert name not in names, name + " written by two workers"
        names.add(name)
        # On the server: whole, and the worker's own (its size).
        assert os.path.getsize(os.path.join(shared, name)) == row["bytes_out"], row
on_disk = set(os.listdir(shared))
assert on_disk == names, sorted(on_disk ^ names)
expected = {"p%d%s.png" % (i, "" if n == 1 else " (%d)" % n) for i in range(1, 13) for n in range(1, 5)}
assert names == expected, sorted(names ^ expected)
print("shared folder: 48 files from 4 workers on 2 mounts, each once, none overwritten")
PY
}

case $mode in
  pipe) run_pipe ;;
  ssh) run_ssh ;;
  sshfs) run_sshfs ;;
  *) fail "unknown mode $mode" ;;
esac
echo "PASSED: $mode"

#!/usr/bin/env bash
# The recipes of deploy/: linted where Debian has a linter (shellcheck for the
# Slurm script, yamllint for the manifest; none for the Dockerfile), and run on
# this machine as their schedulers would start them: the Slurm array script as
# four array tasks, then again with RETRY; the Kubernetes Job's command as its
# pods, one per completion index. Every file converted once, none lost, and
# the tree kept under the destination.
#
# Usage: deploy_test.sh IMBRIX_CLI SOURCE_DIR
set -euo pipefail
cli=$(realpath "$1")
source_dir=$2
corpus=$source_dir/../shared/corpus
deploy=$source_dir/deploy
rows=$source_dir/tests/cli/record_rows.py

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

shellcheck "$deploy/slurm/imbrix-array.sh" || fail "shellcheck: deploy/slurm/imbrix-array.sh"
yamllint -s -c "$deploy/.yamllint" "$deploy" || fail "yamllint: deploy/"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
ln -s "$cli" "$work/bin/imbrix-cli"
export PATH=$work/bin:$PATH

# An archive of 30 pictures in a tree, names with blanks, one cut short.
pictures=(basn0g08 basn2c08 basn3p08 basn6a08 basn4a08)
for i in $(seq 1 30); do
  mkdir -p "$work/data/archive/$((2018 + i % 3))/roll $((i % 4))"
  cp "$corpus/pngsuite/${pictures[$((i % 5))]}.png" \
    "$work/data/archive/$((2018 + i % 3))/roll $((i % 4))/img $i.png"
done
head -c 1700 "$corpus/pngsuite/basn6a16.png" >"$work/data/archive/cut.png"
find "$work/data/archive" -type f -print0 >"$work/data/list"

# check RECORD... DEST FAILED: the records name every listed file once, FAILED
# failed, and DEST holds the others' outputs in the archive's tree.
check() {
  local dest=${*: -2:1} failed=${*: -1}
  local record
  for record in "${@:1:$#-2}"; do
    python3 "$rows" "$record" >/dev/null || fail "$record is not a well-formed record"
  done
  python3 - "$work/data/list" "$work/data/archive" "$dest" "$failed" "${@:1:$#-2}" <<'PY' ||
import json, os, sys
listed = open(sys.argv[1], "rb").read().decode().split("\0")[:-1]
archive, dest, failed = sys.argv[2], sys.argv[3], int(sys.argv[4])
rows = [json.loads(line) for record in sys.argv[5:] for line in open(record, encoding="utf-8")]
sources = [row["source"] for row in rows]
assert sorted(sources) == sorted(listed), "%d rows for %d files" % (len(rows), len(listed))
assert [r["status"] for r in rows].count("failed") == failed, rows
for row in rows:
    if row["status"] == "converted":
        below = os.path.relpath(row["source"], archive)
        assert row["output"] == os.path.join(dest, os.path.splitext(below)[0] + ".webp"), row
written = sorted(os.path.join(d, f) for d, _, files in os.walk(dest) for f in files)
assert written == sorted(r["output"] for r in rows if r["status"] == "converted"), written
print("%d files in %d records, each once, %d failed" % (len(rows), len(sys.argv) - 5, failed))
PY
    fail "the records do not match the list and $dest"
}

# --- Slurm: four tasks of --array=0-3, as sbatch starts them -------------------
slurm_task() {
  local id=$1 shift_to=$2
  (
    cd "$work/slurm"
    env SLURM_ARRAY_TASK_ID="$id" SLURM_ARRAY_TASK_MIN=0 SLURM_ARRAY_TASK_COUNT=4 \
      SLURM_ARRAY_TASK_STEP=1 SLURM_CPUS_PER_TASK=2 SLURM_MEM_PER_NODE=2048 \
      BASE="$work/data/archive" DEST="$work/data/web-slurm" "${@:3}" \
      "$deploy/slurm/imbrix-array.sh" >"$work/slurm/task-$id-$shift_to.log" 2>&1
  )
}
mkdir -p "$work/slurm"
for id in 0 1 2 3; do
  # A task that met the cut file ends with status 1, as Slurm would see it.
  slurm_task "$id" first LIST="$work/data/list" || true
done
check "$work"/slurm/records/task-{0,1,2,3}.jsonl "$work/data/web-slurm" 1
cat "$work"/slurm/records/task-*.jsonl >"$work/slurm/record.jsonl"
cp "$corpus/pngsuite/basn6a16.png" "$work/data/archive/cut.png"
for id in 0 1 2 3; do
  slurm_task "$id" retry RETRY="$work/slurm/record.jsonl" ||
    fail "retry task $id: $(cat "$work/slurm/task-$id-retry.log")"
done
retried=$(cat "$work"/slurm/records/retry-task-*.jsonl)
python3 -c 'import json, sys; rows = [json.loads(l) for l in sys.stdin]; assert [r["status"] for r in rows] == ["converted"] and rows[0]["source"].endswith("/cut.png"), rows' <<<"$retried" ||
  fail "the Slurm re-run did not convert the failure alone: $retried"
echo "Slurm: 4 tasks, then the failure re-run"

# --- Kubernetes: the Job's pods, JOB_COMPLETION_INDEX 0 to completions - 1 ----
head -c 1700 "$corpus/pngsuite/basn6a16.png" >"$work/data/archive/cut.png"
python3 - "$deploy/kubernetes/imbrix-job.yaml" "$work/data" >"$work/pod.env" <<'PY'
import shlex, sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
spec = job["spec"]
assert job["kind"] == "Job" and spec["completionMode"] == "Indexed"
container = spec["template"]["spec"]["containers"][0]
env = {e["name"]: e["value"] for e in container["env"]}
assert int(env["IMBRIX_SHARD_COUNT"]) == spec["completions"], "IMBRIX_SHARD_COUNT is not completions"
assert container["command"] == ["/bin/sh", "-c"]
# The pod's command with the shared volume's folder on this machine.
script = container["args"][0].replace("/data", sys.argv[2])
print("completions=%d" % spec["completions"])
print("script=%s" % shlex.quote(script))
print("shards=%s" % env["IMBRIX_SHARD_COUNT"])
PY
# shellcheck disable=SC1091
source "$work/pod.env"
# shellcheck disable=SC2154
for ((index = 0; index < completions; ++index)); do
  env -u SLURM_ARRAY_TASK_ID JOB_COMPLETION_INDEX="$index" IMBRIX_SHARD_COUNT="$shards" \
    XDG_CONFIG_HOME="$work/scratch" /bin/sh -c "$script" 2>"$work/pod-$index.log" || true
  grep -q "Shard $((index + 1))/$shards (JOB_COMPLETION_INDEX=$index" "$work/pod-$index.log" ||
    fail "pod $index: $(cat "$work/pod-$index.log")"
done
check "$work"/data/records/shard-*.jsonl "$work/data/web" 1
echo "Kubernetes: $completions pods of the Indexed Job"
echo "PASSED"

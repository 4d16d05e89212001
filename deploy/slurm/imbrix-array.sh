#!/bin/bash
# A Slurm job array converting one list of files: each task takes its shard of
# the list (imbrix-cli --shard auto reads SLURM_ARRAY_TASK_ID, _MIN, _STEP and
# _COUNT) and writes its JSON record to records/task-<id>.jsonl.
#
#   find /archive -type f -print0 > /shared/list        # once, on any node
#   LIST=/shared/list BASE=/archive DEST=/shared/web sbatch deploy/slurm/imbrix-array.sh
#
# Afterwards (see the README, "Many machines"):
#   cat records/task-*.jsonl > record.jsonl             # every file's line
#   RETRY=record.jsonl BASE=/archive DEST=/shared/web sbatch deploy/slurm/imbrix-array.sh
# converts again, over the same array, only the files that failed.
#
# The list, the record, the sources and DEST must be on a file system every
# node sees at the same paths. The array's size is free: --array=0-99 or
# --array=1-100 (a range, with a step if need be; not a list such as 1,5,7).
#
#SBATCH --job-name=imbrix
#SBATCH --array=0-31%16
#SBATCH --cpus-per-task=4
#SBATCH --mem=8G
#SBATCH --time=12:00:00
#SBATCH --output=imbrix-%A_%a.log
set -euo pipefail

base=${BASE:?set BASE to the folder the listed files are under (their tree is kept under DEST)}
dest=${DEST:?set DEST to the destination folder (on a shared file system)}
records=${RECORDS:-records}
mkdir -p "$records"

if [[ -n ${RETRY:-} ]]; then
  source_flags=(--retry-failed "$RETRY")
  record=$records/retry-task-$SLURM_ARRAY_TASK_ID.jsonl
else
  source_flags=(--null --files-from "${LIST:?set LIST to a NUL-separated list of files (find -print0)}")
  record=$records/task-$SLURM_ARRAY_TASK_ID.jsonl
fi

# --skip-existing: a task started again (requeued, or the whole array re-run)
# converts only what is missing; the memory is the task's share of --mem.
exec imbrix-cli --shard auto "${source_flags[@]}" --json --skip-existing \
  --jobs "${SLURM_CPUS_PER_TASK:-1}" --memory "$((${SLURM_MEM_PER_NODE:-4096} / 2))M" \
  --format webp --quality 80 --keep-tree --base "$base" --dest "$dest" >"$record"

#!/usr/bin/env bash
# Times partwise-cli against coreutils on the same data: a 1 GiB file of
# random bytes split into 100 MiB pieces and joined back (also from a pipe,
# against split -, and to standard output, against cat), and folders of
# 20,000 and 10,000 small files split likewise. The 1 GiB file is also split
# and joined by 7z (stored, 100 MiB volumes) when p7zip-full is installed.
# partwise-cli's figures include writing the checksum file and, in the join,
# hashing every chunk against it. By default partwise-cli waits until its
# output is on the disk, so it is timed against coreutils followed by sync,
# and with --no-sync against coreutils alone. Each command runs RUNS times (9),
# alternating with its rival; prints medians, the ratio partwise/coreutils and
# partwise-cli's peak resident memory. Needs about 3 GiB free in BENCH_DIR
# (default /tmp; 5 GiB with the memory by chunk count); the data is removed
# at the end. Then a folder of 100,000 files is split and joined once, for
# partwise-cli's peak memory alone. Last,
# a 5 GiB sparse disk image with three small islands of data is split into
# 3 GiB and into 100 MiB chunks and joined back: times, the disk space the
# chunk set and the output occupy (du), and whether the output is identical.
# The row "102,400 chunks of 1 KiB" cuts a 100 MiB file with -s 1K (against
# split -b 1K -a 6), lists the set and joins it (against cat of coreutils'
# pieces), CHUNK_RUNS times (3). Memory by chunk count: files of 10,240,
# 102,400 and 1,024,000 times 16 bytes are split with -s 16 (the largest
# with --many-chunks, which more than 1,000,000 chunks need), listed and
# joined once each, for partwise-cli's times and peak memory (the largest
# set takes about 4 GiB of disk, one block a chunk). ROWS picks what runs:
# all (default), chunks (the 102,400-chunk row alone), scale (the memory by
# chunk count alone) or big (the 1 GiB rows alone). With all, and with
# ROWS=memory: the 1 GiB split and join again on a tmpfs (/dev/shm, about
# 3 GiB of memory), where no disk's write-back blurs the copy, and, as root
# with xfsprogs and loop mounts, a 2 GiB file split on a reflink XFS image.
# Recovery files (all, and ROWS=recovery alone): the 1 GiB file in 10 chunks
# split with -r 1 and -r 2 against a split without them and against
# `par2 create -r10` and `-r20` of the same file (par2 from Debian, once each:
# it takes minutes), and joins of the -r 2 set with one and two chunks
# deleted against a plain join, RECOVERY_RUNS times (3), partwise-cli with
# --no-sync since par2 flushes nothing; measure's sync runs before each command.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
PARTWISE_PACKAGES=(g++ cmake ninja-build libcli11-dev)  # no window, no tests
partwise_install_missing time xfsprogs par2

RUNS=${RUNS:-9}  # odd, for a median; this many because disks are noisy
CHUNK_RUNS=${CHUNK_RUNS:-3}
ROWS=${ROWS:-all}
case $ROWS in all | chunks | scale | big | memory | recovery) ;; *)
  echo "compare.sh: ROWS is all, chunks, scale, big, memory or recovery" >&2
  exit 1
  ;;
esac
SEVEN_ZIP=$(command -v 7z || true)
BENCH_DIR=${BENCH_DIR:-/tmp}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target partwise-cli >/dev/null
CLI=$PWD/build-bench/cli/partwise-cli

free_kib=$(df -Pk "$BENCH_DIR" | awk 'NR == 2 { print $4 }')
need_gib=3
[[ $ROWS != all && $ROWS != scale && $ROWS != recovery ]] || need_gib=5
[[ $ROWS != memory ]] || need_gib=0
if ((free_kib < need_gib * 1024 * 1024)); then
  echo "compare.sh: needs $need_gib GiB free in $BENCH_DIR (set BENCH_DIR to another place)" >&2
  exit 1
fi
DATA=$(mktemp -d "$BENCH_DIR/partwise-bench.XXXXXX")
trap 'rm -rf "$DATA"' EXIT
cd "$DATA"

echo "Creating the data in $DATA ..."
[[ $ROWS == chunks || $ROWS == scale || $ROWS == memory ]] || head -c 1G /dev/urandom >big.bin
[[ $ROWS != all ]] || for n in 20000 10000 100000; do
  mkdir "files$n"
  head -c $((n * 4096)) /dev/urandom | (cd "files$n" && split -b 4096 -a 5 - f_)
done

# measure NAME COMMAND...: runs COMMAND once, appending its wall time (ns)
# to NAME.ns and its peak resident memory (KiB) to NAME.kib. Writes from the
# previous run are flushed first so that they do not slow this one.
measure() {
  local name=$1 start end
  shift
  sync
  start=$(date +%s%N)
  /usr/bin/time -v -o time.txt "$@" >/dev/null
  end=$(date +%s%N)
  echo $((end - start)) >>"$name.ns"
  awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt >>"$name.kib"
}

median() { sort -n "$1" | sed -n "$(((${2:-$RUNS} + 1) / 2))p"; }
peak() { sort -n "$1" | tail -n 1; }

# Recovery files against par2 at the same redundancy, and the joins that
# rebuild chunks on the fly against a plain one.
if [[ $ROWS == all || $ROWS == recovery ]]; then
  RECOVERY_RUNS=${RECOVERY_RUNS:-3}
  for ((run = 1; run <= RECOVERY_RUNS; run++)); do
    echo "Recovery files: run $run of $RECOVERY_RUNS ..."
    for r in 0 1 2; do
      rm -rf "rec$r" && mkdir "rec$r"
      measure "rec_split$r" "$CLI" split big.bin -n 10 -r "$r" -q --no-sync -o "rec$r"
      [[ $r == 2 ]] || rm -rf "rec$r"
    done
    set=rec2/big_spt
    for lost in 0 1 2; do
      rm -rf join && mkdir join && mkdir -p aside
      for ((i = 0; i < lost; i++)); do mv "$set/big_$((3 + 4 * i)).spt" aside/; done
      measure "rec_join$lost" "$CLI" join "$set" -o join -q --no-sync
      cmp big.bin join/big.bin
      mv aside/* "$set/" 2>/dev/null || true
    done
    rm -rf rec2 join aside
  done
  for r in 10 20; do
    echo "par2 create -r$r (once) ..."
    rm -rf par && mkdir par && ln big.bin par/big.bin
    measure "par2_create$r" sh -c 'cd par && par2 create -q -q -r"$0" big.par2 big.bin' "$r"
    rm -rf par
  done
  echo
  printf '%-34s %10s %8s %14s\n' "1 GiB in 10 chunks" time ratio "peak memory"
  recovery_row() {  # LABEL NAME BASE RUNS
    awk -v label="$1" -v t="$(median "$2.ns" "$4")" -v b="$(median "$3.ns" "$4")" -v kib="$(peak "$2.kib")" \
      'BEGIN { printf "%-34s %8.3f s %8.2f %10.1f MiB\n", label, t / 1e9, t / b, kib / 1024 }'
  }
  recovery_row "split (ratio: to itself)" rec_split0 rec_split0 "$RECOVERY_RUNS"
  recovery_row "split -r 1 (to split)" rec_split1 rec_split0 "$RECOVERY_RUNS"
  recovery_row "split -r 2 (to split)" rec_split2 rec_split0 "$RECOVERY_RUNS"
  recovery_row "par2 create -r10 (to split -r 1)" par2_create10 rec_split1 1
  recovery_row "par2 create -r20 (to split -r 2)" par2_create20 rec_split2 1
  recovery_row "join (ratio: to itself)" rec_join0 rec_join0 "$RECOVERY_RUNS"
  recovery_row "join, 1 chunk deleted (to join)" rec_join1 rec_join0 "$RECOVERY_RUNS"
  recovery_row "join, 2 chunks deleted (to join)" rec_join2 rec_join0 "$RECOVERY_RUNS"
  echo "Targets: split -r 2 at most 1.5, par2 at least 20 times slower, a join rebuilding 2 chunks at most 2,"
  echo "peak memory under 64 MiB."
  [[ $ROWS != recovery ]] || exit 0
  rm -f rec_*.ns rec_*.kib par2_*.ns par2_*.kib
fi

# cat joins the very chunk files that partwise-cli joins, so that the data
# never takes more than three copies of the file.
parts=()
for ((i = 0; i < (1024 + 99) / 100; i++)); do parts+=("out/p/big_spt/big_$i.spt"); done
for ((run = 1; run <= RUNS; run++)); do
  [[ $ROWS != chunks && $ROWS != scale && $ROWS != memory && $ROWS != recovery ]] || break
  echo "Run $run of $RUNS ..."
  rm -rf out join && mkdir -p out/p out/c join
  # Flushed (the default) against coreutils and sync; --no-sync against coreutils alone.
  measure split_p "$CLI" split big.bin -s 100M -q -o out/p
  measure split_s sh -c 'split -b 100M big.bin out/c/big_ && sync'
  rm -r out/c out/p && mkdir out/c
  measure split_n "$CLI" split big.bin -s 100M -q -o out/p --no-sync
  measure split_c split -b 100M big.bin out/c/big_
  rm -r out/c
  measure join_p "$CLI" join out/p/big_spt -o join -q
  cmp big.bin join/big.bin
  rm join/big.bin
  measure join_s sh -c 'cat "$@" >join/big.bin && sync' cat "${parts[@]}"
  rm join/big.bin
  measure join_n "$CLI" join out/p/big_spt -o join -q --no-sync
  rm join/big.bin
  measure join_c sh -c 'cat "$@" >join/big.bin' cat "${parts[@]}"
  cmp big.bin join/big.bin
  # Through pipes, unflushed as the peers are: the split reads standard
  # input, the join writes standard output into a file; against the same
  # pipe into split, and cat.
  rm join/big.bin && mkdir -p out/s out/c
  measure pipe_split_p sh -c 'cat big.bin | "$0" split - --name big.bin -s 100M -q --no-sync -o out/s' "$CLI"
  measure pipe_split_c sh -c 'cat big.bin | split -b 100M - out/c/big_'
  rm -r out/s out/c
  measure pipe_join_p sh -c '"$0" join out/p/big_spt -o - -q --no-sync >join/big.bin' "$CLI"
  cmp big.bin join/big.bin
  rm join/big.bin
  measure pipe_join_c sh -c 'cat "$@" >join/big.bin' cat "${parts[@]}"
  if [[ -n $SEVEN_ZIP ]]; then
    rm -rf out/p join/big.bin && mkdir out/z
    measure split_z "$SEVEN_ZIP" a -mx0 -v100m out/z/big.7z big.bin
    measure join_z "$SEVEN_ZIP" x -y -ojoin out/z/big.7z.001
    cmp big.bin join/big.bin
  fi
  [[ $ROWS == all ]] || continue
  for n in 20000 10000; do
    rm -rf out && mkdir -p out/p out/c
    measure "files${n}_p" "$CLI" split "files$n" -s 100M -q -o out/p
    measure "files${n}_c" sh -c "tar cf - files$n | split -b 100M - out/c/files_"
  done
done
if [[ $ROWS == all ]]; then
  rm -rf out join && mkdir -p out join
  echo "Splitting and joining 100,000 files once ..."
  measure many_split "$CLI" split files100000 -s 100M -q -o out
  measure many_join "$CLI" join out/files100000_spt -q -o join
  diff -r files100000 join/files100000
  rm -rf out join
fi

# Many small chunks: cost per chunk rather than per byte. cat reads
# coreutils' own pieces, named in order by split -a 6.
if [[ $ROWS == all || $ROWS == chunks ]]; then
  head -c 100M /dev/urandom >small.bin
  for ((run = 1; run <= CHUNK_RUNS; run++)); do
    echo "102,400 chunks of 1 KiB: run $run of $CHUNK_RUNS ..."
    rm -rf out join && mkdir -p out/p out/c join
    measure chunks_split_p "$CLI" split small.bin -s 1K -q -o out/p
    measure chunks_split_s sh -c 'split -b 1K -a 6 small.bin out/c/small_ && sync'
    rm -r out/c out/p && mkdir out/c
    measure chunks_split_n "$CLI" split small.bin -s 1K -q -o out/p --no-sync
    measure chunks_split_c split -b 1K -a 6 small.bin out/c/small_
    measure chunks_list_p "$CLI" list out/p/small_spt
    measure chunks_join_p "$CLI" join out/p/small_spt -o join -q
    cmp small.bin join/small.bin
    rm join/small.bin
    measure chunks_join_s sh -c 'cd out/c && printf "%s\0" * | xargs -0 cat >../../join/small.bin && sync'
    rm join/small.bin
    measure chunks_join_n "$CLI" join out/p/small_spt -o join -q --no-sync
    rm join/small.bin
    measure chunks_join_c sh -c 'cd out/c && printf "%s\0" * | xargs -0 cat >../../join/small.bin'
    cmp small.bin join/small.bin
  done
  rm -rf out join small.bin
fi

# What a set costs in memory as its chunk count grows tenfold twice.
scale_rows=()
if [[ $ROWS == all || $ROWS == scale ]]; then
  for n in 10240 102400 1024000; do
    echo "$n chunks of 16 bytes: split, list and join once ..."
    rm -rf out join && mkdir -p out join
    head -c $((n * 16)) /dev/urandom >tiny.bin
    measure "scale${n}_split" "$CLI" split tiny.bin -s 16 --many-chunks -q -o out
    measure "scale${n}_list" "$CLI" list out/tiny_spt
    measure "scale${n}_join" "$CLI" join out/tiny_spt -q -o join
    cmp tiny.bin join/tiny.bin
    row="$n"
    for step in split list join; do
      row+=" $(cat "scale${n}_$step.ns") $(cat "scale${n}_$step.kib")"
    done
    scale_rows+=("$row")
    rm -rf out join tiny.bin
  done
fi

# In memory: the 1 GiB rows on a tmpfs, where each SEEK_HOLE walks the
# file's pages and the copy's own cost shows without a disk's write-back.
shm_rows=false
if [[ $ROWS == all || $ROWS == memory ]]; then
  SHM=$(mktemp -d /dev/shm/partwise-bench.XXXXXX)
  trap 'rm -rf "$DATA" "$SHM"' EXIT
  head -c 1G /dev/urandom >"$SHM/big.bin"
  for ((run = 1; run <= RUNS; run++)); do
    echo "On tmpfs: run $run of $RUNS ..."
    rm -rf "$SHM/out" "$SHM/join" && mkdir -p "$SHM/out/p" "$SHM/out/c" "$SHM/join"
    measure shm_split_p "$CLI" split "$SHM/big.bin" -s 100M -q -o "$SHM/out/p" --no-sync
    measure shm_split_c split -b 100M "$SHM/big.bin" "$SHM/out/c/big_"
    rm -r "$SHM/out/c"
    measure shm_join_p "$CLI" join "$SHM/out/p/big_spt" -o "$SHM/join" -q --no-sync
    rm "$SHM/join/big.bin"
    measure shm_join_c sh -c 'cat "$@" >"$0/join/big.bin"' "$SHM" "${parts[@]/#/$SHM/}"
    cmp "$SHM/big.bin" "$SHM/join/big.bin"
  done
  rm -rf "$SHM"
  shm_rows=true
fi

# Copy-on-write: on a reflink XFS image the kernel shares the chunks' extents
# with the source, and what is left of a split is reading the source to hash it.
reflink_row=""
if [[ $ROWS == all || $ROWS == memory ]]; then
  mkdir -p xfs
  if [[ $(id -u) == 0 ]] && truncate -s 5G xfs.img && mkfs.xfs -q -m reflink=1 xfs.img 2>/dev/null &&
    mount -o loop xfs.img xfs 2>/dev/null; then
    trap 'umount "$DATA/xfs" 2>/dev/null; rm -rf "$DATA" "${SHM:-}"' EXIT
    head -c 2G /dev/urandom >xfs/big.bin
    for ((run = 1; run <= RUNS; run++)); do
      rm -rf xfs/out && mkdir xfs/out
      measure reflink_split "$CLI" split xfs/big.bin -s 100M -q -o xfs/out
    done
    reflink_row="$(median reflink_split.ns) $(peak reflink_split.kib)"
    umount xfs
  else
    echo "Skipping the reflink XFS image: it needs root, mkfs.xfs and loop mounts"
  fi
  rm -f xfs.img
fi

sparse_rows=()
if [[ $ROWS == all ]]; then
  # A disk image: a boot sector, data just below 4 GiB and a tail; holes between.
  truncate -s 5G disk.img
  printf 'boot sector' | dd of=disk.img conv=notrunc status=none
  head -c 65536 /dev/urandom | dd of=disk.img bs=65536 seek=$((4 * 1024 ** 3 - 70000)) oflag=seek_bytes \
    conv=notrunc status=none
  head -c 4096 /dev/urandom | dd of=disk.img bs=4096 seek=$((5 * 1024 ** 3 - 4096)) oflag=seek_bytes \
    conv=notrunc status=none
  if (($(du -k disk.img | cut -f1) > 1024)); then
    echo "Skipping the sparse image: the file system in $BENCH_DIR keeps no holes"
  else
    for size in 3G 100M; do
      echo "Splitting and joining the sparse image into $size chunks ..."
      for ((run = 1; run <= RUNS; run++)); do
        rm -rf out join && mkdir out join
        measure "sparse${size}_split" "$CLI" split disk.img -s "$size" -q -o out
        measure "sparse${size}_join" "$CLI" join out/disk_spt -q -o join
      done
      same=identical
      cmp -s disk.img join/disk.img || same=DIFFERENT
      sparse_rows+=("$size $(du -sk out/disk_spt | cut -f1) $(du -k join/disk.img | cut -f1) $same")
    done
    rm -rf out join
  fi
fi


row() {  # LABEL NAME RUNS [OURS THEIRS], the suffixes of the two timings (p c)
  local ours=${4:-p} theirs=${5:-c}
  awk -v label="$1" -v p="$(median "$2_$ours.ns" "$3")" -v c="$(median "$2_$theirs.ns" "$3")" \
    -v kib="$(peak "$2_$ours.kib")" \
    'BEGIN { printf "%-24s %10.3f s %10.3f s %8.2f %12.1f MiB\n", label, p / 1e9, c / 1e9, p / c, kib / 1024 }'
}

echo
if ((${#scale_rows[@]} > 0)); then
  printf '%-24s %20s %20s %20s\n' "chunks of 16 bytes" split list join
  for row in "${scale_rows[@]}"; do
    read -r n sn sk ln lk jn jk <<<"$row"
    awk -v n="$n" -v sn="$sn" -v sk="$sk" -v ln="$ln" -v lk="$lk" -v jn="$jn" -v jk="$jk" \
      'BEGIN { printf "%24d %7.2f s %6.1f MiB %7.2f s %6.1f MiB %7.2f s %6.1f MiB\n",
               n, sn / 1e9, sk / 1024, ln / 1e9, lk / 1024, jn / 1e9, jk / 1024 }'
  done
  echo "Target: list and join under 16 MiB at 102,400 chunks and under 40 MiB at 1,024,000."
  [[ $ROWS != scale ]] || exit 0
  echo
fi
printf '%-24s %12s %12s %8s %16s\n' "" partwise coreutils ratio "partwise peak"
if [[ $ROWS == all || $ROWS == chunks ]]; then
  echo "102,400 chunks of 1 KiB:"
  row "  split -s 1K, + sync" chunks_split "$CHUNK_RUNS" p s
  row "  split --no-sync" chunks_split "$CHUNK_RUNS" n c
  row "  join, + sync" chunks_join "$CHUNK_RUNS" p s
  row "  join --no-sync" chunks_join "$CHUNK_RUNS" n c
  awk -v p="$(median chunks_list_p.ns "$CHUNK_RUNS")" -v kib="$(peak chunks_list_p.kib)" \
    'BEGIN { printf "%-24s %10.3f s %12s %8s %12.1f MiB\n", "  list", p / 1e9, "-", "-", kib / 1024 }'
  if [[ $ROWS == chunks ]]; then
    echo "Targets: split at most 1.00, join at most 1.10, list and join peak under 16 MiB."
    exit 0
  fi
fi
if [[ $ROWS == all || $ROWS == big ]]; then
  row "split 1 GiB, + sync" split "$RUNS" p s
  row "split 1 GiB --no-sync" split "$RUNS" n c
  row "join 1 GiB, + sync" join "$RUNS" p s
  row "join 1 GiB --no-sync" join "$RUNS" n c
  row "cat | split - --no-sync" pipe_split "$RUNS"
  row "join -o - >f --no-sync" pipe_join "$RUNS"
fi
for row in "split 20,000 files:files20000" "split 10,000 files:files10000"; do
  [[ $ROWS == all ]] || continue
  row "${row%%:*}" "${row#*:}" "$RUNS"
done
if $shm_rows; then
  row "split 1 GiB, tmpfs" shm_split "$RUNS"
  row "join 1 GiB, tmpfs" shm_join "$RUNS"
fi
if [[ -n $reflink_row ]]; then
  read -r ns kib <<<"$reflink_row"
  awk -v p="$ns" -v kib="$kib" \
    'BEGIN { printf "%-24s %10.3f s %12s %8s %12.1f MiB\n", "split 2 GiB, reflink XFS", p / 1e9, "-", "-", kib / 1024 }'
fi
[[ $ROWS != memory ]] || exit 0
if [[ -n $SEVEN_ZIP ]]; then
  echo
  printf '%-24s %12s %12s %8s\n' "" partwise 7z ratio
  for row in "split 1 GiB -v100m -mx0:split" "join 1 GiB (7z x):join"; do
    label=${row%%:*} name=${row#*:}
    awk -v label="$label" -v p="$(median "${name}_p.ns")" -v z="$(median "${name}_z.ns")" \
      'BEGIN { printf "%-24s %10.3f s %10.3f s %8.2f\n", label, p / 1e9, z / 1e9, p / z }'
  done
else
  echo "(no 7z: install p7zip-full for the comparison with 7z)"
fi
if [[ $ROWS == all ]]; then
  awk -v a="$(median files20000_p.ns)" -v b="$(median files10000_p.ns)" \
    'BEGIN { printf "\npartwise 20,000 / 10,000 files: %.2f\n", a / b }'
  awk -v s="$(peak many_split.kib)" -v j="$(peak many_join.kib)" \
    'BEGIN { printf "partwise peak for 100,000 files: split %.1f MiB, join %.1f MiB\n", s / 1024, j / 1024 }'
fi
if ((${#sparse_rows[@]} > 0)); then
  echo
  printf '%-24s %10s %10s %12s %12s %10s\n' "5 GiB sparse image" split join "set du" "output du" cmp
  for row in "${sparse_rows[@]}"; do
    read -r size set_kib out_kib same <<<"$row"
    awk -v label="-s $size" -v s="$(median "sparse${size}_split.ns")" -v j="$(median "sparse${size}_join.ns")" \
      -v set="$set_kib" -v out="$out_kib" -v same="$same" \
      'BEGIN { printf "%-24s %8.3f s %8.3f s %8d KiB %8d KiB %10s\n", label, s / 1e9, j / 1e9, set, out, same }'
  done
fi
echo "Targets: flushed 1 GiB rows at most 1.30 against coreutils and sync; --no-sync split at most 0.60,"
echo "join at most 1.05 (tmpfs: 0.60 and 1.10); cat | split - at most 1.00, join -o - >file at most 1.20;"
echo "other ratios at most 1.00, peak under 16 MiB, 20,000 / 10,000 at most 2.20;"
echo "the sparse image split and joined within a second each, set and output under 1% of 5 GiB (52,428 KiB)."

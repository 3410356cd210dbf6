#!/usr/bin/env bash
# Installs what is missing, builds with gcc and runs every test suite; builds
# again with clang under AddressSanitizer and UndefinedBehaviorSanitizer, the
# window included, and runs every suite there; runs the descriptor fuzzer for
# 30 seconds over its corpus; and runs the tests that start threads under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
partwise_install_missing
jobs=$(nproc)

partwise_build build
ctest --test-dir build --output-on-failure -j "$jobs"

partwise_build build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" ctest --test-dir build-asan --output-on-failure -j "$jobs"

# The fuzzer's own tree: coverage across the engine, no tests, no window. New
# inputs go to a scratch folder, so fuzz/corpus stays as its generator made it;
# a finding stops the run and fails the script.
partwise_configure build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DPARTWISE_FUZZ=ON -DBUILD_TESTING=OFF -DPARTWISE_UI=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
cmake --build build-fuzz --parallel "$jobs" --target descriptor_fuzz
rm -rf build-fuzz/found && mkdir build-fuzz/found
TMPDIR=/dev/shm build-fuzz/fuzz/descriptor_fuzz build-fuzz/found fuzz/corpus \
  -seed=1 -max_total_time=30 -artifact_prefix=build-fuzz/ -print_final_stats=1

# ThreadSanitizer over the engine's tests that start threads: the chunk check
# of large sets, the read-back hasher, the block split's hashing thread, the
# next chunk verified while join -o - sends one, cancelling, and the two
# threads that share the recovery code's stripes. clang 14's
# runtime cannot map its shadow memory under the kernel's full mmap
# randomisation, hence setarch -R.
tsan_tests=(cancel_test split_join_test every_byte_test faults_test stream_test recovery_test)
partwise_configure build-tsan -DCMAKE_CXX_COMPILER=clang++ -DPARTWISE_UI=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer"
cmake --build build-tsan --parallel "$jobs" --target "${tsan_tests[@]}"
tsan_names=$(IFS='|'; echo "${tsan_tests[*]}")
setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R "^($tsan_names)\$"

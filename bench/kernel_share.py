#!/usr/bin/env python3
"""Splits a profile into time in matrix products and kernels and time outside them.

    perf record -F 2000 -o prof.data build-bench/bench_FileTranscriptionBench \\
        --benchmark_filter=TenMinute
    perf script -i prof.data -G -F tid,ip,sym | bench/kernel_share.py

Each sample counts for the function it landed in. Kernels are the compute
routines of platform/ml (products, attention pieces, norms, conversions); the
rest is waiting (the pool, and the decoder's phase program claiming runs and
waiting at phase ends), the system (page faults, system calls, the
scheduler) and the other code (the pipeline's own serial work).

Threads most of whose samples are the benchmark's own set-up (writing the
random checkpoint it transcribes with) are left out of the second figure:
they run before the timed transcription, not during it.
"""
import argparse
import collections
import re
import signal
import sys

KERNELS = re.compile(
    r"tileOf|matvec|packA|packB|blockedGemm|expShiftSum|biasGelu|halfToFloat|floatToHalf|"
    r"halfBitsToFloat|floatToHalfBits|maxValue|layerNorm|axpy|transposeToHalf|Float16::Float16|"
    r"__logf|__expf|_FUN|dot|softmax|gelu|sgemm|conv",
    re.I)
# The pool, and the decoder's phase program (its lambdas claim runs and wait
# at phase ends; the products they run are kernels of their own).
WAITING = re.compile(
    r"PhaseBoard|TextDecoderModel::step( const)?::\{lambda|ComputePool::(workerLoop|run|drain|helpOnce)|"
    r"sched_yield|atomic_wait|syscall|futex")


def name_of(symbol):
    """The symbol without its template arguments and parameter lists: a
    lambda inside the decoder's step whose parameters name a product type is
    not a kernel."""
    out, depth = [], 0
    for ch in symbol:
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(ch)
    return "".join(out)


def category(address, symbol):
    if int(address, 16) >= 0xFFFFFFFF00000000:
        return "system"
    name = name_of(symbol)
    if WAITING.search(name):
        return "waiting"
    if KERNELS.search(name):
        return "kernels"
    return "other"


def samples(lines):
    """(tid, address, symbol) of each sample: `perf script -G -F tid,ip,sym`
    prints one line per sample, its first frame."""
    for line in lines:
        fields = line.split(None, 2)
        if len(fields) < 2 or not fields[0].isdigit():
            continue
        if not re.fullmatch(r"[0-9a-f]+", fields[1]):
            sys.exit("expected one line per sample: run perf script with -G -F tid,ip,sym")
        yield int(fields[0]), fields[1], fields[2].strip() if len(fields) > 2 else "[unknown]"


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # | head ends us quietly
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--set-up", default=r"RandomCheckpoint|mersenne_twister",
                        help="symbols of the benchmark's set-up (regular expression)")
    parser.add_argument("--threads", action="store_true", help="print a line per thread")
    args = parser.parse_args()
    setUp = re.compile(args.set_up)

    per = collections.defaultdict(collections.Counter)
    setUpSamples = collections.Counter()
    others = collections.Counter()
    for tid, address, symbol in samples(sys.stdin):
        per[tid][category(address, symbol)] += 1
        if setUp.search(symbol):
            setUpSamples[tid] += 1
        if category(address, symbol) != "kernels":
            others[symbol[:100]] += 1

    total = sum(sum(c.values()) for c in per.values())
    if total == 0:
        sys.exit("no samples read (expected `perf script -G -F tid,ip,sym` output)")
    skipped = {t for t, c in per.items() if setUpSamples[t] >= 0.1 * sum(c.values())}

    def share(threads):
        counts = collections.Counter()
        for t in threads:
            counts.update(per[t])
        n = sum(counts.values())
        return n, {k: 100.0 * counts[k] / n for k in ("kernels", "waiting", "system", "other")}

    for label, threads in (("all threads", per.keys()),
                           ("without set-up threads", [t for t in per if t not in skipped])):
        n, s = share(threads)
        print(f"{label:24s} {n:8d} samples  outside kernels {100 - s['kernels']:5.2f} %  "
              f"(waiting {s['waiting']:.2f}, system {s['system']:.2f}, other {s['other']:.2f})")
    if args.threads:
        for t, c in sorted(per.items(), key=lambda kv: -sum(kv[1].values())):
            n = sum(c.values())
            if n < 0.001 * total:
                continue
            print(f"  thread {t:7d} {100.0 * n / total:5.2f} % of samples, kernels "
                  f"{100.0 * c['kernels'] / n:5.1f} %" + ("  (set-up)" if t in skipped else ""))
    print("outside kernels, most samples:")
    for symbol, n in others.most_common(12):
        print(f"  {100.0 * n / total:5.2f} % {symbol}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Knowing what changed: the diff, the audit trail and the generation against their baselines.

Usage: changes.py BUILD_DIR   (bench/run.sh calls it after compare.py, with the same environment)

Runs zema_bench_changes once (repetitions in random interleaved order) on the plant that
compare.py generated and prints a table of ratios: the diff of two plants with 1% of the tags
changed against one Load of one plant, SaveTags of 10,000 tags with the audit trail on against
the same without it (for reference also with a trail whose triggers write constants, and both
in one batch), and one generation read against one Load. Medians of the repetitions.
"""

import os
import sys

from compare import Bench, fmt_ms, print_table


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    b = Bench(sys.argv[1])
    program = b.tool("zema_bench_changes")
    if not os.path.exists(program):
        print("changes: %s was not built; skipped" % program)
        return 0
    b.prepare()
    saves = int(os.environ.get("ZEMA_BENCH_SAVES", "10000") or 10000)
    results = b.google_benchmark(
        "zema_bench_changes", ["--data=" + b.data, "--tags=%d" % b.tags, "--types=%d" % b.types,
                               "--saves=%d" % saves], b.reps, "changes.json")

    def ms(name):
        return results[name]["ms"] if name in results else None

    rows = []

    def row(what, ours, base, value, target, passed, text=None):
        if value is None or passed is None:
            verdict = "n/a" if value is None else "-"
        else:
            verdict = "PASS" if passed(value) else "FAIL"
        shown = text if text is not None else ("n/a" if value is None else "%.2fx" % value)
        rows.append((what, ours, base, shown, target, verdict))

    def ratio(a, c):
        return a / c if a is not None and c not in (None, 0) else None

    diff, load = ms("Changes/diff"), ms("Changes/load")
    row("diff of 2 plants (1% changed) vs 1 Load", fmt_ms(diff), fmt_ms(load), ratio(diff, load),
        "<= 2x", lambda v: v <= 2.0)
    audit, plain = ms("Changes/save_audit"), ms("Changes/save_plain")
    row("SaveTags %d with audit trail vs without" % saves, fmt_ms(audit), fmt_ms(plain),
        ratio(audit, plain), "<= 1.3x", lambda v: v <= 1.3)
    # No target: what a trail of constant rows costs shows how much of the row above any
    # trigger could still win.
    floor = ms("Changes/save_floor")
    row("SaveTags %d, trail of constants vs without" % saves, fmt_ms(floor), fmt_ms(plain),
        ratio(floor, plain), "none", None)
    batch, plain_batch = ms("Changes/save_audit_batch"), ms("Changes/save_plain_batch")
    row("SaveTags %d in a batch, audit trail vs without" % saves, fmt_ms(batch),
        fmt_ms(plain_batch), ratio(batch, plain_batch), "none", None)
    # Google Benchmark reports the mean time of one call of the many each run makes.
    warm = ms("Changes/generation")
    cold = ms("Changes/generation_cold")
    share = ratio(warm, load)
    row("generation read vs Load", "%.1f us" % (warm * 1000) if warm else "n/a", fmt_ms(load),
        share, "< 1%", lambda v: v < 0.01, None if share is None else "%.4f%%" % (100 * share))
    share = ratio(cold, load)
    row("generation read, first on a path, vs Load", "%.1f us" % (cold * 1000) if cold else "n/a",
        fmt_ms(load), share, "< 1%", lambda v: v < 0.01,
        None if share is None else "%.3f%%" % (100 * share))

    print()
    print("Knowing what changed (%d tags, %d types; medians of %d repetitions; ratio = ours /"
          " baseline; load average %.2f)" % (b.tags, b.types, b.reps, os.getloadavg()[0]))
    print_table(("comparison", "ours", "baseline", "ratio", "target", "result"), rows)
    b.print_size_note()
    return b.print_errors()


if __name__ == "__main__":
    sys.exit(main())

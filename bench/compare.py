#!/usr/bin/env python3
"""Runs every comparison of the benchmarks in one run and prints a table of ratios.

Usage: compare.py BUILD_DIR   (bench/run.sh calls it; see there for the environment variables)

Times come from Google Benchmark runs in which ours and the baseline alternate (repetitions in
random interleaved order); memory comes from separate processes, one Load or plain read each,
whose peak resident set (VmHWM, which restarts at exec, unlike the ru_maxrss that wait4 gives for
a child forked from this script) each process reports itself. Every figure is the median of
the repetitions; the one absolute figure, the 10,000-tag Load from process start to return, is
the best of its runs. Targets are otherwise checked as ratios, and a missed target does not fail
the run: only a benchmark that could not do its work does.
"""

import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

BIG_TAGS = 1_000_000
BASE_TAGS = 100_000
START_TAGS = 10_000  # the plant whose Load, from process start to return, is timed
XML_BYTES = 10_000_000


def env_int(name, default):
    value = os.environ.get(name, "")
    return int(value) if value.strip() else default


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.bin = os.path.join(self.build, "bench")
        self.tags = env_int("ZEMA_BENCH_TAGS", 100_000)
        self.types = env_int("ZEMA_BENCH_TYPES", 40)
        self.reps = max(1, env_int("ZEMA_BENCH_REPS", 3))
        self.xml_reps = max(3, self.reps)
        self.big = os.environ.get("ZEMA_BENCH_BIG", "") == "1"
        root = os.environ.get("ZEMA_BENCH_DATA") or os.path.join(self.build, "bench-data")
        self.root = os.path.abspath(root)
        self.data = os.path.join(self.root, "types-%d" % self.types)
        self.xml = os.path.join(self.root, "catalogue-10mb.xml")
        self.deletes = [self.tags // 10, self.tags // 5]
        self.errors = []

    def tool(self, name):
        return os.path.join(self.bin, name)

    def print_size_note(self):
        """Says so when the plant is not the size the targets are set for."""
        if self.tags != BASE_TAGS:
            print("  The targets are set for 100,000 tags; with %d tags the ratios are indicative."
                  % self.tags)

    def print_errors(self):
        """Lists what a benchmark could not do; the exit status: 1 when there was any, else 0."""
        if not self.errors:
            return 0
        print()
        print("Errors")
        for error in self.errors:
            print("  " + error)
        return 1

    def fresh(self, path):
        """True when path exists and is newer than the generator that wrote it."""
        return os.path.exists(path) and os.path.getmtime(path) >= os.path.getmtime(
            self.tool("zema_bench_gen"))

    def generate(self, *args):
        started = time.time()
        subprocess.run([self.tool("zema_bench_gen")] + [str(a) for a in args], check=True)
        print("  generated %s (%.1f s)" % (args[1], time.time() - started), flush=True)

    def plant(self, tags):
        return os.path.join(self.data, "plant-%d.db" % tags)

    def prepare(self):
        os.makedirs(self.data, exist_ok=True)
        os.makedirs(os.path.join(self.data, "nls-empty"), exist_ok=True)
        wanted = [self.tags, START_TAGS]
        if self.big:
            wanted += [BASE_TAGS, BIG_TAGS]
        for tags in sorted(set(wanted)):
            if not self.fresh(self.plant(tags)):
                self.generate("plant", self.plant(tags), tags, self.types)
        empty = os.path.join(self.data, "empty.db")
        if not self.fresh(empty):
            self.generate("empty", empty, self.types)
        catalogue = os.path.join(self.data, "nls", "FBLib", "FBLib.xml")
        if not self.fresh(catalogue):
            self.generate("nls", os.path.join(self.data, "nls"), self.types)
        if not self.fresh(self.xml):
            self.generate("xml", self.xml, XML_BYTES)

    # Google Benchmark runs -------------------------------------------------------------------

    def google_benchmark(self, program, args, reps, out_name):
        out = os.path.join(self.root, out_name)
        command = [self.tool(program)] + args + [
            "--benchmark_repetitions=%d" % reps,
            "--benchmark_enable_random_interleaving=true",
            "--benchmark_display_aggregates_only=true",
            "--benchmark_out=%s" % out, "--benchmark_out_format=json"]
        print("$ " + " ".join(command), flush=True)
        if os.path.exists(out):
            os.remove(out)
        result = subprocess.run(command)
        if result.returncode != 0:
            self.errors.append("%s exited with %d" % (program, result.returncode))
        medians = {}
        if not os.path.exists(out):
            return medians
        try:
            with open(out) as f:
                report = json.load(f)
        except ValueError as error:
            self.errors.append("%s: unreadable results (%s)" % (out, error))
            return medians
        runs = {}
        for entry in report.get("benchmarks", []):
            if entry.get("run_type") != "iteration":
                continue
            name = re.sub(r"/(iterations:\d+|real_time)", "", entry["run_name"])
            if entry.get("error_occurred"):
                self.errors.append("%s: %s" % (name, entry.get("error_message", "error")))
                continue
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry.get("time_unit", "ns")]
            runs.setdefault(name, []).append(
                (entry["real_time"] * scale, entry, entry["cpu_time"] * scale))
        for name, values in runs.items():
            medians[name] = {
                "ms": statistics.median(v[0] for v in values),
                "cpu_ms": statistics.median(v[2] for v in values),
                "runs": len(values),
                "spread": (max(v[0] for v in values) - min(v[0] for v in values)) /
                statistics.median(v[0] for v in values) if values else 0.0,
                "last": values[-1][1],
            }
        return medians

    # Separate processes ----------------------------------------------------------------------

    def load_once(self, mode, tags):
        command = [self.tool("zema_bench_load"), mode, self.plant(tags),
                   os.path.join(self.data, "nls")]
        child = subprocess.Popen(command, stdout=subprocess.PIPE)
        output = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            self.errors.append("%s exited with %d" % (" ".join(command), child.returncode))
            return None
        try:
            line = json.loads(output.decode().strip().splitlines()[-1])
        except (ValueError, IndexError):
            self.errors.append("%s printed no result" % " ".join(command))
            return None
        # wait4's ru_maxrss of a child includes the parent's size at fork (Linux keeps the peak
        # across exec), so the child's own VmHWM is the peak; ru_maxrss is kept for reference.
        line["ru_maxrss_kb"] = usage.ru_maxrss
        line["maxrss_kb"] = line["hwm_kb"]
        line["cpu_ms"] = (usage.ru_utime + usage.ru_stime) * 1000  # the whole process
        if line["tags"] != tags:
            self.errors.append("%s: %d tags loaded, %d expected" % (mode, line["tags"], tags))
        return line

    def start_to_return(self, tags, reps):
        """The best of reps runs of one Load in a new process, from the start of the process to
        the return of Load (the line the program prints then), in ms."""
        best = None
        for _ in range(reps):
            command = [self.tool("zema_bench_load"), "ours", self.plant(tags),
                       os.path.join(self.data, "nls")]
            started = time.perf_counter()
            child = subprocess.Popen(command, stdout=subprocess.PIPE)
            line = child.stdout.readline()
            elapsed = (time.perf_counter() - started) * 1000
            child.stdout.read()
            if child.wait() != 0 or not line:
                self.errors.append("%s exited with %d" % (" ".join(command), child.returncode))
                continue
            if json.loads(line.decode()).get("tags") != tags:
                self.errors.append("%s: wrong number of tags" % " ".join(command))
            best = elapsed if best is None else min(best, elapsed)
        return best

    def processes(self, modes_and_tags, reps):
        """Runs each (mode, tags) once per repetition, alternating the order; medians."""
        samples = {key: [] for key in modes_and_tags}
        for rep in range(reps):
            order = modes_and_tags if rep % 2 == 0 else list(reversed(modes_and_tags))
            for key in order:
                line = self.load_once(*key)
                if line is not None:
                    samples[key].append(line)
        result = {}
        for key, lines in samples.items():
            if lines:
                result[key] = {
                    "ms": statistics.median(l["ms"] for l in lines),
                    "cpu_ms": statistics.median(l["cpu_ms"] for l in lines),
                    "maxrss_kb": statistics.median(l["maxrss_kb"] for l in lines),
                    "growth_kb": statistics.median(l["maxrss_kb"] - l["rss_before_kb"]
                                                   for l in lines),
                }
        return result


    # The server ----------------------------------------------------------------------------

    def server(self):
        """zema_bench_pg on a throwaway PostgreSQL server (scripts/pg-test-server.sh): Load,
        SaveTags and 20 stations against plain libpq, side by side in one run. Returns its
        comparisons by key; {} when the program was not built (no libpq)."""
        program = self.tool("zema_bench_pg")
        if not os.path.exists(program):
            return {}
        out = os.path.join(self.root, "pg.json")
        if os.path.exists(out):
            os.remove(out)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                              "pg-test-server.sh")
        args = ["--tags=%d" % self.tags, "--types=%d" % self.types,
                "--save=%d" % min(self.tags, 10_000), "--reps=%d" % self.reps,
                "--nls=" + os.path.join(self.data, "nls-empty"), "--json=" + out]
        print("$ zema_bench_pg %s  (on a throwaway server)" % " ".join(args), flush=True)
        result = subprocess.run(["bash", os.path.normpath(script), "run", program] + args)
        if result.returncode != 0:
            self.errors.append("zema_bench_pg exited with %d" % result.returncode)
        if not os.path.exists(out):
            return {}
        try:
            with open(out) as f:
                report = json.load(f)
        except ValueError as error:
            self.errors.append("%s: unreadable results (%s)" % (out, error))
            return {}
        return {c["key"]: c for c in report.get("comparisons", [])}


def machine(build):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    memory = "unknown"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                memory = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    compiler = "unknown"
    build_type = ""
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    path = line.split("=", 1)[1].strip()
                    try:
                        compiler = subprocess.run([path, "--version"], capture_output=True,
                                                  text=True).stdout.splitlines()[0]
                    except (OSError, IndexError):
                        compiler = path
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip()
    sqlite = subprocess.run([os.path.join(build, "bench", "zema_bench_gen"), "sqlite-version"],
                            capture_output=True, text=True).stdout.strip()
    return [
        ("CPU", "%s, %d cores online" % (cpu, os.cpu_count() or 0)),
        ("Memory", memory),
        ("Kernel", platform.release()),
        ("Compiler", "%s (%s build, benchmarks -O3)" % (compiler, build_type or "default")),
        ("SQLite", sqlite),
        ("Load average", "%.2f %.2f %.2f" % os.getloadavg()),
    ]


def fmt_ms(ms):
    if ms is None:
        return "n/a"
    return "%.1f ms" % ms if ms < 10_000 else "%.2f s" % (ms / 1000)


def fmt_mb(kb):
    return "n/a" if kb is None else "%.1f MB" % (kb / 1024)


def print_table(header, rows):
    """Prints rows under header, each column as wide as its widest cell."""
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, header))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join("%-*s" % (w, str(c)) for w, c in zip(widths, r)))


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    b = Bench(sys.argv[1])
    started = time.time()
    print("bench: %d tags, %d types, %d repetitions (XML %d), data in %s%s" % (
        b.tags, b.types, b.reps, b.xml_reps, b.root, ", with 1,000,000 tags" if b.big else ""),
        flush=True)
    load_before = os.getloadavg()
    b.prepare()

    xml = b.google_benchmark("zema_bench_xml", ["--xml=" + b.xml], b.xml_reps, "xml.json")
    db = b.google_benchmark(
        "zema_bench_db", ["--data=" + b.data, "--tags=%d" % b.tags, "--types=%d" % b.types,
                          "--deletes=%s" % ",".join(str(d) for d in b.deletes)],
        b.reps, "db.json")
    print("$ zema_bench_load, %d repetitions per mode, one process each" % b.reps, flush=True)
    mem = b.processes([("ours", b.tags), ("ours_no_catalogue", b.tags), ("plain_sqlite", b.tags)],
                      b.reps)
    print("$ zema_bench_load ours, %d tags, %d new processes, start to return" % (
        START_TAGS, max(3, b.reps)), flush=True)
    start = b.start_to_return(START_TAGS, max(3, b.reps))
    server = b.server()
    big = {}
    if b.big:
        print("$ zema_bench_load, 1,000,000 and 100,000 tags", flush=True)
        big = b.processes([("ours", BIG_TAGS), ("ours", BASE_TAGS), ("plain_sqlite", BIG_TAGS),
                           ("plain_sqlite", BASE_TAGS)], max(1, b.reps - 1))

    def ms(results, name):
        return results[name]["ms"] if name in results else None

    def ratio(a, c):
        return a / c if a is not None and c not in (None, 0) else None

    def cpu(results, name):
        return results[name]["cpu_ms"] if name in results else None

    rows = []  # (comparison, ours, baseline, ratio, CPU-time ratio, target, verdict)

    def row(what, ours, base, value, target, passed, value_text=None, cpu_text="-"):
        verdict = "n/a" if value is None else ("PASS" if passed(value) else "FAIL")
        text = value_text if value_text is not None else (
            "n/a" if value is None else "%.2fx" % value)
        rows.append((what, ours, base, text, cpu_text, target, verdict))

    def cpu_ratio(results, a, c, per=1.0):
        value = ratio(cpu(results, a), cpu(results, c))
        return "n/a" if value is None else "%.2fx" % (value * per)

    load, load_plain = ms(db, "Load/ours"), ms(db, "Load/plain_sqlite")
    r = ratio(load, load_plain)
    row("Load vs plain SQLite read, wall", fmt_ms(load), fmt_ms(load_plain), r, "<= 1.15x",
        lambda v: v <= 1.15, cpu_text=cpu_ratio(db, "Load/ours", "Load/plain_sqlite"))
    m_ours = mem.get(("ours", b.tags), {}).get("maxrss_kb")
    m_plain = mem.get(("plain_sqlite", b.tags), {}).get("maxrss_kb")
    r = ratio(m_ours, m_plain)
    row("Load vs plain SQLite read, peak RSS", fmt_mb(m_ours), fmt_mb(m_plain), r, "<= 1.05x",
        lambda v: v <= 1.05)
    if b.big:
        l1m, l100k = ms(big, ("ours", BIG_TAGS)), ms(big, ("ours", BASE_TAGS))
        row("Load 1,000,000 / 100,000 tags", fmt_ms(l1m), fmt_ms(l100k), ratio(l1m, l100k),
            "<= 10.5", lambda v: v <= 10.5,
            cpu_text=cpu_ratio(big, ("ours", BIG_TAGS), ("ours", BASE_TAGS)))
    else:
        rows.append(("Load 1,000,000 / 100,000 tags", "-", "-", "-", "-", "<= 10.5",
                     "SKIP (ZEMA_BENCH_BIG=1)"))
    # Measured in fresh processes: in one long process the heap left by the previous Load and
    # Release moves either figure by more than the share itself.
    def share_of(results, key, with_key, without_key):
        a, c = results.get(with_key, {}).get(key), results.get(without_key, {}).get(key)
        return (a - c) / a if a and c is not None else None

    own, own_nofb = ("ours", b.tags), ("ours_no_catalogue", b.tags)
    share = share_of(mem, "ms", own, own_nofb)
    cpu_share = share_of(mem, "cpu_ms", own, own_nofb)
    row("Function block kinds share of Load", fmt_ms(mem.get(own, {}).get("ms")),
        fmt_ms(mem.get(own_nofb, {}).get("ms")) + " w/o catalogue", share, "<= 10%",
        lambda v: v <= 0.10, None if share is None else "%.1f%%" % (100 * share),
        "n/a" if cpu_share is None else "%.1f%%" % (100 * cpu_share))
    row("Load %d tags, process start to return" % START_TAGS, fmt_ms(start), "-", start,
        "< 1 s", lambda v: v < 1000, value_text="n/a" if start is None else fmt_ms(start))
    save, save_plain = ms(db, "SaveTags/ours"), ms(db, "SaveTags/plain_sqlite")
    row("SaveTags %d vs plain inserts" % b.tags, fmt_ms(save), fmt_ms(save_plain),
        ratio(save, save_plain), "<= 1.1x", lambda v: v <= 1.1,
        cpu_text=cpu_ratio(db, "SaveTags/ours", "SaveTags/plain_sqlite"))
    batch, batch_plain = ms(db, "SaveTagsBatch/ours"), ms(db, "SaveTagsBatch/plain_sqlite")
    row("SaveTags %d in a batch vs one transaction" % b.tags, fmt_ms(batch), fmt_ms(batch_plain),
        ratio(batch, batch_plain), "<= 1.5x", lambda v: v <= 1.5,
        cpu_text=cpu_ratio(db, "SaveTagsBatch/ours", "SaveTagsBatch/plain_sqlite"))
    d1, d2 = b.deletes
    del1, del2 = ms(db, "DeleteTags/ours/%d" % d1), ms(db, "DeleteTags/ours/%d" % d2)
    pdel1, pdel2 = ms(db, "DeleteTags/plain_sqlite/%d" % d1), ms(db, "DeleteTags/plain_sqlite/%d" % d2)
    row("DeleteTags %d / %d" % (d2, d1), fmt_ms(del2), fmt_ms(del1), ratio(del2, del1),
        "<= 2.2", lambda v: v <= 2.2,
        cpu_text=cpu_ratio(db, "DeleteTags/ours/%d" % d2, "DeleteTags/ours/%d" % d1))
    for count, ours, plain in ((d2, del2, pdel2), (d1, del1, pdel1)):
        per = None if ours is None else ours * 1000 / count
        per_plain = None if plain is None else plain * 1000 / count
        row("DeleteTags per tag vs plain (%d)" % count,
            "n/a" if per is None else "%.1f us" % per,
            "n/a" if per_plain is None else "%.1f us" % per_plain, ratio(per, per_plain),
            "<= 1.5x", lambda v: v <= 1.5,
            cpu_text=cpu_ratio(db, "DeleteTags/ours/%d" % count,
                               "DeleteTags/plain_sqlite/%d" % count))
    st, pugi, expat = (ms(xml, "XmlParse/CXmlDocument_SetText"), ms(xml, "XmlParse/pugixml"),
                       ms(xml, "XmlParse/expat"))
    size_mb = os.path.getsize(b.xml) / 1e6
    row("SetText %.0f MB vs pugixml" % size_mb, fmt_ms(st), fmt_ms(pugi), ratio(st, pugi),
        "<= 1.5x", lambda v: v <= 1.5,
        cpu_text=cpu_ratio(xml, "XmlParse/CXmlDocument_SetText", "XmlParse/pugixml"))
    row("SetText %.0f MB vs expat" % size_mb, fmt_ms(st), fmt_ms(expat), ratio(st, expat),
        "< 1.0x", lambda v: v < 1.0,
        cpu_text=cpu_ratio(xml, "XmlParse/CXmlDocument_SetText", "XmlParse/expat"))
    # The server rows: the CPU ratio counts the server's CPU time with the client's.
    server_rows = (("load", "Load %d from a server vs plain libpq" % b.tags, 1.5),
                   ("save", "SaveTags %d to a server vs plain libpq" % min(b.tags, 10_000), 1.5),
                   ("stations", "20 stations at once vs one after another", 1.3))
    for key, what, target in server_rows:
        c = server.get(key)
        if c is None:
            rows.append((what, "-", "-", "-", "-", "<= %.1fx" % target,
                         "SKIP (no zema_bench_pg)" if not os.path.exists(b.tool("zema_bench_pg"))
                         else "n/a"))
            continue
        servers = c["ours_server_ms"] >= 0 and c["base_server_ms"] >= 0
        cpu_value = ratio(c["ours_client_ms"] + (c["ours_server_ms"] if servers else 0),
                          c["base_client_ms"] + (c["base_server_ms"] if servers else 0))
        row(what, fmt_ms(c["ours_ms"]), fmt_ms(c["base_ms"]), ratio(c["ours_ms"], c["base_ms"]),
            "<= %.1fx" % target, lambda v, t=target: v <= t,
            cpu_text="n/a" if cpu_value is None else "%.2fx" % cpu_value)

    print()
    print("Machine")
    for key, value in machine(b.build):
        print("  %-13s %s" % (key, value))
    print("  %-13s %.2f at start, %.2f at end (1 min)" % ("Load", load_before[0],
                                                         os.getloadavg()[0]))
    print()
    print("Results (%d tags, %d types; medians of %d repetitions, XML %d; ratio = ours / baseline)"
          % (b.tags, b.types, b.reps, b.xml_reps))
    print("  ratio: wall time (the target's measure); CPU ratio: the same on process CPU time,"
          " which a busy machine disturbs less")
    print("  the server rows' CPU ratio counts the server's processes with the client")
    print_table(("comparison", "ours", "baseline", "ratio", "CPU ratio", "target", "result"), rows)

    print()
    print("Beside the table")
    nofb = ms(db, "Load/ours_no_catalogue")
    if load and nofb is not None:
        print("  Load with / without the catalogue in the benchmark process: %s / %s (share %.1f%%)"
              % (fmt_ms(load), fmt_ms(nofb), 100 * (load - nofb) / load))
    if ("ours", b.tags) in mem and ("plain_sqlite", b.tags) in mem:
        o, p = mem[("ours", b.tags)], mem[("plain_sqlite", b.tags)]
        print("  Load in its own process: ours %s, plain %s; RSS growth during the call: ours %s,"
              " plain %s (ratio %.2fx)" % (fmt_ms(o["ms"]), fmt_ms(p["ms"]), fmt_mb(o["growth_kb"]),
                                           fmt_mb(p["growth_kb"]),
                                           ratio(o["growth_kb"], p["growth_kb"]) or 0))
    if b.big:
        p1m, p100k = ms(big, ("plain_sqlite", BIG_TAGS)), ms(big, ("plain_sqlite", BASE_TAGS))
        print("  plain read 1,000,000 / 100,000: %s / %s = %s; Load 1,000,000 peak RSS %s" % (
            fmt_ms(p1m), fmt_ms(p100k),
            "n/a" if ratio(p1m, p100k) is None else "%.2f" % ratio(p1m, p100k),
            fmt_mb(big.get(("ours", BIG_TAGS), {}).get("maxrss_kb"))))
    if pdel1 is not None and pdel2 is not None:
        print("  plain deletes %d / %d: %.2f" % (d2, d1, pdel2 / pdel1))
    spreads = [(n, v["spread"]) for n, v in list(db.items()) + list(xml.items()) if v["runs"] > 1]
    if spreads:
        worst = max(spreads, key=lambda s: s[1])
        print("  largest spread of repetitions (max-min)/median: %.0f%% (%s)" % (
            100 * worst[1], worst[0]))
    inputs = db.get("Load/ours", {}).get("last", {}).get("inputs")
    if inputs is not None and inputs != 12:
        print("  NOTE: the first tag reported %d inputs after Load; the catalogue gives 12" % inputs)
    for name in ("XmlParse/CXmlDocument_SetText", "XmlParse/pugixml", "XmlParse/expat"):
        if name in xml and xml[name]["last"].get("well_formed") != 1:
            print("  NOTE: %s did not find the document well-formed" % name)
    b.print_size_note()
    print("  Took %.0f s." % (time.time() - started))
    return b.print_errors()


if __name__ == "__main__":
    sys.exit(main())

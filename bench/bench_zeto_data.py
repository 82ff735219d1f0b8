"""Benchmark of the compiled test module against its interpreted twin.

Two measurements:

1. Per-call time of each test method, compiled
   (``tests.unit.test_zeto_data``) and interpreted (its listing
   ``tests/unit/test_zeto_data.py``, the same statements as plain Python,
   loaded under another name from its cached bytecode).
   Both run in one worker process per SDK module, interleaved round by round,
   so that drift of the machine's speed hits both alike.  Two SDK modules are
   measured: the bundled stand-in, and ``bench/minimal_sdk`` whose records do
   next to nothing, so that the test module's own cost dominates.
2. Import cost: importing the compiled module against importing the
   interpreted one from its bytecode cache, each in a fresh interpreter that
   has already imported the SDK and the enclosing packages.
3. The user's loop: a whole warm run against an SDK that fails two tests,
   by ``make run SDK=...`` and by the installed ``zeto-compiled-tests``
   command (in a venv of its own under build/), each against plain pytest
   running the same statements as a ``.py`` test module in the same venv.

Usage:  python bench/bench_zeto_data.py [--rounds N] [--sample-ms MS] [--imports N] [--loop N]
        python bench/bench_zeto_data.py --instructions   (instruction counts, needs valgrind)
        python bench/bench_zeto_data.py --callgrind   (instruction profile by function)

Results also go to bench/out/results.json and bench/out/ratios.svg.
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import itertools
import json
import math
import os
import py_compile
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The suite's shape, as the checks take it from the listing.
sys.path.insert(1, str(ROOT / "checks"))
from listing import LISTING, PATH as INTERPRETED_SOURCE  # noqa: E402
from stand_in import DASHED_KEY, copy_sdk  # noqa: E402

OUT = ROOT / "bench" / "out"
COMPILED_NAME = "tests.unit.test_zeto_data"
INTERPRETED_NAME = "zeto_listing"
SDK_NAMES = LISTING.sdk_names
SDKS = {
    "stand-in": ROOT,
    "minimal": ROOT / "bench" / "minimal_sdk",
}


# ---- worker: runs inside a fresh interpreter for one SDK ---------------------------


def load_listing():
    """The listing as a module of its own name, from its bytecode cache."""
    spec = importlib.util.spec_from_file_location(INTERPRETED_NAME, INTERPRETED_SOURCE)
    module = sys.modules[INTERPRETED_NAME] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_modules(sdk_root):
    """Import the SDK from ``sdk_root``, then both test modules, and check that
    they really are what is meant to be measured."""
    sys.path[:0] = [str(sdk_root), str(ROOT)]
    import zeto_sdk.redis.zeto_data as sdk

    where = Path(sdk.__file__).resolve()
    if where.parent.parent.parent != Path(sdk_root).resolve():
        raise SystemExit(f"zeto_sdk was imported from {where}, not from {sdk_root}")
    compiled = importlib.import_module(COMPILED_NAME)
    if not compiled.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        raise SystemExit(f"{COMPILED_NAME} is not an extension module: {compiled.__file__}")
    interpreted = load_listing()
    if not Path(interpreted.__spec__.cached).is_file():
        raise SystemExit(f"{INTERPRETED_NAME} has no bytecode cache at {interpreted.__spec__.cached}")
    for module in (compiled, interpreted):
        for name in SDK_NAMES:
            if getattr(module, name) is not getattr(sdk, name):
                raise SystemExit(f"{module.__name__}.{name} is not the SDK's {name}")
    return sdk, compiled, interpreted


def bound_tests(module):
    """[(qualified name, bound method)] of every test of the listing, in order."""
    instances = {cls: getattr(module, cls)() for cls in LISTING.classes}
    return [(f"{cls}.{name}", getattr(instances[cls], name)) for cls, name in LISTING.tests]


def sample(f, loops, repeat=itertools.repeat, clock=getattr(time, "perf_counter_ns", None)):  # 3.7 on
    """Nanoseconds taken by ``loops`` calls of ``f``."""
    it = repeat(None, loops)
    t0 = clock()
    for _ in it:
        f()
    return clock() - t0


def noop():
    pass


def pin_to_one_cpu():
    if hasattr(os, "sched_getaffinity"):
        cpus = sorted(os.sched_getaffinity(0))
        if len(cpus) > 1:
            os.sched_setaffinity(0, {cpus[-1]})


def worker(sdk_root, rounds, sample_ns, warmup_rounds):
    pin_to_one_cpu()
    sdk, compiled, interpreted = load_modules(sdk_root)
    c_tests = bound_tests(compiled)
    i_tests = bound_tests(interpreted)
    if [n for n, _ in c_tests] != [n for n, _ in i_tests]:
        raise SystemExit("the compiled and interpreted modules hold different tests")
    # Every test must pass against this SDK, or the timings mean nothing.
    failures = []
    for (name, fc), (_, fi) in zip(c_tests, i_tests):
        for kind, f in (("compiled", fc), ("interpreted", fi)):
            try:
                if f() is not None:
                    failures.append(f"{kind} {name}: returned a value")
            except BaseException as err:  # noqa: BLE001 - report every kind of failure
                failures.append(f"{kind} {name}: {type(err).__name__}: {err}")
    if failures:
        raise SystemExit("tests fail against " + str(sdk.__file__) + ":\n  " + "\n  ".join(failures))

    gc.collect()
    gc.disable()
    try:
        # Loops per sample: enough calls of the slower variant to fill sample_ns.
        loops = []
        for (_, fc), (_, fi) in zip(c_tests, i_tests):
            n = 1
            while True:
                t = max(sample(fc, n), sample(fi, n))
                if t >= sample_ns / 4:
                    break
                n *= 2
            loops.append(max(1, round(n * sample_ns / max(t, 1))))
        floor_loops = 200_000
        times = {name: ([], []) for name, _ in c_tests}
        floor = []
        for k in range(warmup_rounds + rounds):
            record = k >= warmup_rounds
            for i, ((name, fc), (_, fi), n) in enumerate(zip(c_tests, i_tests, loops)):
                # Alternate which variant goes first, by round and by test.
                order = ((0, fc), (1, fi)) if (k + i) % 2 == 0 else ((1, fi), (0, fc))
                for slot, f in order:
                    t = sample(f, n)
                    if record:
                        times[name][slot].append(t / n)
            t = sample(noop, floor_loops)
            if record:
                floor.append(t / floor_loops)
            gc.collect()
    finally:
        gc.enable()
    return {
        "sdk": str(Path(sdk.__file__).resolve()),
        "python": sys.version.split()[0],
        "loops": dict(zip((n for n, _ in c_tests), loops)),
        "floor_ns": statistics.median(floor),
        "tests": {name: {"compiled": c, "interpreted": i} for name, (c, i) in times.items()},
    }


# ---- import cost ---------------------------------------------------------------------

# Both modules are loaded by the same calls of the import system, from a spec
# made for their file: the compiled one by its extension loader, the listing
# by its source loader from the bytecode cache. Neither pays for a search of
# sys.path, which would cost both the same.
LOAD_SPEC = ("spec = importlib.util.spec_from_file_location({name!r}, {path!r}); "
             "m = sys.modules[spec.name] = importlib.util.module_from_spec(spec); spec.loader.exec_module(m)")
LOAD_LISTING = LOAD_SPEC.format(name=INTERPRETED_NAME, path=str(INTERPRETED_SOURCE))


def load_compiled():
    """The probe's statement that loads the built module (the one for this interpreter)."""
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    return LOAD_SPEC.format(name=COMPILED_NAME, path=str(INTERPRETED_SOURCE.with_name("test_zeto_data" + suffix)))


IMPORT_PROBE = """
import sys, time
sys.path[:0] = [{sdk!r}, {root!r}]
import importlib.util, zeto_sdk.redis.zeto_data, tests.unit
t0 = time.perf_counter_ns()
{load}
t1 = time.perf_counter_ns()
print(t1 - t0, m.__file__, m.__spec__.cached)
"""


def import_cost(runs, python_flags):
    """Median import time (ns) of each module over ``runs`` fresh interpreters,
    run alternately."""
    cached = Path(importlib.util.cache_from_source(str(INTERPRETED_SOURCE), optimization=optimization_tag()))
    stamp = cached.stat().st_mtime_ns
    results = {"compiled": [], "interpreted": []}
    probes = {
        "compiled": IMPORT_PROBE.format(sdk=str(ROOT), root=str(ROOT), load=load_compiled()),
        "interpreted": IMPORT_PROBE.format(sdk=str(ROOT), root=str(ROOT), load=LOAD_LISTING),
    }
    for k in range(runs + 2):
        order = ("compiled", "interpreted") if k % 2 == 0 else ("interpreted", "compiled")
        for kind in order:
            out = subprocess.run([sys.executable, *python_flags, "-I", "-c", probes[kind]],
                                 check=True, capture_output=True, text=True, cwd=ROOT).stdout.split()
            if kind == "interpreted" and Path(out[2]) != cached:
                raise SystemExit(f"interpreted suite cached at {out[2]}, expected {cached}")
            if k >= 2:  # the first two runs warm the page cache
                results[kind].append(int(out[0]))
    if cached.stat().st_mtime_ns != stamp:
        raise SystemExit(f"{cached} was rewritten during the import runs: not imported from cache")
    return {kind: statistics.median(v) for kind, v in results.items()} | {"runs": runs, "samples": results}


# ---- profile -------------------------------------------------------------------------

PROFILE_BODY = """
import os, sys
sys.path.insert(0, {bench!r})
import bench_zeto_data as b
sdk, compiled, interpreted = b.load_modules({sdk!r})
tests = b.bound_tests({which})
for _, f in tests:
    f()
b.call_repeatedly(b.noop, {calls})
os.getppid()          # callgrind dumps its counters on entry: startup
for _, f in tests:
    b.call_repeatedly(f, {calls})
    os.getppid()      # and here after each test's calls
b.call_repeatedly(b.noop, {calls})
os.getppid()          # the harness floor
print(" ".join(name for name, _ in tests))
"""


def call_repeatedly(f, n, repeat=itertools.repeat):
    """Calls ``f`` ``n`` times in a loop of local variables, as the timing
    loop does, so that the harness adds little to each call."""
    for _ in repeat(None, n):
        f()

# The import alone, between two dumps: the SDK, the packages and the import
# machinery's own modules are loaded beforehand, as in the wall-time probe.
IMPORT_PROFILE_BODY = """
import os, sys
sys.path[:0] = [{sdk!r}, {root!r}]
import importlib.util, zeto_sdk.redis.zeto_data, tests.unit
os.getppid()
{load}
os.getppid()
print(m.__file__)
"""

# Fixed hash seed: string hashes decide dictionary probe sequences, and with
# them a few per cent of the counts, so two runs agree only with one seed.
# The interpreter runs without its isolated mode (-I), which would pass over
# PYTHONHASHSEED as every PYTHON* variable, and without any other of those.
CALLGRIND_ENV = {**{k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}, "PYTHONHASHSEED": "0"}


def run_callgrind(prefix, body):
    """Runs ``body`` in a fresh interpreter under callgrind, one dump per
    call of os.getppid() (at the C library's getppid, which has its name
    even where the interpreter's own functions are stripped of theirs);
    (stdout, {dump number: path})."""
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        raise SystemExit("valgrind and callgrind_annotate are needed for the instruction counts")
    OUT.mkdir(exist_ok=True)
    for old in OUT.glob(prefix.name + ".*"):
        old.unlink()
    out = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={prefix}.%p",
                          "--dump-before=getppid", sys.executable, *python_flags(), "-s", "-c", body],
                         check=True, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         universal_newlines=True, env=CALLGRIND_ENV).stdout
    return out, {int(p.name.rsplit(".", 1)[1]): p for p in OUT.glob(prefix.name + ".*.*")}


def dump_total(path):
    """The instruction count of one dump (its 'summary:' or 'totals:' line)."""
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise SystemExit(f"no totals in {path}")


def per_test_profiles(sdk_name, calls, with_functions):
    """{"compiled"|"interpreted": [(instructions, {function: self cost}) per
    test]} for ``calls`` calls of each test, and the tests' names."""
    profiles = {}
    names = []
    for which in ("compiled", "interpreted"):
        prefix = OUT / f"callgrind.{sdk_name}.{which}"
        body = PROFILE_BODY.format(bench=str(ROOT / "bench"), sdk=str(SDKS[sdk_name]), which=which, calls=calls)
        out, dumps = run_callgrind(prefix, body)
        names = out.split()
        # Dump 1 holds the start-up, dump k (2 <= k <= n + 1) the calls of
        # test k - 1 of n, dump n + 2 those of an empty function; the exit's
        # is unnumbered.
        floor = len(LISTING.tests) + 2
        if len(dumps) < floor:
            raise SystemExit(f"callgrind wrote {len(dumps)} dumps for {which}, expected {floor}")
        profiles[which + " floor"] = dump_total(dumps[floor])
        per_test = []
        for k in range(2, floor):
            if with_functions:
                report = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(dumps[k])],
                                        check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
                per_test.append(parse_annotate(report))
            else:
                per_test.append((dump_total(dumps[k]), {}))
        profiles[which] = per_test
    return profiles, names


# The object file of the compiled test module, as callgrind names it.
COMPILED_OBJECT = re.compile(r"test_zeto_data\.[^/]*$")


def own_instructions(functions):
    """The instructions spent in the compiled test module's own code, from
    {(function, object file): self instructions}."""
    return sum(ir for (_, obj), ir in functions.items() if COMPILED_OBJECT.search(obj))


def print_instruction_table(sdk_name, calls, profiles, names):
    """The per-test table; (geometric mean of the ratios, the same with the
    module's own instructions left out of the compiled counts)."""
    print(f"\nInstructions per call (callgrind, {sdk_name} SDK, {calls} calls of each test, PYTHONHASHSEED=0):")
    width = max(len(n) for n in names)
    print(f"{'test':<{width}}  {'compiled':>9}  {'interpreted':>11}  {'ratio':>6}  {'own':>6}  {'without':>7}")
    ratios, floors = [], []
    for k, name in enumerate(names):
        c = profiles["compiled"][k][0] / calls
        i = profiles["interpreted"][k][0] / calls
        own = own_instructions(profiles["compiled"][k][1]) / calls
        ratios.append(c / i)
        floors.append((c - own) / i)
        print(f"{name:<{width}}  {c:9,.0f}  {i:11,.0f}  {c / i:6.3f}  {own:6,.0f}  {(c - own) / i:7.3f}")
    print(f"{'geometric mean of ratios':<{width}}  {'':>9}  {'':>11}  {geomean(ratios):6.3f}  {'':>6}  "
          f"{geomean(floors):7.3f}")
    floor = profiles["compiled floor"] / calls
    print(f"(own: the compiled module's own instructions; without: the ratio if they cost nothing, which is what "
          f"the interpreter and the SDK\n spend on the test's behalf. Harness floor: calling an empty Python "
          f"function costs {floor:,.0f} instructions in the loop)")
    return geomean(ratios), geomean(floors)


def import_instructions():
    """Instructions of importing the compiled module, of loading the listing
    from its bytecode cache, and of importing an empty extension module (the
    floor of any extension module's import), each in a fresh interpreter."""
    from capi_null.build import build  # the checks' build of a small C extension

    empty = build(OUT / "empty", ROOT / "bench" / "empty" / "_empty_module.c")
    counts = {}
    for which, load in (("compiled", load_compiled()), ("interpreted", LOAD_LISTING),
                        ("empty module", LOAD_SPEC.format(name="_empty_module", path=str(empty)))):
        body = IMPORT_PROFILE_BODY.format(sdk=str(ROOT), root=str(ROOT), load=load)
        out, dumps = run_callgrind(OUT / f"callgrind.import.{which}", body)
        if which != "interpreted" and not out.strip().endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            raise SystemExit(f"{which} is not an extension module: {out.strip()}")
        # Dump 1 holds the start-up, dump 2 the import (the exit's is unnumbered).
        if len(dumps) < 2:
            raise SystemExit(f"callgrind wrote {len(dumps)} dumps for the {which} import, expected 2")
        counts[which] = dump_total(dumps[2])
    return counts


def instructions(sdks, calls):
    """The instruction mode: per-test counts for each SDK, then the import."""
    print(f"Python {sys.version.split()[0]} ({sys.executable}), optimize={sys.flags.optimize}")
    results = {}
    for sdk in sdks:
        profiles, names = per_test_profiles(sdk, calls, with_functions=True)
        mean, without_own = print_instruction_table(sdk, calls, profiles, names)
        results[sdk] = {"geomean": mean, "geomean without own": without_own, "tests": {
            name: {"compiled": profiles["compiled"][k][0] / calls,
                   "interpreted": profiles["interpreted"][k][0] / calls,
                   "own": own_instructions(profiles["compiled"][k][1]) / calls}
            for k, name in enumerate(names)}}
    counts = import_instructions()
    results["import"] = counts
    results["python"] = sys.version.split()[0]
    print("\nImport of the test module alone (SDK and packages already imported), instructions:")
    print(f"  compiled      {counts['compiled']:12,}   ({COMPILED_NAME})")
    print(f"  interpreted   {counts['interpreted']:12,}   ({INTERPRETED_NAME}, from bytecode cache)")
    print(f"  ratio c/i     {counts['compiled'] / counts['interpreted']:12.3f}")
    print(f"  empty module  {counts['empty module']:12,}   (the floor: an extension module with nothing in it, "
          f"{counts['empty module'] / counts['interpreted']:.3f} of the interpreted)")
    (OUT / "instructions.json").write_text(json.dumps(results, indent=1) + "\n")
    print(f"\n(counts: {(OUT / 'instructions.json').relative_to(ROOT)})")


def table(paths, title):
    """One table of the instruction counts of several interpreters (the
    instructions.json of each): the ratio compiled/interpreted of every test,
    minimal SDK / stand-in, their geometric means, and the import's, with
    its floor (an empty extension module's import / the interpreted)."""
    runs = sorted((json.loads(Path(p).read_text()) for p in paths),
                  key=lambda r: tuple(map(int, r["python"].split(".")[:2])))
    names = list(runs[0]["minimal"]["tests"])
    width = max(map(len, names))
    print(f"\n{title}: instructions per call, compiled / interpreted, minimal SDK / stand-in SDK (callgrind)")
    print(f"{'':<{width}}" + "".join(f"  {r['python']:>11}" for r in runs))

    def ratio(t):
        return t["compiled"] / t["interpreted"]

    for name in names:
        print(f"{name:<{width}}" + "".join(
            f"  {ratio(r['minimal']['tests'][name]):5.3f}/{ratio(r['stand-in']['tests'][name]):5.3f}" for r in runs))
    print(f"{'geometric mean':<{width}}" + "".join(
        f"  {r['minimal']['geomean']:5.3f}/{r['stand-in']['geomean']:5.3f}" for r in runs))
    if all("geomean without own" in r["minimal"] for r in runs):
        label = "  without the module's own instructions"
        print(f"{label:<{width}}" + "".join(
            f"  {r['minimal']['geomean without own']:5.3f}/{r['stand-in']['geomean without own']:5.3f}" for r in runs))
    imports = [{k: v / r["import"]["interpreted"] for k, v in r["import"].items()} for r in runs]
    print(f"{'import (floor: an empty module)':<{width}}" + "".join(
        f"  {i['compiled']:5.3f} ({i['empty module']:4.2f})" for i in imports))


def callgrind(sdk_name, calls, top, exclude):
    """Instruction profile of ``calls`` calls of each test, compiled and
    interpreted, against one SDK: instructions per call of each test, and over
    the tests not matching ``exclude``, self cost per library and per
    function, and the functions where the two differ most."""
    profiles, names = per_test_profiles(sdk_name, calls, with_functions=True)

    def short_object(obj):
        if "test_zeto_data" in obj:
            return "test module"
        return "libpython" if Path(obj).name.startswith("libpython") else Path(obj).name

    print_instruction_table(sdk_name, calls, profiles, names)

    chosen = [k for k, name in enumerate(names) if not (exclude and re.search(exclude, name))]
    n_calls = calls * len(chosen)
    summed = {}
    for which, per_test in ((w, profiles[w]) for w in ("compiled", "interpreted")):
        total = sum(per_test[k][0] for k in chosen)
        functions = {}
        for k in chosen:
            for key, ir in per_test[k][1].items():
                functions[key] = functions.get(key, 0) + ir
        summed[which] = (total, functions)
    scope = f"the {len(chosen)} tests not matching {exclude!r}" if exclude else f"all {len(names)} tests"
    print(f"\nSelf cost by function over {scope}, instructions per test call:")
    for which, (total, functions) in summed.items():
        print(f"\n{which}: {total / n_calls:,.0f} instructions per call")
        by_object = {}
        for (_, obj), ir in functions.items():
            by_object[short_object(obj)] = by_object.get(short_object(obj), 0) + ir
        print("  by library: " + ", ".join(f"{name} {100 * ir / total:.1f}%" for name, ir in
                                            sorted(by_object.items(), key=lambda kv: -kv[1])[:5]))
        for (name, obj), ir in sorted(functions.items(), key=lambda kv: -kv[1])[:top]:
            print(f"  {100 * ir / total:5.1f}%  {ir / n_calls:7,.0f}  {name}  [{short_object(obj)}]")
    c_total, c_functions = summed["compiled"]
    i_total, i_functions = summed["interpreted"]
    diff = sorted(((c_functions.get(k, 0) - i_functions.get(k, 0)) / n_calls, k)
                  for k in set(c_functions) | set(i_functions))
    print(f"\ncompiled minus interpreted, instructions per call (total {(c_total - i_total) / n_calls:+,.0f}):")
    print("  compiled spends more in:")
    for d, (name, obj) in reversed(diff[-top // 2:]):
        if d > 0:
            print(f"    {d:+7,.0f}  {name}  [{short_object(obj)}]")
    print("  compiled spends less in:")
    for d, (name, obj) in diff[:top // 2]:
        if d < 0:
            print(f"    {d:+7,.0f}  {name}  [{short_object(obj)}]")
    print(f"\n(dumps: {OUT.relative_to(ROOT)}/callgrind.{sdk_name}.*; e.g. callgrind_annotate --inclusive=yes <dump>)")


def parse_annotate(report):
    """PROGRAM TOTALS and {(function, object file): self instructions} from
    ``callgrind_annotate --inclusive=no``; recursion levels are merged."""
    total = None
    costs = {}
    objects = {}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$", line)
        if not m:
            continue
        ir = int(m.group(1).replace(",", ""))
        rest = m.group(2)
        if rest.startswith("PROGRAM TOTALS"):
            total = ir
            continue
        if total is None:
            continue
        # Functions on the stack when the counters were zeroed show up with
        # the whole run as their cost: they are not hot, only still active.
        if ir >= total * 0.999:
            continue
        obj = ""
        if rest.endswith("]") and " [" in rest:
            rest, obj = rest[:-1].rsplit(" [", 1)
        source, _, name = rest.partition(":")  # source paths hold no ':', C++ names do
        name = re.sub(r"'\d+$", "", name)
        # Code inlined from a header is listed under that header, and without
        # its object file: fold it into the function that it is part of.
        if obj:
            objects.setdefault(name, obj)
        elif "/Python-" in source:
            objects.setdefault(name, "libpython")
        costs[name] = costs.get(name, 0) + ir
    if total is None:
        raise SystemExit("cannot read callgrind_annotate output")
    return total, {(name, objects.get(name, "?")): ir for name, ir in costs.items()}


# ---- report --------------------------------------------------------------------------


def optimization_tag():
    return "" if not sys.flags.optimize else sys.flags.optimize


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def summarise(result):
    rows = []
    for name, t in result["tests"].items():
        c = statistics.median(t["compiled"])
        i = statistics.median(t["interpreted"])
        paired = sorted(a / b for a, b in zip(t["compiled"], t["interpreted"]))
        q = statistics.quantiles(paired, n=4) if len(paired) >= 2 else [paired[0]] * 3
        rows.append((name, c, i, c / i, q[0], q[2]))
    return rows


def print_table(title, rows, floor):
    width = max(len(r[0]) for r in rows)
    print(f"\n{title}")
    print(f"{'test':<{width}}  {'compiled':>11}  {'interpreted':>11}  {'ratio':>6}  {'paired IQR':>13}")
    print(f"{'':<{width}}  {'ns/call':>11}  {'ns/call':>11}  {'c/i':>6}")
    for name, c, i, r, lo, hi in rows:
        print(f"{name:<{width}}  {c:11.0f}  {i:11.0f}  {r:6.3f}  {lo:6.3f}-{hi:6.3f}")
    print(f"{'geometric mean of ratios':<{width}}  {'':>11}  {'':>11}  {geomean([r[3] for r in rows]):6.3f}")
    print(f"(harness floor: calling an empty Python function costs {floor:.0f} ns in the timing loop)")


def write_svg(tables, path):
    """A horizontal bar chart of the ratios, one group per SDK (no dependencies)."""
    names = [r[0] for r in next(iter(tables.values()))]
    sdk_names = list(tables)
    colours = ["#4c72b0", "#dd8452", "#55a868"]
    bar, gap, left, scale = 9, 8, 330, 300  # scale: pixels per ratio 1.0
    top = 40
    height = top + len(names) * (bar * len(sdk_names) + gap) + 40
    max_ratio = max(max(r[3] for r in rows) for rows in tables.values())
    scale = min(scale, 560 / max(max_ratio, 1.0))
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{left + 620}" height="{height}" '
             f'font-family="sans-serif" font-size="11">',
             f'<text x="{left}" y="16">compiled / interpreted time per call (lower is better)</text>']
    for j, sdk in enumerate(sdk_names):
        parts.append(f'<rect x="{left + 360 + 110 * j}" y="24" width="10" height="10" fill="{colours[j]}"/>'
                     f'<text x="{left + 374 + 110 * j}" y="33">{sdk}</text>')
    y = top
    for k, name in enumerate(names):
        parts.append(f'<text x="{left - 6}" y="{y + bar * len(sdk_names) / 2 + 4}" text-anchor="end">{name}</text>')
        for j, sdk in enumerate(sdk_names):
            ratio = tables[sdk][k][3]
            parts.append(f'<rect x="{left}" y="{y}" width="{ratio * scale:.1f}" height="{bar - 1}" '
                         f'fill="{colours[j]}"/><text x="{left + ratio * scale + 4:.1f}" y="{y + bar - 1}" '
                         f'font-size="9">{ratio:.2f}</text>')
            y += bar
        y += gap
    parts.append(f'<line x1="{left + scale}" y1="{top - 4}" x2="{left + scale}" y2="{y}" stroke="black" '
                 f'stroke-dasharray="3,3"/><text x="{left + scale}" y="{y + 14}" text-anchor="middle">1.0</text>')
    parts.append("</svg>")
    path.write_text("\n".join(parts) + "\n")


# ---- the user's loop: whole runs --------------------------------------------------


def failing_checkout(where):
    """A copy of the stand-in SDK whose source keys use "-": two tests fail."""
    shutil.rmtree(where, ignore_errors=True)
    return copy_sdk(where, *DASHED_KEY)


def installed_venv(where):
    """A venv with the suite installed as users install it (built once)."""
    python = where / "bin" / "python"
    stamp = where / ".installed"
    sources = [ROOT / "setup.py", *ROOT.glob("tests/unit/*.[ch]*"), *ROOT.glob("zeto_compiled_tests/*")]
    if not stamp.is_file() or any(p.stat().st_mtime > stamp.stat().st_mtime for p in sources):
        shutil.rmtree(where, ignore_errors=True)
        subprocess.run([sys.executable, "-m", "venv", str(where)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "--quiet", "pytest", str(ROOT)], check=True)
        stamp.touch()
    return python


def user_loop(rounds):
    """Median wall time of whole warm runs, interleaved round by round."""
    work = ROOT / "build" / "bench-loop"
    checkout = failing_checkout(work / "sdk")
    plain = work / "plain"
    plain.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(str(INTERPRETED_SOURCE), str(plain / "test_zeto_data.py"))
    (plain / "pytest.ini").write_text("[pytest]\n")
    installed = installed_venv(work / "venv")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE") and k not in ("ZETO_SDK", "PYTEST_ADDOPTS")}
    plain_env = dict(env, PYTHONPATH=str(checkout))
    base = os.path.realpath(sys.executable)
    runs = {
        "plain pytest, project venv": ([sys.executable, "-m", "pytest", "-q", "-p", "no:hypothesispytest",
                                        "test_zeto_data.py"], plain, plain_env),
        "make run SDK=": (["make", "-s", "-C", str(ROOT), "run", f"SDK={checkout}", f"PYTHON={base}", "ARGS=-q"],
                          checkout, dict(env, PWD=str(checkout))),
        "plain pytest, installed venv": ([str(installed), "-m", "pytest", "-q", "test_zeto_data.py"], plain, plain_env),
        "zeto-compiled-tests": ([str(installed.with_name("zeto-compiled-tests")), "-q"], checkout, env),
    }
    times = {name: [] for name in runs}
    for round_ in range(rounds + 2):  # the first two warm the caches
        for name, (command, cwd, run_env) in runs.items():
            started = time.perf_counter()
            done = subprocess.run(command, cwd=str(cwd), env=run_env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True)
            elapsed = time.perf_counter() - started
            if "2 failed" not in done.stdout:
                raise SystemExit(f"{name}: not the two failures expected:\n{done.stdout}")
            if round_ >= 2:
                times[name].append(elapsed)
    medians = {name: statistics.median(values) for name, values in times.items()}
    print(f"\nThe user's loop: a whole warm run against an SDK failing two tests, median of {rounds} "
          f"interleaved rounds (make with PYTHON={base}):")
    pairs = (("make run SDK=", "plain pytest, project venv"), ("zeto-compiled-tests", "plain pytest, installed venv"))
    for name, baseline in pairs:
        print(f"  {name:<22} {medians[name] * 1000:7.1f} ms   {baseline:<30} {medians[baseline] * 1000:7.1f} ms"
              f"   ratio {medians[name] / medians[baseline]:.2f}")
    return medians


def python_flags():
    return ["-O"] * sys.flags.optimize


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=31, help="timed rounds per test (default 31)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed rounds first (default 3)")
    parser.add_argument("--sample-ms", type=float, default=20.0, help="length of one sample (default 20 ms)")
    parser.add_argument("--imports", type=int, default=40, help="fresh interpreters per import timing (default 40)")
    parser.add_argument("--loop", type=int, default=20, help="interleaved rounds of whole runs (default 20)")
    parser.add_argument("--sdk", choices=sorted(SDKS), action="append", help="only these SDKs (repeatable)")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions with callgrind (per test and import) instead of timing")
    parser.add_argument("--callgrind", action="store_true", help="profile with callgrind instead of timing")
    parser.add_argument("--calls", type=int, default=300,
                        help="--instructions, --callgrind: calls of each test (default 300)")
    parser.add_argument("--exclude", help="--callgrind: leave tests matching this regex out of the function profile")
    parser.add_argument("--top", type=int, default=25, help="--callgrind: functions to list (default 25)")
    parser.add_argument("--table", nargs="+", metavar="JSON",
                        help="one table of the instruction counts of several interpreters (their instructions.json)")
    parser.add_argument("--title", default="Every interpreter", help="--table: its title")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.table:
        table(args.table, args.title)
        return

    if args.worker:
        result = worker(args.worker, args.rounds, args.sample_ms * 1e6, args.warmup)
        json.dump(result, sys.stdout)
        return

    # The interpreted suite is to be imported from its bytecode cache: make
    # sure that the cache is there and current before any worker imports it.
    py_compile.compile(str(INTERPRETED_SOURCE), doraise=True, optimize=sys.flags.optimize,
                       cfile=importlib.util.cache_from_source(str(INTERPRETED_SOURCE),
                                                              optimization=optimization_tag()))
    sdks = args.sdk or list(SDKS)
    if args.instructions:
        instructions(sdks, args.calls)
        return
    if args.callgrind:
        for sdk in sdks:
            callgrind(sdk, args.calls, args.top, args.exclude)
        return

    started = time.monotonic()
    print(f"Python {sys.version.split()[0]} ({sys.executable}), optimize={sys.flags.optimize}; "
          f"{args.rounds} rounds of {args.sample_ms:g} ms samples per test and variant, "
          f"after {args.warmup} warm-up rounds; worker pinned to one CPU")
    OUT.mkdir(exist_ok=True)
    results = {}
    tables = {}
    for sdk in sdks:
        # One fresh worker per SDK module; workers run one after another.
        proc = subprocess.run([sys.executable, *python_flags(), "-I", str(Path(__file__).resolve()),
                               "--worker", str(SDKS[sdk]), "--rounds", str(args.rounds),
                               "--warmup", str(args.warmup), "--sample-ms", str(args.sample_ms)],
                              capture_output=True, text=True, cwd=ROOT)
        if proc.returncode != 0:
            sys.stderr.write(proc.stderr)
            raise SystemExit(f"benchmark worker for the {sdk} SDK failed")
        results[sdk] = json.loads(proc.stdout)
        tables[sdk] = summarise(results[sdk])
        print_table(f"SDK module: {sdk} ({results[sdk]['sdk']})", tables[sdk], results[sdk]["floor_ns"])

    print("\nSummary (geometric mean of compiled/interpreted):")
    for sdk, rows in tables.items():
        print(f"  {sdk:<9} {geomean([r[3] for r in rows]):.3f}")

    if args.imports > 0:
        imports = import_cost(args.imports, python_flags())
        results["import"] = imports
        print(f"\nImport of the test module alone (SDK and packages already imported), "
              f"median of {args.imports} fresh interpreters each:")
        print(f"  compiled     {imports['compiled'] / 1000:8.1f} us   ({COMPILED_NAME})")
        print(f"  interpreted  {imports['interpreted'] / 1000:8.1f} us   ({INTERPRETED_NAME}, from bytecode cache)")
        print(f"  ratio c/i    {imports['compiled'] / imports['interpreted']:8.3f}")

    if args.loop > 0:
        results["loop"] = user_loop(args.loop)

    (OUT / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    write_svg(tables, OUT / "ratios.svg")
    print(f"\nRaw samples: {(OUT / 'results.json').relative_to(ROOT)}; chart: "
          f"{(OUT / 'ratios.svg').relative_to(ROOT)}; took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Our runtime beside ONNX Runtime's CPU engine over a model directory (see
compare-ort.sh, which prepares it): the same ONNX file, inputs and thread
count for both.

    compare_ort.py DIR RUNS THREADS[,THREADS...] [MODEL ...]

Per model and thread count: median ms per inference of each engine (the
better of ROUNDS runs, default 2, the engines alternated: on a shared
machine a neighbour's burst slows one run of one engine, not both of
either) and the ratio ours/theirs; peak resident memory of each process (ONNX Runtime's less
what node itself takes); the time from loading to the first result (open,
build and first execution against session creation and first run; the best
of LOADS runs, default 3, the engines alternated); and the check of every
output. Then, per thread count, the geometric mean of the
ratios, the worst model and the failures.

Checks, with err(a, b) = max |a - b| / max |b| over an output:
- every model: err(ours, PyTorch) and err(ours, ONNX Runtime) at most 1e-3;
- detectors (family "detection"): the same outputs as ONNX Runtime, boxes in
  the same order (ties among random-weight scores break differently in
  PyTorch, so ONNX Runtime is the judge);
- fixed-point models ("quantized"): signal-to-noise against PyTorch no worse
  than ONNX Runtime's by more than 0.5 dB, each the mean over the timed
  image and the check images the export keeps (one image's swings by about
  that much).
"""
import json
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build", "bin")
TOLERANCE = 1e-3


def describe(d, name):
    """The corpus description of a model; the zoo's older one-input form is read as such."""
    spec = json.load(open(os.path.join(d, name + ".json")))
    if "inputs" in spec:
        spec["in_files"] = [os.path.join(d, f"{name}.in{i}.raw") for i in range(len(spec["inputs"]))]
        spec["ref_files"] = [os.path.join(d, f"{name}.ref{i}.raw") for i in range(len(spec["outputs"]))]
        return spec
    # NAME.input.raw, NAME.reference.raw, input_shape (bench/zoo/export_zoo.py, make-bench-models)
    spec["family"] = "quantized" if spec.get("quantized") else spec.get("family", "classification")
    spec["inputs"] = [{"name": spec.get("input", ""), "shape": spec["input_shape"], "type": "float32"}]
    spec["outputs"] = [{"name": spec.get("output", "")}]
    spec["in_files"] = [os.path.join(d, name + ".input.raw")]
    ref = os.path.join(d, name + ".reference.raw")
    spec["ref_files"] = [ref if os.path.exists(ref) else None]
    return spec


def peak(cmd, work):
    """Runs cmd; its standard output and its peak resident kilobytes."""
    rss = os.path.join(work, "rss")
    r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss] + cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError((r.stderr or r.stdout).strip().splitlines()[-1][:160] if (r.stderr or r.stdout).strip() else "failed")
    return r.stdout, int(open(rss).read().split()[-1])


def load_and_first(cmd):
    """Load plus first execution, in ms, of one more run of `cmd` (inf when it fails)."""
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        return math.inf
    d = json.loads(r.stdout)
    return d["load_ms"] + d["first_ms"]


def err(a, b):
    if a.shape != b.shape:
        return math.inf
    if a.size == 0:
        return 0.0
    scale = max(float(np.max(np.abs(b))), 1e-6)
    return float(np.max(np.abs(a.astype(np.float64) - b))) / scale


def sqnr(a, ref):
    if a.shape != ref.shape:
        return -math.inf
    return float(10 * np.log10(np.sum(ref.astype(np.float64) ** 2) / max(np.sum((a - ref.astype(np.float64)) ** 2), 1e-30)))


def same_detections(spec, ours_dir, ort_dir):
    """Whether two detectors' outputs list the same detections, allowing
    neighbours whose scores tie to within float rounding to swap places
    (random weights saturate many scores at nearly the same value, and a
    deep network moves them by float rounding, up to 1e-4). Every output
    has one row per detection."""
    rows = []
    for out in spec["outputs"]:
        file = "".join(c if c.isalnum() or c in "._-" else "_" for c in out["name"]) + ".raw"
        a = np.fromfile(os.path.join(ours_dir, file), dtype=np.float32)
        b = np.fromfile(os.path.join(ort_dir, file), dtype=np.float32)
        rows.append((out["name"], a, b))
    n = len(rows[0][2]) // max(1, int(np.prod(spec["outputs"][0]["shape"][1:]) or 1))
    scores = next((r for r in rows if r[0] == "scores"), None)
    if scores is None or any(len(a) != len(b) for _, a, b in rows) or n == 0:
        return False, 0
    per = [(name, a.reshape(n, -1), b.reshape(n, -1), max(float(np.max(np.abs(b))), 1e-6)) for name, a, b in rows]

    def close(name, a, b, scale):
        # A pasted mask moves by a whole pixel where a box corner, moved by
        # rounding, crosses a pixel boundary: masks agree on average.
        if name == "masks":
            return float(np.mean(np.abs(a - b))) <= 1e-2
        return float(np.max(np.abs(a - b))) / scale <= TOLERANCE

    used = np.zeros(n, bool)
    moved = 0
    for i in range(n):
        tie = np.where(~used & (np.abs(scores[1] - scores[2][i]) <= TOLERANCE * max(float(np.max(np.abs(scores[2]))), 1e-6)))[0]
        match = next((j for j in tie if all(close(name, a[j], b[i], s) for name, a, b, s in per)), None)
        if match is None:
            return False, moved
        used[match] = True
        moved += match != i
    return True, moved


def run_checks(d, name, spec, dlc, threads, work):
    """(ours, ONNX Runtime's) signal-to-noise on each check image of a
    fixed-point model, into spec["checked"]."""
    spec["checked"] = []
    shape = ",".join(map(str, spec["inputs"][0]["shape"]))
    for k in range(spec.get("checks", 0)):
        base = os.path.join(d, f"{name}.check{k}")
        ref = np.fromfile(base + ".ref0.raw", dtype=np.float32)
        out = os.path.join(work, f"check{k}")
        os.makedirs(out)
        subprocess.run([os.path.join(BIN, "vexa-bench"), dlc, "--threads", str(threads), "--warmup", "0", "--iterations", "1",
                        "--output_dir", out, "--json", "--input", f"{spec['inputs'][0]['name']}={base}.in0.raw",
                        "--input_dimensions", f"{spec['inputs'][0]['name']}={shape}"], check=True, capture_output=True)
        ours = np.fromfile(os.path.join(out, sorted(os.listdir(out))[0]), dtype=np.float32)
        theirs_file = os.path.join(work, f"check{k}.ort.raw")
        subprocess.run(["node", "bench/ort/time_ort.js", os.path.join(d, name + ".onnx"), base + ".in0.raw", "1", str(threads),
                        shape, theirs_file], check=True, capture_output=True)
        spec["checked"].append((sqnr(ours, ref), sqnr(np.fromfile(theirs_file, dtype=np.float32), ref)))


def check(spec, ours_dir, ort_dir):
    """'ok' with the largest errors, or what failed."""
    family = spec["family"]
    if family == "detection":
        ok, moved = same_detections(spec, ours_dir, ort_dir)
        if ok:
            return "ok =ORT" + (f", {moved} tied rows swapped" if moved else "")
    worst_ref = worst_ort = 0.0
    notes = []
    for i, out in enumerate(spec["outputs"]):
        file = "".join(c if c.isalnum() or c in "._-" else "_" for c in out["name"]) + ".raw"
        if not out["name"]:
            file = sorted(os.listdir(ours_dir))[0] if os.listdir(ours_dir) else "missing"
        ours_path, ort_path = os.path.join(ours_dir, file), os.path.join(ort_dir, file)
        if not os.path.exists(ours_path):
            return f"output {out['name'] or i} missing"
        ours = np.fromfile(ours_path, dtype=np.float32)
        theirs = np.fromfile(ort_path, dtype=np.float32) if os.path.exists(ort_path) else None
        ref = np.fromfile(spec["ref_files"][i], dtype=np.float32) if spec["ref_files"][i] else theirs
        if family == "quantized":
            mine = [sqnr(ours, ref)] + [a for a, _ in spec.get("checked", [])]
            orts = [sqnr(theirs, ref)] + [b for _, b in spec.get("checked", [])]
            mine, orts = sum(mine) / len(mine), sum(orts) / len(orts)
            if mine < orts - 0.5:
                return f"SQNR {mine:.1f} dB, ONNX Runtime's {orts:.1f} dB"
            notes.append(f"SQNR {mine:.1f}/{orts:.1f} dB")
            continue
        e_ort = err(ours, theirs) if theirs is not None else math.inf
        worst_ort = max(worst_ort, e_ort)
        if family == "detection":
            if e_ort > TOLERANCE:
                return f"{out['name']}: {ours.size} values, ONNX Runtime's {theirs.size}, err {e_ort:.2g}"
            continue
        e_ref = err(ours, ref)
        worst_ref = max(worst_ref, e_ref)
        if e_ref > TOLERANCE or e_ort > TOLERANCE:
            return f"{out['name'] or 'output'}: err vs PyTorch {e_ref:.2g}, vs ONNX Runtime {e_ort:.2g}"
    if notes:
        return "ok " + ", ".join(notes)
    return f"ok {worst_ref:.0e}/{worst_ort:.0e}" if family != "detection" else f"ok =ORT {worst_ort:.0e}"


def main():
    d, runs, threads_list = sys.argv[1], int(sys.argv[2]), [int(t) for t in sys.argv[3].split(",")]
    models = sys.argv[4:] or sorted(f[:-5] for f in os.listdir(d) if f.endswith(".json") and
                                    os.path.exists(os.path.join(d, f[:-5] + ".onnx")))
    empty_node = peak(["node", "-e", "require('./bench/ort/node_modules/onnxruntime-node')"], tempfile.mkdtemp())[1]
    header = f"{'model':22} {'family':16} {'thr':>3} {'ours_ms':>9} {'ort_ms':>9} {'ratio':>6} {'ours_MB':>8} {'ort_MB':>7} " \
             f"{'ours_1st':>9} {'ort_1st':>9}  check"
    print(header, flush=True)
    summary = []
    for threads in threads_list:
        ratios, failures, worst = [], [], ("", 0.0)
        for m in models:
            spec = describe(d, m)
            with tempfile.TemporaryDirectory() as work:
                ours_dir, ort_dir = os.path.join(work, "ours"), os.path.join(work, "ort")
                os.makedirs(ours_dir)
                os.makedirs(ort_dir)
                dlc = os.path.join(work, m + ".dlc")
                subprocess.run([os.path.join(BIN, "vexa-dlc-pack"), "-o", dlc, os.path.join(d, m + ".onnx")],
                               check=True, capture_output=True)
                cmd = [os.path.join(BIN, "vexa-bench"), dlc, "--threads", str(threads), "--warmup", "1",
                       "--iterations", str(runs), "--output_dir", ours_dir, "--json"]
                for inp, f in zip(spec["inputs"], spec["in_files"]):
                    cmd += ["--input", f"{inp['name']}={f}" if inp["name"] else f]
                    if inp["name"]:
                        cmd += ["--input_dimensions", f"{inp['name']}=" + ",".join(map(str, inp["shape"]))]
                try:
                    text, ours_kb = peak(cmd, work)
                    ours = json.loads(text)
                except Exception as e:
                    print(f"{m:22} {spec['family']:16} {threads:3}  ours failed: {e}", flush=True)
                    failures.append(m)
                    continue
                if "inputs" in json.load(open(os.path.join(d, m + ".json"))):
                    ort_cmd = ["node", "bench/ort/time_ort.js", os.path.join(d, m + ".onnx"), os.path.join(d, m + ".json"),
                               str(runs), str(threads), ort_dir]
                else:
                    ort_cmd = ["node", "bench/ort/time_ort.js", os.path.join(d, m + ".onnx"), spec["in_files"][0],
                               str(runs), str(threads), ",".join(map(str, spec["inputs"][0]["shape"])),
                               os.path.join(ort_dir, sorted(os.listdir(ours_dir))[0])]
                try:
                    text, ort_kb = peak(ort_cmd, work)
                    theirs = json.loads(text)
                except Exception as e:
                    print(f"{m:22} {spec['family']:16} {threads:3} {ours['median_ms']:9.2f}  ONNX Runtime failed: {e}", flush=True)
                    continue
                if spec["family"] == "quantized":
                    run_checks(d, m, spec, dlc, threads, work)
                verdict = check(spec, ours_dir, ort_dir)
                if not verdict.startswith("ok"):
                    failures.append(m)
                for _ in range(int(os.environ.get("ROUNDS", "2")) - 1):
                    ours["median_ms"] = min(ours["median_ms"], json.loads(peak(cmd, work)[0])["median_ms"])
                    theirs["median_ms"] = min(theirs["median_ms"], json.loads(peak(ort_cmd, work)[0])["median_ms"])
                ratio = ours["median_ms"] / theirs["median_ms"]
                ratios.append(ratio)
                if ratio > worst[1]:
                    worst = (m, ratio)
                first_ours = ours["load_ms"] + ours["first_ms"]
                first_ort = theirs["load_ms"] + theirs["first_ms"]
                # One load on a shared VM swings by several times: the best of
                # LOADS (default 3), the engines alternated.
                for _ in range(int(os.environ.get("LOADS", "3")) - 1):
                    again = [a for a in cmd]
                    again[again.index("--iterations") + 1] = "1"
                    at = again.index("--output_dir")
                    del again[at:at + 2]
                    first_ours = min(first_ours, load_and_first(again))
                    # Without the output file or folder, its last argument.
                    ort_again = ort_cmd[:6] if ort_cmd[3].endswith(".json") else ort_cmd[:7]
                    ort_again[4] = "1"
                    first_ort = min(first_ort, load_and_first(ort_again))
                print(f"{m:22} {spec['family']:16} {threads:3} {ours['median_ms']:9.2f} {theirs['median_ms']:9.2f} {ratio:6.2f} "
                      f"{ours_kb / 1024:8.0f} {(ort_kb - empty_node) / 1024:7.0f} {first_ours:9.0f} {first_ort:9.0f}  {verdict}",
                      flush=True)
        if ratios:
            geo = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
            summary.append(f"{threads} thread(s): geometric mean ours/ORT {geo:.3f} over {len(ratios)} models, worst "
                           f"{worst[0]} {worst[1]:.2f}; failed: {', '.join(failures) if failures else 'none'}")
    print()
    for line in summary:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Seeds the faults of tools/mutants.txt one at a time and checks that a test catches each.

The tree is copied out of the work tree (the files git knows, as they are on disk) into a
scratch folder, built once there, and its tests run once unchanged. Then, for each fault,
the edit is applied to the copy, the copy is rebuilt incrementally, the test binaries the
fault names run with a time limit, and the file is restored. One line per fault:

    killed          a test failed (or hung past the limit)
    survived        every test passed: no test notices the fault
    did not build   the edit does not compile
    not applied     the text to replace is not in the file (exactly once)
    equivalent      listed as indistinguishable from the right code; only checked to apply
    skipped         seen only under Wine, which does not run here; only checked to apply

Exit status 1 when any fault survived or did not apply, 2 when the copy itself does not
build or its tests fail unchanged.

Usage: tools/mutate.py [--list FILE] [--only ID,ID...] [--ci] [--check] [--keep-going]
Environment: MUTATE_DIR (the scratch folder), JOBS, MUTATE_TIMEOUT (seconds per run).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The runs under Wine: the cross build's tests, and the installer.
WINDOWS_RUNS = {"windows", "windows-msi"}
# Runs on the sources alone, nothing to build.
SOURCE_RUNS = {"layers"}


@dataclass
class Fault:
    ident: str
    file: str = ""
    runs: list = field(default_factory=list)
    what: str = ""
    old: list = field(default_factory=list)
    new: list = field(default_factory=list)
    equivalent: str = ""
    ci: bool = True
    line: int = 0


def parse(path):
    """Blocks separated by blank lines; '#' lines are comments.

    id: NAME          file: PATH          run: BINARY[:FILTER] ...   what: TEXT
    - old text (one line; several '-' lines are joined with newlines)
    + new text (likewise; no '+' line deletes the old text)
    equivalent: REASON      ci: no
    """
    faults, cur = [], None
    for n, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if raw.startswith("#"):
            continue
        if not raw.strip():
            cur = None
            continue
        if cur is None:
            cur = Fault(ident="", line=n)
            faults.append(cur)
        if raw.startswith("- ") or raw == "-":
            cur.old.append(raw[2:])
        elif raw.startswith("+ ") or raw == "+":
            cur.new.append(raw[2:])
        else:
            key, _, value = raw.partition(":")
            value = value.strip()
            if key == "id":
                cur.ident = value
            elif key == "file":
                cur.file = value
            elif key == "run":
                cur.runs = value.split()
            elif key == "what":
                cur.what = value
            elif key == "equivalent":
                cur.equivalent = value
            elif key == "ci":
                cur.ci = value != "no"
            else:
                sys.exit(f"{path}:{n}: unknown line: {raw}")
    for f in faults:
        if not (f.ident and f.file and f.old and (f.runs or f.equivalent)):
            sys.exit(f"{path}:{f.line}: a fault needs id, file, '-' text and run (or equivalent)")
    ids = [f.ident for f in faults]
    dupes = {i for i in ids if ids.count(i) > 1}
    if dupes:
        sys.exit(f"{path}: ids used twice: {', '.join(sorted(dupes))}")
    return faults


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p and (ROOT / p).is_file()]


def sync_tree(dest):
    """Copies the tree into dest, touching only files whose content changed, so a build
    left there from an earlier run stays incremental."""
    wanted = set(tracked_files())
    for rel in wanted:
        src, dst = ROOT / rel, dest / rel
        data = src.read_bytes()
        if dst.is_file() and dst.read_bytes() == data:
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        dst.write_bytes(data)
        shutil.copymode(src, dst)
    for path in sorted(dest.rglob("*"), reverse=True):
        rel = path.relative_to(dest).as_posix()
        if rel.split("/")[0].startswith("build"):
            continue
        if path.is_file() and rel not in wanted:
            path.unlink()


def run(cmd, cwd, timeout, env=None, log=None):
    """Runs cmd; returns (exit code or None on time-out, seconds)."""
    start = time.monotonic()
    with open(log or os.devnull, "ab") as out:
        try:
            p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True)
            code = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, 9)
            p.wait()
            code = None
    return code, time.monotonic() - start


class Copy:
    def __init__(self, where, jobs, timeout):
        self.src = where
        self.build = where / "build"
        self.wbuild = where / "build-windows"
        self.jobs = jobs
        self.timeout = timeout
        self.log = where / "mutate.log"
        self.kinds = {}
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        if shutil.which("ccache"):
            # A fault and its undoing rebuild the same file twice: the second is a hit.
            self.env.update(CCACHE_BASEDIR=str(where), CMAKE_CXX_COMPILER_LAUNCHER="ccache",
                            CMAKE_C_COMPILER_LAUNCHER="ccache")
        self.env.setdefault("XDG_RUNTIME_DIR", tempfile.mkdtemp(prefix="mutate-run-"))

    def note(self, text):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write(f"\n===== {text}\n")

    def configure(self):
        if (self.build / "build.ninja").exists():
            return True
        cmd = ["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=Release", "-DCPUCONFIG_BENCH=OFF", "-DCPUCONFIG_WERROR=OFF"]
        return run(cmd, self.src, None, self.env, self.log)[0] == 0

    def targets(self, runs):
        names = {r.split(":")[0] for r in runs}
        out = sorted(n for n in names if n not in WINDOWS_RUNS | SOURCE_RUNS)
        if names & WINDOWS_RUNS:
            out.append("cpuctl")
        return out

    def make(self, targets, timeout=None):
        if not targets:
            return True
        cmd = ["cmake", "--build", str(self.build), "-j", str(self.jobs), "--"] + targets
        return run(cmd, self.src, timeout, self.env, self.log)[0] == 0

    def binary(self, name):
        for sub in ("tests", "cli", "shell"):
            p = self.build / sub / name
            if p.exists():
                return p
        return self.build / name

    def test(self, entry):
        """Runs one 'binary[:filter]' entry; True when it passed."""
        name, _, filt = entry.partition(":")
        if name == "windows":
            # The 64-bit engine build is what every machine's Wine runs; the faults seen
            # under Wine are in the engine.
            env = dict(self.env, JOBS=str(self.jobs), WINDOWS_ARCHS="x86_64", WINDOWS_GUI="0",
                       WINDOWS_BUILD=self.wbuild.name, WINE_REQUIRED="1")
            cmd = ["tools/test-windows.sh", str(self.build / "cli" / "cpuctl")]
            code, _ = run(cmd, self.src, self.timeout * 3, env, self.log)
            return code == 0
        if name == "layers":
            code, _ = run([sys.executable, "tools/check-layers", str(self.src)], self.src,
                          self.timeout, self.env, self.log)
            return code == 0
        if name == "windows-msi":
            # The installer: the 64-bit desktop build, its zip and MSI, installed, run,
            # upgraded and removed under Wine; a folder of its own, built with Qt.
            env = dict(self.env, JOBS=str(self.jobs), WINDOWS_ARCHS="x86_64",
                       WINDOWS_BUILD=self.wbuild.name + "-msi", WINE_REQUIRED="1")
            cmd = ["tools/package-windows.sh", str(self.build / "cli" / "cpuctl")]
            code, _ = run(cmd, self.src, self.timeout * 3, env, self.log)
            return code == 0
        cmd = [str(self.binary(name))]
        if self.is_gtest(name):
            cmd.append("--gtest_fail_fast")
            if filt:
                cmd.append("--gtest_filter=" + filt)
        elif filt:
            cmd += filt.split(",")
        code, _ = run(cmd, self.build, self.timeout, self.env, self.log)
        return code == 0

    def is_gtest(self, name):
        # A GoogleTest binary carries its own flag names; a Qt Test one does not.
        if name not in self.kinds:
            self.kinds[name] = b"gtest_fail_fast" in self.binary(name).read_bytes()
        return self.kinds[name]


def apply_edit(text, fault):
    old = "\n".join(fault.old)
    new = "\n".join(fault.new)
    if text.count(old) != 1:
        return None
    return text.replace(old, new)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--list", default=str(ROOT / "tools" / "mutants.txt"))
    ap.add_argument("--only", default="", help="comma-separated fault ids")
    ap.add_argument("--ci", action="store_true", help="only the faults not marked 'ci: no'")
    ap.add_argument("--check", action="store_true",
                    help="only check that every edit applies to the work tree")
    ap.add_argument("--keep-going", action="store_true",
                    help="go on when the unchanged copy fails its tests")
    args = ap.parse_args()

    faults = parse(Path(args.list))
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {f.ident for f in faults}
        if unknown:
            sys.exit("no such fault: " + ", ".join(sorted(unknown)))
        faults = [f for f in faults if f.ident in wanted]
    if args.ci:
        faults = [f for f in faults if f.ci]

    if args.check:
        bad = [f for f in faults
               if not (ROOT / f.file).is_file()
               or apply_edit((ROOT / f.file).read_text(encoding="utf-8"), f) is None]
        for f in bad:
            print(f"not applied   {f.ident} {f.file}")
        print(f"mutate: {len(faults) - len(bad)}/{len(faults)} edits apply")
        return 1 if bad else 0

    where = Path(os.environ.get("MUTATE_DIR") or
                 Path(tempfile.gettempdir()) / f"cpuconfig-mutate-{os.getuid()}")
    where.mkdir(parents=True, exist_ok=True)
    jobs = int(os.environ.get("JOBS") or os.cpu_count() or 2)
    copy = Copy(where, jobs, float(os.environ.get("MUTATE_TIMEOUT", "300")))
    copy.log.write_text("")
    began = time.monotonic()

    print(f"mutate: {len(faults)} faults, copy in {where} (log: {copy.log})", flush=True)
    sync_tree(where)
    # The Windows checks need Wine's 64-bit loader; where it cannot run, their faults are
    # only checked to apply, and say so.
    wine64 = "/usr/lib/wine/wine64"
    wine = os.access(wine64, os.X_OK) and \
        subprocess.run([wine64, "--version"], capture_output=True).returncode == 0
    if not wine:
        print("mutate: Wine does not run here: the faults seen only under Wine are skipped")
    skipped = {f.ident for f in faults if set(f.runs) & WINDOWS_RUNS and not wine}
    live = [f for f in faults if not f.equivalent and f.ident not in skipped]
    targets = sorted({t for f in live for t in copy.targets(f.runs)})
    # Unchanged, each binary runs once in whole: that covers every filter the faults use.
    entries = sorted({r.split(":")[0] for f in live for r in f.runs})
    copy.note("build the unchanged copy")
    if not copy.configure() or not copy.make(["all"] if not targets else targets):
        print("mutate: the unchanged copy does not build; see " + str(copy.log))
        return 2
    built = time.monotonic()
    print(f"mutate: built in {built - began:.0f} s; running the tests unchanged", flush=True)
    bad = []
    for e in entries:
        copy.note(f"unchanged: {e}")
        if not copy.test(e):
            bad.append(e)
    if bad:
        print("mutate: the unchanged copy fails " + ", ".join(bad) + "; see " + str(copy.log))
        if not args.keep_going:
            return 2
    print(f"mutate: unchanged tests pass ({time.monotonic() - built:.0f} s)", flush=True)

    tally = {}
    width = max(len(f.ident) for f in faults)
    for f in faults:
        path = where / f.file
        t0 = time.monotonic()
        original = path.read_text(encoding="utf-8") if path.is_file() else None
        mutated = apply_edit(original, f) if original is not None else None
        if mutated is None:
            verdict = "not applied"
        elif f.equivalent:
            verdict = "equivalent"
        elif f.ident in skipped:
            verdict = "skipped"
        else:
            copy.note(f"fault {f.ident}: {f.file}")
            path.write_text(mutated, encoding="utf-8")
            try:
                if not copy.make(copy.targets(f.runs), copy.timeout):
                    verdict = "did not build"
                else:
                    verdict = "survived"
                    for e in f.runs:
                        copy.note(f"fault {f.ident}: {e}")
                        if not copy.test(e):
                            verdict = "killed"
                            break
            finally:
                path.write_text(original, encoding="utf-8")
        tally[verdict] = tally.get(verdict, 0) + 1
        why = f.equivalent if verdict == "equivalent" else f.what
        print(f"{verdict:<13} {f.ident:<{width}} {f.file:<30} {time.monotonic() - t0:5.0f} s  "
              f"{why}", flush=True)

    counted = tally.get("killed", 0) + tally.get("survived", 0)
    score = 100.0 * tally.get("killed", 0) / counted if counted else 0.0
    parts = ", ".join(f"{n} {v}" for v, n in sorted(tally.items()))
    print(f"mutate: score {tally.get('killed', 0)}/{counted} = {score:.1f} % ({parts}); "
          f"{time.monotonic() - began:.0f} s in all")
    return 1 if tally.get("survived") or tally.get("not applied") else 0


if __name__ == "__main__":
    sys.exit(main())

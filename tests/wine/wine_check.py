#!/usr/bin/env python3
"""Runs the Windows build for real under wine (32-bit), driven from Linux.

Steps (each one a ctest entry, run in this order):
  build      cross-build HUXDRVR.dll, KELVOR.DLL, huxhost.exe and probe.exe
             with the MinGW-w64 i686 toolchain; make a throwaway wine prefix
             whose COM1 and COM2 lead to links the simulated controllers make
  exports    the export and import tables (objdump -p)
  probe      probe.exe under wine: the entry point by name and ordinal,
             stdcall, GetHuxInfo, the parsers, load and unload
  scenarios  huxhost.exe scripts under wine against ps4sim on a
             pseudo-terminal mapped to COM1, each also run by the Linux
             huxhost against its own ps4sim: both transcripts must match the
             golden file, and both controllers must have seen the same frames

When the tools are missing, the script installs them as root on Debian
(scripts/install-windows-deps) and otherwise skips with one line and the
exit code 77, which ctest reports as skipped.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

SKIP = 77
WINE_TIMEOUT = 120  # seconds for one wine launch (first runs are slow)

TOOLS = ["i686-w64-mingw32-gcc", "i686-w64-mingw32-g++", "i686-w64-mingw32-objdump", "wine", "wineserver"]
# What a Windows module of this project may import besides its own modules.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll", "ucrtbase.dll"}


def say(text):
    print(text, flush=True)


class Failed(Exception):
    pass


def run(cmd, timeout, **kwargs):
    """Runs a command with a time limit; returns the CompletedProcess."""
    try:
        return subprocess.run(cmd, timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired as e:
        raise Failed(f"timed out after {timeout} s: {' '.join(cmd)}") from e


def have_wine32():
    # wine32 provides the 32-bit loader; without it wine cannot start i686 programs.
    return any(os.path.exists(p) for p in ("/usr/lib/wine/wine", "/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so"))


def missing_tools():
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if not have_wine32():
        missing.append("wine32")
    return missing


def ensure_tools(source):
    """Returns None when everything is there, else the reason to skip."""
    missing = missing_tools()
    if not missing:
        return None
    installer = os.path.join(source, "scripts", "install-windows-deps")
    debian = os.path.exists("/etc/debian_version")
    if os.geteuid() == 0 and debian and os.environ.get("HUX_NO_INSTALL") is None:
        say(f"missing {' '.join(missing)}: running scripts/install-windows-deps")
        result = run(["sh", installer], timeout=1800)
        missing = missing_tools()
        if result.returncode == 0 and not missing:
            return None
        return f"scripts/install-windows-deps could not install {' '.join(missing) or 'the tools'}"
    how = "run scripts/install-windows-deps as root" if debian else "needs Debian's MinGW-w64 and wine32"
    return f"missing {' '.join(missing)} ({how})"


class Wine:
    """A throwaway 32-bit wine prefix under the work directory."""

    def __init__(self, work):
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, WINEARCH="win32", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.log = os.path.join(work, "wine.log")
        # COMn in the prefix lead to these links; each simulated controller
        # makes its link to the pseudo-terminal it serves.
        self.links = {"COM1": os.path.join(work, "line-com1"), "COM2": os.path.join(work, "line-com2")}

    def _quiet(self, cmd, timeout):
        # Wine's server and services inherit the standard streams of the
        # process that starts them: give them the log file, never a pipe.
        with open(self.log, "a") as log:
            return run(cmd, timeout=timeout, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def create(self):
        if os.path.exists(os.path.join(self.prefix, "system.reg")):
            return
        say("creating the wine prefix (the first run of wine is slow)")
        shutil.rmtree(self.prefix, ignore_errors=True)
        r = self._quiet(["wineboot", "-i"], timeout=300)
        if r.returncode != 0:
            raise Failed(f"wineboot -i failed ({r.returncode}); see {self.log}")
        for port, link in self.links.items():
            r = self._quiet(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/t", "REG_SZ", "/d", link, "/f"],
                            timeout=WINE_TIMEOUT)
            if r.returncode != 0:
                raise Failed(f"could not map {port} in the wine prefix; see {self.log}")
        self.stop()

    def start(self):
        with open(self.log, "a") as log:
            # Goes into the background itself; a server already running for
            # this prefix makes it exit at once.
            server = subprocess.Popen(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                      stderr=log, start_new_session=True)
            try:
                server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
        # The first program starts wine's services; let that be one whose
        # output goes to the log.
        self._quiet(["wineboot"], timeout=300)

    def stop(self):
        self._quiet(["wineserver", "-k"], timeout=60)
        self._quiet(["wineserver", "-w"], timeout=60)

    def program(self, exe, args, timeout=WINE_TIMEOUT, cwd=None):
        return run(["wine", exe] + args, timeout=timeout, env=self.env, stdin=subprocess.DEVNULL,
                   capture_output=True, cwd=cwd)


def win_path(path):
    return "Z:" + path.replace("/", "\\")


# ---------------------------------------------------------------- build


def step_build(args):
    cross = os.path.join(args.work, "cross")
    toolchain = os.path.join(args.source, "cmake", "mingw-i686.cmake")
    say(f"cross build in {cross}")
    r = run(["cmake", "-S", args.source, "-B", cross, f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", "-DCMAKE_BUILD_TYPE=Release",
             "-DHUX_TESTS=OFF", "-DHUX_BENCH=OFF", "-DHUX_FUZZ=OFF"], timeout=300, capture_output=True, text=True)
    if r.returncode != 0:
        say(r.stdout + r.stderr)
        raise Failed("configuring the cross build failed")
    r = run(["cmake", "--build", cross, "-j2"], timeout=1200, capture_output=True, text=True)
    if r.returncode != 0:
        say(r.stdout[-6000:] + r.stderr[-6000:])
        raise Failed("the cross build failed")
    bindir = os.path.join(cross, "bin")
    probe = [
        "i686-w64-mingw32-gcc", "-std=c11", "-O2", "-Wall", "-Wextra", "-Wshadow", "-Wformat=2", "-Werror",
        "-I", args.source, "-I", os.path.join(args.source, "hostapp", "kelvor"),
        os.path.join(args.source, "tests", "wine", "probe.c"), os.path.join(bindir, "KELVOR.DLL"),
        "-static", "-static-libgcc", "-o", os.path.join(bindir, "probe.exe")]
    r = run(probe, timeout=300, capture_output=True, text=True)
    if r.returncode != 0:
        say(r.stdout + r.stderr)
        raise Failed("building probe.exe failed")
    for name in ("HUXDRVR.dll", "KELVOR.DLL", "huxhost.exe", "probe.exe"):
        if not os.path.exists(os.path.join(bindir, name)):
            raise Failed(f"the cross build made no {name}")
    say("built HUXDRVR.dll KELVOR.DLL huxhost.exe probe.exe")
    Wine(args.work).create()
    say("wine prefix ready; COM1 and COM2 lead to " + ", ".join(Wine(args.work).links.values()))


def bin_dir(args):
    path = os.path.join(args.work, "cross", "bin")
    if not os.path.exists(os.path.join(path, "HUXDRVR.dll")):
        raise Failed("no cross build: the step 'build' has not run")
    return path


# ---------------------------------------------------------------- exports


def objdump(path):
    r = run(["i686-w64-mingw32-objdump", "-p", path], timeout=60, capture_output=True, text=True)
    if r.returncode != 0:
        raise Failed(f"objdump -p {path} failed: {r.stderr}")
    return r.stdout


def exports_of(dump):
    """([(ordinal, name)], number of entries in the export address table)."""
    if "[Ordinal/Name Pointer] Table" not in dump:
        return [], 0
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    addresses, names = dump.split("[Ordinal/Name Pointer] Table", 1)
    entries = len(re.findall(r"^\s*\[\s*\d+\] \+base\[", addresses, re.M))
    # The name table pairs each name with its index in the address table.
    named = re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", names.split("\n\n", 1)[0], re.M)
    return [(int(i) + base, n) for i, n in named], entries


def imports_of(dump):
    """{dll name: [member names]} from objdump's import tables."""
    table = {}
    current = None
    for line in dump.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = m.group(1)
            table[current] = []
            continue
        m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if current is not None and m:
            table[current].append(m.group(1))
        elif current is not None and not line.strip():
            current = None if table[current] else current
    return table


def step_exports(args):
    bindir = bin_dir(args)
    failures = []

    def check(ok, what):
        say(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    dump = objdump(os.path.join(bindir, "HUXDRVR.dll"))
    check(re.search(r"^Magic\s+010b\s+\(PE32\)", dump, re.M) is not None, "HUXDRVR.dll is a 32-bit PE (PE32)")
    check(re.search(r"^Name\s+[0-9a-f]+\s+HUXDRVR\.dll$", dump, re.M) is not None, "its module name is HUXDRVR.dll")
    exports, entries = exports_of(dump)
    say(f"     exports: {exports}, {entries} address table entries")
    check(exports == [(1, "HuxMain")] and entries == 1, "exactly one export: HuxMain at ordinal 1")
    imports = imports_of(dump)
    say(f"     imports: { {k: len(v) for k, v in imports.items()} }")
    check(imports.get("KELVOR.DLL") == ["err"], "err, and only err, imported from KELVOR.DLL")
    others = [d for d in imports if d != "KELVOR.DLL" and d.lower() not in SYSTEM_DLLS]
    check(not others, f"no other non-system import (found: {others})")
    check(not any(re.match(r"(libgcc|libstdc\+\+|libwinpthread)", d, re.I) for d in imports),
          "no MinGW runtime DLL (libgcc, libstdc++, libwinpthread linked in)")

    kdump = objdump(os.path.join(bindir, "KELVOR.DLL"))
    knames = [n for _, n in exports_of(kdump)[0]]
    check("err" in knames, f"KELVOR.DLL exports err ({knames})")
    hdump = objdump(os.path.join(bindir, "huxhost.exe"))
    himports = imports_of(hdump)
    check("HUXDRVR.dll" not in himports and "KELVOR.DLL" in himports,
          "huxhost.exe links KELVOR.DLL and loads HUXDRVR.dll at run time")
    hothers = [d for d in himports if d != "KELVOR.DLL" and d.lower() not in SYSTEM_DLLS]
    check(not hothers, f"huxhost.exe needs no other non-system DLL (found: {hothers})")
    if failures:
        raise Failed(f"{len(failures)} check(s) failed")


# ---------------------------------------------------------------- probe


def step_probe(args):
    bindir = bin_dir(args)
    wine = Wine(args.work)
    wine.start()
    try:
        r = wine.program(os.path.join(bindir, "probe.exe"), ["HUXDRVR.dll"], cwd=bindir)
    finally:
        wine.stop()
    out = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    sys.stdout.write(out)
    if r.returncode != 0 or not out.rstrip().endswith("PASS: 0 failed"):
        raise Failed(f"probe.exe exited {r.returncode}")


# ---------------------------------------------------------------- scenarios


class Sim:
    """A ps4sim on a new pseudo-terminal, linked from `link`."""

    def __init__(self, ps4sim, link, options, trace):
        if os.path.lexists(link):
            os.remove(link)
        self.trace = trace
        cmd = [ps4sim, "--link", link, "--trace", trace, "--quiet"] + options
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            self.stop()
            raise Failed(f"ps4sim did not start: {' '.join(cmd)}: {self.proc.stderr.read()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def frames(self):
        with open(self.trace, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()


def parse_scenario(path):
    """Directives (#! key: value) and the script lines for huxhost."""
    directives = {}
    lines = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"#!\s*([\w-]+):\s*(.*)$", line.rstrip("\n"))
            if m:
                directives.setdefault(m.group(1), []).append(m.group(2))
            else:
                lines.append(line)
    return directives, "".join(lines)


def normalise(text, names):
    text = text.replace("\r\n", "\n")
    for raw, shown in names:
        text = text.replace(raw, shown)
    return text


def run_scenario(args, name, path, wine, bindir):
    directives, script = parse_scenario(path)
    sim_options = " ".join(directives.get("sim", [])).split()
    sim2_options = directives.get("sim2")
    out_dir = os.path.join(args.work, "scenarios", name)
    os.makedirs(out_dir, exist_ok=True)
    golden_dir = os.path.join(args.source, "tests", "wine", "golden")
    results = {}
    for platform in ("linux", "wine"):
        sims = [Sim(args.ps4sim, wine.links["COM1"] if platform == "wine" else os.path.join(out_dir, "lin-line1"),
                    sim_options, os.path.join(out_dir, f"{platform}.trace"))]
        if sim2_options is not None:
            sims.append(Sim(args.ps4sim, wine.links["COM2"] if platform == "wine" else os.path.join(out_dir, "lin-line2"),
                            " ".join(sim2_options).split(), os.path.join(out_dir, f"{platform}.trace2")))
        try:
            if platform == "wine":
                port, port2 = "COM1", "COM2"
            else:
                port, port2 = sims[0].path, sims[1].path if len(sims) > 1 else "-"
            text = script.replace("@PORT2@", port2)
            script_file = os.path.join(out_dir, f"{platform}.script")
            with open(script_file, "w", encoding="utf-8") as f:
                f.write(text)
            started = time.monotonic()
            if platform == "wine":
                r = wine.program(os.path.join(bindir, "huxhost.exe"), ["--port", port, "script", win_path(script_file)],
                                 cwd=bindir)
            else:
                r = run([args.huxhost, "--port", port, "script", script_file], timeout=WINE_TIMEOUT,
                        stdin=subprocess.DEVNULL, capture_output=True)
            seconds = time.monotonic() - started
        finally:
            for sim in sims:
                sim.stop()
        names = [(port2, "@PORT2@")] if sim2_options is not None else []
        transcript = normalise(r.stdout.decode("utf-8", "replace"), names + [(port, "$PORT")])
        transcript += f"exit {r.returncode}\n"
        with open(os.path.join(out_dir, f"{platform}.txt"), "w", encoding="utf-8") as f:
            f.write(transcript)
        frames = sims[0].frames() + (sims[1].frames() if len(sims) > 1 else [])
        results[platform] = (transcript, frames, r.stderr.decode("utf-8", "replace"), seconds)

    failures = []
    for platform in ("linux", "wine"):
        # Where wine differs from Windows, the wine run has a golden file of
        # its own; the Linux run keeps to the common one.
        own = platform == "wine" and "wine-differs" in directives
        golden = os.path.join(golden_dir, f"{name}.wine.txt" if own else f"{name}.txt")
        transcript = results[platform][0]
        if args.update and (platform == "linux" or own):
            with open(golden, "w", encoding="utf-8") as f:
                f.write(transcript)
        expected = open(golden, encoding="utf-8").read() if os.path.exists(golden) else ""
        if transcript != expected:
            failures.append(f"{platform} transcript differs from {os.path.relpath(golden, args.source)}")
            diff = run(["diff", "-u", golden, os.path.join(out_dir, f"{platform}.txt")], timeout=30,
                       capture_output=True, text=True)
            say(diff.stdout[:8000])
            if results[platform][2].strip():
                say(f"{platform} stderr:\n{results[platform][2][-3000:]}")
    if results["linux"][1] != results["wine"][1]:
        failures.append("the controller saw different frames from the DLL than from the Linux library")
        diff = run(["diff", "-u", os.path.join(out_dir, "linux.trace"), os.path.join(out_dir, "wine.trace")], timeout=30,
                   capture_output=True, text=True)
        say(diff.stdout[:8000])
    for note in directives.get("wine-differs", []):
        say(f"     note: wine differs from Windows here: {note}")
    verdict = "FAIL" if failures else "ok  "
    say(f"{verdict} {name}: {len(results['wine'][1])} frames, linux {results['linux'][3]:.1f} s, "
        f"wine {results['wine'][3]:.1f} s")
    for f in failures:
        say(f"     {f}")
    return not failures


def step_scenarios(args):
    bindir = bin_dir(args)
    for tool in (args.ps4sim, args.huxhost):
        if not tool or not os.path.exists(tool):
            raise Failed(f"native tool missing: {tool}")
    scen_dir = os.path.join(args.source, "tests", "wine", "scenarios")
    names = sorted(f[:-4] for f in os.listdir(scen_dir) if f.endswith(".hux"))
    if args.only:
        names = [n for n in names if n in args.only]
    wine = Wine(args.work)
    wine.start()
    ok = True
    try:
        for name in names:
            ok = run_scenario(args, name, os.path.join(scen_dir, name + ".hux"), wine, bindir) and ok
    finally:
        wine.stop()
    if not ok:
        raise Failed("some scenarios failed")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("step", choices=["build", "exports", "probe", "scenarios"])
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--work", required=True, help="where the cross build and the wine prefix live")
    parser.add_argument("--ps4sim", help="the native ps4sim")
    parser.add_argument("--huxhost", help="the native huxhost")
    parser.add_argument("--only", nargs="*", help="scenarios to run (default: all)")
    parser.add_argument("--update", action="store_true", help="write the golden transcripts from this run")
    args = parser.parse_args()
    args.source = os.path.abspath(args.source)
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)

    reason = ensure_tools(args.source)
    if reason:
        say(f"SKIPPED wine tests: {reason}")
        return SKIP
    try:
        {"build": step_build, "exports": step_exports, "probe": step_probe, "scenarios": step_scenarios}[args.step](args)
    except Failed as e:
        say(f"FAILED: {e}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

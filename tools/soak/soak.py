#!/usr/bin/env python3
"""Fault soak: update cycles of a two-package release against the real updater, each with one
to three faults drawn from a seeded generator, and the invariants checked after every run.

    python3 tools/soak/soak.py [--build-dir build] [--cycles 25] [--seed 1] [--cycle K]
                               [--work DIR] [--seconds LIMIT]

Each cycle lays the sandbox's installation out afresh (the stand-in messenger with the app
"core" 1.0 and the plug-in "emoticons" 0.9, scripts/sandbox.sh), serves core 1.1 (with a
1.5 MB library and a patch package from 1.0) and emoticons 1.0 with nginx behind a relay and
the reference update server, and runs vorn-updater -q under Xvfb with openbox. The server also
offers two components new to the installation, the plug-in "themes" and the app component
"voice"; in about half of the cycles the messenger reports them as installed at their latest
version, so that only core and emoticons are offered. The faults:

    kill         SIGKILL at a random file operation of the run, then a restart
    term         SIGTERM at a random moment
    second       a second updater at a random moment
    cut, stall, trickle
                 the package connection cut, stalled then cut, or trickling for a while
    fulldownload, fullinstall
                 a small file system over the download directory or the messenger's lib/
    damaged, othersigned
                 a package body with a byte flipped, or one its publisher's key did not sign
    userchanged  the user changed a file that core's patch applies to
    windowclose  the window closed by the window manager

After every run that ended (not killed) it checks: every file and mode of the installation is
the old release or the new one (after a rollback, files that stood nowhere before may stay);
nothing outside the installation and the download directory changed; after a clean end the
download directory holds nothing of the run; no process is left; the exit code is 0 and every
box shows a text of the catalogue. It prints a table and, for each break, the command that
replays its cycle. Exit code: 0 without breaks, 1 with breaks, 77 when a tool is missing.
Everything runs in private network and mount namespaces; nothing leaves the machine.
"""

import argparse
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))

FAULTS = ["kill", "term", "second", "cut", "stall", "trickle", "fulldownload", "fullinstall",
          "damaged", "othersigned", "userchanged", "windowclose"]
CONNECTION = {"cut", "stall", "trickle"}
BODY = {"damaged", "othersigned"}
# A run that takes longer than this has hung.
RUN_SECONDS = 90


def enter_namespaces():
    """Re-runs this script in private network and mount namespaces, loopback up."""
    if os.environ.get("VORN_SOAK_INSIDE") == "1":
        return
    os.environ["VORN_SOAK_INSIDE"] = "1"
    command = ["unshare", "--net", "--mount", "--map-root-user", "sh", "-c",
               'ip link set lo up && exec "$@"', "sh", sys.executable] + sys.argv
    os.execvp("unshare", command)


def bash(script, env=None, **kwargs):
    """Runs bash with scripts/sandbox.sh sourced."""
    return subprocess.run(["bash", "-c", "set -e; source scripts/sandbox.sh; " + script],
                          cwd=PROJECT, env=env, **kwargs)


def listing(root, skip=()):
    """path -> (kind, mode, sha256) below root, leaving out the paths in skip and below."""
    entries = {}
    if not os.path.isdir(root):
        return entries
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if any(relative == s or relative.startswith(s + "/") for s in skip):
                continue
            status = os.lstat(path)
            if os.path.islink(path):
                entries[relative] = ("l", 0, os.readlink(path))
            elif os.path.isdir(path):
                entries[relative] = ("d", status.st_mode & 0o7777, "")
            elif os.path.isfile(path):
                with open(path, "rb") as file:
                    digest = hashlib.sha256(file.read()).hexdigest()
                entries[relative] = ("f", status.st_mode & 0o7777, digest)
            else:
                entries[relative] = ("s", status.st_mode & 0o7777, "")
        subdirectories[:] = [d for d in subdirectories
                             if not os.path.islink(os.path.join(directory, d))]
    return entries


def allow_core_dumps():
    """A crash leaves its core in the logs, for gdb."""
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def catalogue_patterns(path):
    """Every text of the catalogue as a run shows it (the translation, or the source text where
    it stays English), as a pattern that takes any value for %1...%9 and the web page. A text
    that ends with a blank is the beginning of what the box shows."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    patterns = []
    for source, translation in re.findall(
            r"<source>(.*?)</source>\s*<translation[^>]*>(.*?)</translation>", text, re.S):
        shown = (translation or source).replace("&quot;", '"').replace("&lt;", "<") \
            .replace("&gt;", ">").replace("&amp;", "&").replace("\n", " ")
        # The web page is filled in when the catalogue is built.
        parts = re.split(r"%[1-9]|@VORN_WEB_PAGE@", shown)
        end = "" if shown.endswith(" ") else "$"
        patterns.append(re.compile("^" + ".*".join(re.escape(p) for p in parts) + end, re.S))
    return patterns


class Soak:
    def __init__(self, arguments):
        self.arguments = arguments
        self.build = os.path.abspath(arguments.build_dir)
        self.work = os.path.abspath(arguments.work or os.path.join(self.build, "soak"))
        self.sandbox = os.path.join(self.work, "sandbox")
        self.root = os.path.join(self.sandbox, "messenger")
        self.home = os.path.join(self.sandbox, "home")
        self.plugins = os.path.join(self.home, ".Vorn", "plugins")
        self.tmp = os.path.join(self.sandbox, "tmp")
        self.downloads = os.path.join(self.tmp, "tupdates")
        self.www = os.path.join(self.sandbox, "www")
        self.logs = os.path.join(self.work, "logs")
        self.mode_file = os.path.join(self.work, "relay.mode")
        self.processes = []
        self.breaks = []
        self.faults_drawn = {fault: 0 for fault in FAULTS}
        self.runs = 0
        self.patterns = catalogue_patterns(os.path.join(PROJECT, "src/languages/vorn_pl_PL.ts"))
        self.environment = dict(os.environ, VORN_BUILD_DIR=self.build)
        self.environment.setdefault(
            "VORN_SIGNING_KEY", os.path.join(self.build, "signing.key"))

    # Set-up.

    def require(self):
        for tool in ["nginx", "Xvfb", "openbox", "xdotool"]:
            if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
                print(f"SKIP: {tool} is not installed (sh scripts/install-dependencies.sh)")
                sys.exit(77)

    def set_up(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.logs)
        env = dict(self.environment, SANDBOX_PAYLOAD_BYTES="1500000")
        bash(f"sandbox_create '{self.sandbox}' pl new", env=env, check=True,
             stdout=subprocess.DEVNULL)
        self.add_patch()
        self.add_other_signed()
        # The packages are fetched through the relay on 127.0.0.2.
        catalogue = os.path.join(self.sandbox, "catalogue.xml")
        with open(catalogue) as file:
            text = file.read()
        with open(catalogue, "w") as file:
            file.write(text.replace("http://127.0.0.1/", "http://127.0.0.2/"))
        with open(self.mode_file, "w") as file:
            file.write("pass\n")
        self.start_servers()
        self.pristine = os.path.join(self.work, "pristine")
        for name in ["messenger", "home", "tmp", "www"]:
            shutil.copytree(os.path.join(self.sandbox, name), os.path.join(self.pristine, name),
                            symlinks=True)
        # The new release as a clean run leaves it, and how many file operations that takes.
        self.reset()
        oplog = os.path.join(self.logs, "reference.ops")
        started = time.time()
        result = self.run_updater("reference", {"VORN_FILEOPS_LOG": oplog})
        # Faults at a random moment fall within a run's span.
        self.span = time.time() - started
        if result["exit"] != 0:
            raise SystemExit("soak: the reference run failed; see " + self.logs)
        self.new_unreported = self.installation()
        with open(oplog) as file:
            self.operations = sum(1 for line in file if not line.startswith("write\t"))
        self.reset()
        self.report_new_components()
        if self.run_updater("reference-reported")["exit"] != 0:
            raise SystemExit("soak: the reference run failed; see " + self.logs)
        self.new_reported = self.installation()
        self.cycles_with_new_components = 0

    def report_new_components(self):
        """The messenger reports themes and voice at the version published."""
        with open(os.path.join(self.root, "components.txt"), "a") as file:
            file.write("vorn themes plugin 1.0\nvorn voice app 1.0\n")

    def add_patch(self):
        """A patch package of core from 1.0, in core's catalogue entry."""
        old = os.path.join(self.work, "core-1.0")
        for path in ["lib/libvorn-core.so.1", "lib/libvorn-legacy.so.0", "share/readme.txt"]:
            os.makedirs(os.path.dirname(os.path.join(old, path)), exist_ok=True)
            shutil.copy(os.path.join(self.root, path), os.path.join(old, path))
        builder = os.path.join(self.build, "tools/packagebuilder/vorn-package-builder")
        sign = ["--sign", self.environment["VORN_SIGNING_KEY"]] \
            if os.path.exists(self.environment["VORN_SIGNING_KEY"]) else ["--unsigned"]
        element = subprocess.run(
            [builder, os.path.join(self.sandbox, "new/core"), "--patch-from", old,
             "--from-version", "1.0", "--project", "vorn", "--name", "core", "--type", "app",
             "--version", "1.1", "--link", "http://127.0.0.1/core-patch.zip",
             "--output", os.path.join(self.www, "core-patch.zip")] + sign,
            check=True, capture_output=True, text=True).stdout
        element = element[element.index("<patch"):]
        catalogue = os.path.join(self.sandbox, "catalogue.xml")
        with open(catalogue) as file:
            text = file.read()
        core = text.index('name="core"')
        end = text.index("</component>", core)
        with open(catalogue, "w") as file:
            file.write(text[:end] + element + text[end:])

    def add_other_signed(self):
        """core 1.1 as someone without the publisher's key would make it."""
        key = os.path.join(self.work, "other.key")
        subprocess.run(["sh", "scripts/signing-key.sh", key], cwd=PROJECT, check=True,
                       stdout=subprocess.DEVNULL)
        builder = os.path.join(self.build, "tools/packagebuilder/vorn-package-builder")
        subprocess.run([builder, os.path.join(self.sandbox, "new/core"), "--project", "vorn",
                        "--name", "core", "--type", "app", "--version", "1.1",
                        "--link", "http://127.0.0.1/core.zip", "--remove",
                        "lib/libvorn-legacy.so.0", "--sign", key, "--output",
                        os.path.join(self.work, "core-other.zip")],
                       check=True, stdout=subprocess.DEVNULL)

    def start_servers(self):
        script = ("sandbox_start_servers; sandbox_start_display; echo \"display=$DISPLAY\"; "
                  "read -r _; sandbox_stop_display; sandbox_stop_servers")
        self.servers = subprocess.Popen(
            ["bash", "-c", f"source scripts/sandbox.sh; SANDBOX='{self.sandbox}'; "
             f"SANDBOX_WWW='{self.www}'; SANDBOX_RUN='{self.sandbox}/run'; {script}"],
            cwd=PROJECT, env=self.environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True)
        line = self.servers.stdout.readline().strip()
        if not line.startswith("display="):
            raise SystemExit("soak: the servers did not start")
        self.display = line.split("=", 1)[1]
        self.relay = subprocess.Popen([sys.executable, os.path.join(HERE, "relay.py"),
                                       "127.0.0.2", "80", self.mode_file])
        deadline = time.time() + 10
        while time.time() < deadline:
            if subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.2/80"],
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.05)

    def stop_servers(self):
        self.relay.kill()
        self.relay.wait()
        self.servers.stdin.write("\n")
        self.servers.stdin.close()
        self.servers.wait()

    # One cycle.

    def reset(self):
        for name in ["messenger", "home", "tmp", "www"]:
            target = os.path.join(self.sandbox, name)
            shutil.rmtree(target, ignore_errors=True)
            shutil.copytree(os.path.join(self.pristine, name), target, symlinks=True)
        with open(self.mode_file, "w") as file:
            file.write("pass\n")

    def installation(self):
        # The updater's lock file stays from its first run on.
        return {"messenger/" + p: v for p, v in listing(self.root, [".vorn-updater.lock"]).items()} | \
            {"plugins/" + p: v for p, v in listing(self.plugins).items()}

    def outside(self):
        entries = {"home/" + p: v for p, v in listing(self.home, [".Vorn/plugins"]).items()}
        entries |= {"tmp/" + p: v for p, v in listing(self.tmp, ["tupdates"]).items()}
        for name in ["catalogue.xml", "new"]:
            path = os.path.join(self.sandbox, name)
            entries |= {name + "/" + p: v for p, v in listing(path).items()} \
                if os.path.isdir(path) else {name: os.path.getsize(path)}
        return entries

    def run_updater(self, name, extra=None, delays=None):
        """Runs vorn-updater -q; delays: {action: seconds} for term, second and windowclose."""
        self.runs += 1
        log = os.path.join(self.logs, name + ".driver")
        env = dict(self.environment, HOME=self.home, TMPDIR=self.tmp,
                   XDG_RUNTIME_DIR=os.path.join(self.sandbox, "run", "xdg"),
                   # The updater's own state lies beside the installation, not in it.
                   XDG_STATE_HOME=os.path.join(self.sandbox, "run", "state"),
                   DISPLAY=self.display, LD_PRELOAD=os.path.join(
                       self.build, "tests/driver/libvorn_uidriver.so"),
                   VORN_DRIVER_LOG=log, VORN_DRIVER_CLICKS="Updater_Summary_Restart",
                   # A rollback is answered with Abort: Retry would start an updater of its own.
                   VORN_DRIVER_BOXES=",".join(["Abort"] * 20),
                   VORN_FILEOPS_WITHIN=":".join([self.root, self.plugins, self.downloads]))
        env.pop("QT_QPA_PLATFORM", None)
        if extra:
            env.update(extra)
            if "VORN_FILEOPS_KILL_AT" in extra or "VORN_FILEOPS_LOG" in extra:
                env["LD_PRELOAD"] += " " + os.path.join(self.build,
                                                        "tools/soak/libvorn_fileops.so")
        command = [os.path.join(self.root, "vorn-updater"), "-root", self.root, "-q"]
        with open(os.path.join(self.logs, name + ".err"), "w") as err:
            process = subprocess.Popen(command, env=env, stdout=err, stderr=err, cwd=self.logs,
                                       preexec_fn=allow_core_dumps)
            second = None
            started = time.time()
            pending = sorted((delays or {}).items(), key=lambda item: item[1])
            while process.poll() is None and time.time() - started < RUN_SECONDS:
                while pending and time.time() - started >= pending[0][1]:
                    action = pending.pop(0)[0]
                    if action == "term":
                        process.send_signal(signal.SIGTERM)
                    elif action == "second":
                        second = subprocess.Popen(command, env=dict(
                            env, VORN_DRIVER_LOG=log + "-second", LD_PRELOAD=env[
                                "LD_PRELOAD"].split()[0]), stdout=err, stderr=err)
                    elif action == "windowclose":
                        subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                        "^Aktualizuj$", "windowactivate", "--sync", "%1",
                                        "key", "alt+F4"], env=env, capture_output=True,
                                       timeout=10)
                time.sleep(0.01)
            hung = process.poll() is None
            if hung:
                process.kill()
            process.wait()
            results = {"exit": process.returncode, "hung": hung, "log": log}
            if second:
                try:
                    second.wait(RUN_SECONDS)
                    results["second"] = {"exit": second.returncode, "hung": False,
                                         "log": log + "-second"}
                except subprocess.TimeoutExpired:
                    second.kill()
                    second.wait()
                    results["second"] = {"exit": -9, "hung": True, "log": log + "-second"}
        return results

    def check(self, where, result, old, outside, clean, settled=True):
        """The invariants after a run that ended; returns the breaks found. Unless settled, a
        killed run's installation still waits for its restart."""
        found = []
        shown = os.path.exists(result["log"]) and os.path.getsize(result["log"]) > 0
        now = self.installation()
        if result["hung"]:
            found.append(f"{where}: still running after {RUN_SECONDS} s")
        elif result["exit"] == -signal.SIGTERM and not shown and now == old:
            # Ended before its code ran at all: no program can catch a signal that early.
            pass
        elif result["exit"] != 0:
            found.append(f"{where}: exit code {result['exit']}")
        if settled and now != old and now != self.new:
            added = {p: v for p, v in now.items() if p not in old}
            kept = {p: v for p, v in now.items() if p in old}
            if kept != old:
                changed = sorted(p for p in set(old) | set(now)
                                 if old.get(p) != now.get(p) and self.new.get(p) != now.get(p))
                found.append(f"{where}: the installation is neither release: {changed[:4]}")
            elif not added:
                found.append(f"{where}: the installation lost files")
        if self.outside() != outside:
            changed = sorted(set(self.outside().items()) ^ set(outside.items()))
            found.append(f"{where}: changed outside the installation: {changed[:2]}")
        if clean:
            left = sorted(p for p, v in listing(self.downloads).items()
                          if v[0] != "d" and p != "lock")
            if left:
                found.append(f"{where}: left in the download directory: {left[:4]}")
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as file:
                    command = file.read()
                if self.root.encode() in command:
                    found.append(f"{where}: process {pid} is left: {command[:80]}")
            except OSError:
                pass
        if os.path.exists(result["log"]):
            with open(result["log"], encoding="utf-8") as file:
                for line in file:
                    fields = line.rstrip("\n").split("\t")
                    if fields[0] != "box":
                        continue
                    # The download window's boxes keep the title "Update" in every language.
                    if fields[2] not in ("Aktualizuj", "Sprawdź aktualizacje", "Update") or not any(
                            p.match(fields[3]) for p in self.patterns):
                        found.append(f"{where}: undocumented box: {fields[2]}: {fields[3]}")
        return found

    def cycle(self, number):
        generator = random.Random(f"{self.arguments.seed}:{number}")
        faults = generator.sample(FAULTS, generator.randint(1, 3))
        # One connection fault and one body at a time.
        for group in (CONNECTION, BODY):
            chosen = [fault for fault in faults if fault in group]
            for extra in chosen[1:]:
                faults.remove(extra)
        for fault in faults:
            self.faults_drawn[fault] += 1
        self.reset()
        if random.Random(f"{self.arguments.seed}:{number}:components").random() < 0.5:
            self.report_new_components()
            self.new = self.new_reported
        else:
            self.new = self.new_unreported
            self.cycles_with_new_components += 1
        mounts = []
        extra = {}
        delays = {}
        if "userchanged" in faults:
            with open(os.path.join(self.root, "lib/libvorn-core.so.1"), "a") as file:
                file.write("patched by the user\n")
        if "fulldownload" in faults:
            size = generator.randint(64, 2600)
            os.makedirs(self.downloads, mode=0o700, exist_ok=True)
            subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}k,mode=0700", "tmpfs",
                            self.downloads], check=True)
            mounts.append(self.downloads)
        if "fullinstall" in faults:
            lib = os.path.join(self.root, "lib")
            saved = os.path.join(self.work, "lib-saved")
            shutil.rmtree(saved, ignore_errors=True)
            shutil.copytree(lib, saved)
            subprocess.run(["mount", "-t", "tmpfs", "-o",
                            f"size={generator.randint(12, 1700)}k,mode=0755", "tmpfs", lib],
                           check=True)
            mounts.append(lib)
            for name in os.listdir(saved):
                shutil.copy2(os.path.join(saved, name), os.path.join(lib, name))
        if "damaged" in faults:
            body = os.path.join(self.www, generator.choice(
                ["core-patch.zip", "core.zip", "emoticons.zip"]))
            with open(body, "r+b") as file:
                file.seek(generator.randint(0, os.path.getsize(body) - 1))
                byte = file.read(1)
                file.seek(-1, os.SEEK_CUR)
                file.write(bytes([byte[0] ^ 0x40]))
        if "othersigned" in faults:
            shutil.copy(os.path.join(self.work, "core-other.zip"),
                        os.path.join(self.www, "core.zip"))
        if "cut" in faults:
            self.set_mode(f"cut {generator.randint(70000, 1400000)}")
        if "stall" in faults:
            self.set_mode(f"stall {generator.randint(70000, 1400000)} "
                          f"{generator.randint(200, 1500)}")
        if "trickle" in faults:
            self.set_mode(f"trickle {generator.randint(1000, 300000)} "
                          f"{generator.randint(100, 1000)}")
        if "kill" in faults:
            extra["VORN_FILEOPS_KILL_AT"] = str(generator.randint(1, self.operations))
        for action in ("term", "second", "windowclose"):
            if action in faults:
                delays[action] = generator.uniform(0.0, self.span)

        old = self.installation()
        outside = self.outside()
        name = f"cycle{number}"
        breaks = []
        result = self.run_updater(name, extra, delays)
        killed = result["exit"] == -signal.SIGKILL and not result["hung"]
        if not killed:
            breaks += self.check(name, result, old, outside, clean=True)
        if "second" in result:
            breaks += self.check(name + " (second updater)", result["second"], old, outside,
                                 clean=False, settled=not killed)
        if killed:
            # The restart undoes the killed run, then updates.
            restart = self.run_updater(name + "-restart")
            breaks += self.check(name + " (restart)", restart, old, outside, clean=True)
        for mount in reversed(mounts):
            subprocess.run(["umount", "-l", mount], check=False)
        for text in breaks:
            self.breaks.append((number, faults, text))
        return faults, breaks

    def set_mode(self, mode):
        with open(self.mode_file, "w") as file:
            file.write(mode + "\n")

    def report(self, cycles, seconds):
        print(f"\n| Cycles | Runs | Seconds | Invariant breaks |")
        print(f"|---|---|---|---|")
        print(f"| {cycles} | {self.runs} | {seconds:.0f} | {len(self.breaks)} |")
        print(f"\nCycles offering components new to the installation: "
              f"{self.cycles_with_new_components}")
        print(f"\n| Fault | Cycles drawn |")
        print(f"|---|---|")
        for fault in FAULTS:
            print(f"| {fault} | {self.faults_drawn[fault]} |")
        if self.breaks:
            print("\nBreaks:")
            for number, faults, text in self.breaks:
                print(f"- seed {self.arguments.seed}, cycle {number} ({', '.join(faults)}): "
                      f"{text}\n  replay: python3 tools/soak/soak.py --build-dir "
                      f"{self.arguments.build_dir} --seed {self.arguments.seed} "
                      f"--cycle {number}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--cycles", type=int, default=25)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cycle", type=int, help="replay this cycle only")
    parser.add_argument("--work", help="scratch directory (default BUILD/soak)")
    parser.add_argument("--seconds", type=float, default=0,
                        help="stop starting cycles after this long (0: no limit)")
    arguments = parser.parse_args()
    enter_namespaces()
    soak = Soak(arguments)
    soak.require()
    soak.set_up()
    started = time.time()
    numbers = [arguments.cycle] if arguments.cycle is not None else range(arguments.cycles)
    done = 0
    try:
        for number in numbers:
            if arguments.seconds and time.time() - started > arguments.seconds:
                break
            faults, breaks = soak.cycle(number)
            done += 1
            print(f"cycle {number}: {', '.join(faults)}: "
                  f"{'ok' if not breaks else str(len(breaks)) + ' breaks'}", flush=True)
    finally:
        soak.stop_servers()
    soak.report(done, time.time() - started)
    return 1 if soak.breaks else 0


if __name__ == "__main__":
    sys.exit(main())

#!/bin/bash
# app-vs-lprint.sh: label-printer-app and Debian's LPrint side by side, on the same documents,
# in one run: time from `submit` to the device file closed, and each server's memory.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: bench/app-vs-lprint.sh [-n RUNS] [-a APP]... [-l LPRINT] [-k DIR] [-t] [-s] [-u]
#                               [-L LEVEL]
#   -n RUNS    timed jobs of each document on each server (default 7), after one untimed job
#   -a APP     our server binary (default build/release/app/label-printer-app); given more
#              than once, each build runs as a server of its own (ours1, ours2, ...), all
#              interleaved with LPrint in the same rounds
#   -l LPRINT  LPrint's binary (default lprint)
#   -k DIR     keep the logs, traces and output files in DIR (default: a temporary directory,
#              removed at the end)
#   -t         after the timed jobs, RUNS more jobs of each document on each server with the
#              client under a light strace (only execve, connect and exit_group stop it): the
#              client's start-up (exec -> connect) apart from the server's part (connect ->
#              device closed)
#   -s         then one job of each document with our server under `strace -f -tt -T`
#              (syscall counts printed; the traces kept with -k)
#   -u         then RUNS jobs of each document on our server with uprobes (`perf probe`) on
#              its job callbacks, the save and status callbacks, the timer and malloc_trim:
#              how often each ran and for how long
#   -L LEVEL   both servers' log level (default warn, our server's own default)
#
# Needs (nothing is installed here): root, for a private network namespace (`unshare -n`,
# util-linux; `ip`, iproute2), since LPrint listens on every address and has no option for
# loopback only: inside the namespace the only address is 127.0.0.1; `lprint` (Debian's
# package); python3 (the inotify waits go through the C library, no inotify-tools needed);
# Ghostscript `gs` for the PWG rasters; strace for -t and -s; perf (linux-perf) and a binary
# with its symbol table (not stripped) for -u.  Everything else comes from the tree:
# the label PDF from tools/make-label-pdf.
#
# Each server gets its own temporary HOME, state, spool, log and socket directory and its own
# port on 127.0.0.1, and a printer with a file: device in a temporary directory: ours with
# driver zpl_203, LPrint with zpl_4inch-203dpi-dt.  Documents: a 4x6 in label PDF, and the
# same label as PWG raster, 8-bit sGray and 1-bit black, 203 dpi (Ghostscript's pwgraster),
# and as an 8-bit grey PNG (Ghostscript's pnggray).  LPrint takes no PDF: its PDF jobs show
# as failed.
# Rounds interleave the servers and rotate which goes first.  A job's time runs from just
# before the `submit` client is started to the moment the device file is closed after writing
# (inotify IN_CLOSE_WRITE); every wait is bounded.  Memory is each server's VmHWM and VmRSS
# from /proc (and from smaps_rollup its proportional share Pss, and what is its own alone):
# idle after start (printer added), after each document's jobs, and at the end; the
# libraries' share comes from /proc/PID/smaps.  The client's own start-up is timed with
# `--version`, and the dynamic loader's statistics with LD_DEBUG=statistics.
set -euo pipefail

if [ "${APP_VS_LPRINT_NETNS:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "app-vs-lprint.sh: needs root for a private network namespace (unshare -n)" >&2
    exit 2
  fi
  APP_VS_LPRINT_NETNS=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
here=$(cd "$(dirname "$0")/.." && pwd)
export APP_VS_LPRINT_TREE=$here
exec python3 - "$@" <<'PYTHON'
import ctypes, getopt, os, re, select, shutil, signal, socket, statistics, struct, subprocess
import sys, tempfile, time

tree = os.environ["APP_VS_LPRINT_TREE"]
pairs, _ = getopt.getopt(sys.argv[1:], "n:a:l:k:tsuL:")
opts = dict(pairs)
runs = int(opts.get("-n", 7))
apps = [os.path.abspath(v) for k, v in pairs if k == "-a"] or \
       [os.path.join(tree, "build/release/app/label-printer-app")]
lprint = shutil.which(opts.get("-l", "lprint")) or opts.get("-l", "lprint")
keep = opts.get("-k")
trace = "-t" in opts
server_trace = "-s" in opts
probes = "-u" in opts
level = opts.get("-L", "warn")
for path in apps + [lprint]:
    if not os.access(path, os.X_OK):
        sys.exit(f"app-vs-lprint.sh: {path} is not an executable")

work = os.path.abspath(keep) if keep else tempfile.mkdtemp(prefix="app-vs-lprint-")
os.makedirs(work, exist_ok=True)
os.chmod(work, 0o755)
deadline_s = 30.0
wall_offset = time.time() - time.monotonic()

def loadavg():
    return open("/proc/loadavg").read().split()[:3]

# ---- inotify, through the C library

libc = ctypes.CDLL(None, use_errno=True)
IN_MODIFY, IN_CLOSE_WRITE, IN_CREATE = 0x2, 0x8, 0x100

class Watch:
    def __init__(self, directory, mask):
        self.fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, directory.encode(), mask) < 0:
            sys.exit(f"app-vs-lprint.sh: no inotify watch on {directory}")
        self.seen = []

    def wait(self, name, until, alive=None):
        """Returns the monotonic time at which `name` had an event; None at `until` or when
        `alive` says the process watched has gone."""
        while True:
            for when, n in self.seen:
                if n == name:
                    self.seen.remove((when, n))
                    return when
            left = until - time.monotonic()
            if left <= 0 or (alive is not None and not alive()):
                return None
            ready, _, _ = select.select([self.fd], [], [], min(left, 0.5))
            if not ready:
                continue
            now = time.monotonic()
            data = os.read(self.fd, 65536)
            at = 0
            while at < len(data):
                _, mask, _, size = struct.unpack_from("iIII", data, at)
                n = data[at + 16:at + 16 + size].rstrip(b"\0").decode()
                self.seen.append((now, n))
                at += 16 + size

    def close(self):
        os.close(self.fd)

# ---- the servers

def status(pid):
    values = {}
    try:
        for line in open(f"/proc/{pid}/status"):
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "Threads"):
                values[key] = int(value.split()[0])
    except OSError:
        pass
    return values

def cpu_ticks(pid):
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except OSError:
        return 0

def smaps_by_file(pid):
    """Resident kB by mapped file (anonymous memory under its own name)."""
    sizes, current = {}, None
    for line in open(f"/proc/{pid}/smaps"):
        if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
            parts = line.split(None, 5)
            current = parts[5].strip() if len(parts) > 5 else "[anonymous]"
        elif line.startswith("Rss:"):
            sizes[current] = sizes.get(current, 0) + int(line.split()[1])
    return sizes

class Server:
    def __init__(self, name, binary, driver, sock, extra):
        self.name, self.binary, self.driver = name, binary, driver
        self.dir = os.path.join(work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.out = os.path.join(self.dir, "out")
        os.makedirs(os.path.join(self.dir, "spool"))
        os.makedirs(self.out)
        self.env = dict(os.environ, HOME=self.dir, TMPDIR=self.dir, SNAP_COMMON=self.dir)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.sock = sock
        self.args = [binary, "server", "-o", f"server-port={self.port}",
                     "-o", f"log-file={self.dir}/log", "-o", f"log-level={level}",
                     "-o", f"spool-directory={self.dir}/spool"] + extra(self)
        self.times = {}
        self.client = {}
        self.cpu = {}
        self.failed = {}
        self.memory = {}

    def alive(self):
        return self.process.poll() is None

    def start(self):
        watch = Watch(self.dir, IN_CREATE)
        self.process = subprocess.Popen(self.args, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if watch.wait(self.sock, time.monotonic() + deadline_s, self.alive) is None:
            sys.exit(f"app-vs-lprint.sh: {self.name} did not start (see {self.dir}/log)")
        watch.close()
        self.run_client(["add", "-d", "z", "-m", self.driver, "-v", f"file://{self.out}?ext=zpl"])

    def run_client(self, args):
        done = subprocess.run([self.binary] + args, env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=deadline_s)
        if done.returncode != 0:
            sys.exit(f"app-vs-lprint.sh: {self.name} {' '.join(args)}: {done.stderr.strip()}")
        return done.stdout

    def job(self, doc, path, title, wrap=()):
        """One job: (ms to the device file closed, ms the client ran, the close's wall-clock
        time), or None.  `wrap` goes before the client's command (a tracer)."""
        watch = Watch(self.out, IN_CLOSE_WRITE)
        ticks = cpu_ticks(self.process.pid)
        start = time.monotonic()
        command = [self.binary, "submit", "-d", "z", "-t", title, path]
        client = subprocess.Popen(list(wrap) + command, env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        closed = watch.wait(title + ".zpl", start + deadline_s, self.alive)
        # The client's end, within the same bound; one still running then is killed.
        end = start + deadline_s
        while client.poll() is None and time.monotonic() < end:
            try:
                client.wait(timeout=0.5)
            except subprocess.TimeoutExpired:
                pass
        exited = time.monotonic()
        if client.poll() is None:
            client.kill()
            client.wait()
        watch.close()
        self.cpu.setdefault(doc, []).append(cpu_ticks(self.process.pid) - ticks)
        output = os.path.join(self.out, title + ".zpl")
        if closed is None or not os.path.exists(output) or os.path.getsize(output) == 0:
            self.failed[doc] = self.failed.get(doc, 0) + 1
            return None
        return (closed - start) * 1000, (exited - start) * 1000, closed + wall_offset

    def note_memory(self, when):
        self.memory[when] = status(self.process.pid)
        try:
            for line in open(f"/proc/{self.process.pid}/smaps_rollup"):
                key, _, value = line.partition(":")
                if key in ("Pss", "Private_Clean", "Private_Dirty"):
                    self.memory[when][key] = int(value.split()[0])
        except OSError:
            pass

    def stop(self):
        if getattr(self, "process", None) is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

ourServers = [Server("ours" if len(apps) == 1 else f"ours{i + 1}", app, "zpl_203",
                     os.path.basename(app) + ".sock",
                     lambda s: ["-o", "listen-hostname=127.0.0.1",
                                "-o", f"state-file={s.dir}/state",
                                "-o", f"file-directory={s.dir}"])
              for i, app in enumerate(apps)]
ours = ourServers[0]
peer = Server("lprint", lprint, "zpl_4inch-203dpi-dt", os.path.basename(lprint) + ".sock",
              lambda s: [])
servers = ourServers + [peer]

# ---- uprobes on our server

# The functions timed, by their names as `nm -C` shows them; inlined ones have no symbol.
PROBED = ["_papplJobProcessRaster", "_papplJobProcess", "filterPdf", "filterPng", "printRaw",
          "openPdf", "renderPdfPage", "placeGrey", "startJob", "startPage", "endPage", "endJob",
          "zpl::finishPage", "zpl::finishJob", "keepPreview", "jobTurn", "statusCallback",
          "saveState", "saveChanges", "noteEvent"]

def probe_jobs(server):
    symbols = {}
    for line in subprocess.run(["nm", "-C", server.binary], capture_output=True,
                               text=True).stdout.splitlines():
        parts = line.split(" ", 2)
        if len(parts) < 3 or parts[1] not in "tT" or "clone" in parts[2] or ".cold" in parts[2]:
            continue
        name = parts[2].replace("(anonymous namespace)::", "").split("(")[0]
        for want in PROBED:
            if name == want or name.endswith("::" + want):
                symbols.setdefault(want, int(parts[0], 16))
    libc_path = next((l.split()[-1] for l in open(f"/proc/{server.process.pid}/maps")
                      if "/libc.so" in l), None)
    added = []
    def add(binary, event, where):
        for suffix, place in (("", where), ("_ret", where + "%return")):
            done = subprocess.run(["perf", "probe", "-q", "-x", binary, "-a",
                                   f"appbench:{event}{suffix}={place}"], capture_output=True)
            if done.returncode == 0:
                added.append(f"appbench:{event}{suffix}")
    try:
        for name, address in symbols.items():
            add(server.binary, re.sub(r"\W", "_", name), hex(address))
        if libc_path:
            add(libc_path, "malloc_trim", "malloc_trim")
        if not added:
            return {}
        data = os.path.join(work, "probes.data")
        # perf starts with the events off and answers "ack" on a second FIFO once it has
        # turned them on.
        control, ack = os.path.join(work, "perf-control"), os.path.join(work, "perf-ack")
        for fifo in (control, ack):
            if not os.path.exists(fifo):
                os.mkfifo(fifo, 0o600)
        recorder = subprocess.Popen(["perf", "record", "-q", "-e", "appbench:*", "-o", data,
                                     "-D", "-1", "--control", f"fifo:{control},{ack}",
                                     "-p", str(server.process.pid)],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        control_fd = os.open(control, os.O_WRONLY)
        ack_fd = os.open(ack, os.O_RDONLY)
        os.write(control_fd, b"enable\n")
        ready, _, _ = select.select([ack_fd], [], [], deadline_s)
        if not ready or not os.read(ack_fd, 16).startswith(b"ack"):
            sys.exit("app-vs-lprint.sh: perf record did not turn its events on")
        for doc, path in docs.items():
            for r in range(runs):
                server.job(doc, path, f"{doc}-probed-{r + 1}")
        recorder.send_signal(signal.SIGINT)
        recorder.wait(timeout=deadline_s)
        os.close(control_fd)
        os.close(ack_fd)
        script = subprocess.run(["perf", "script", "-i", data, "-F", "tid,time,event"],
                                capture_output=True, text=True).stdout
    finally:
        if added:
            subprocess.run(["perf", "probe", "-q", "-d", "appbench:*"], capture_output=True)
    open_calls, took = {}, {}
    for line in script.splitlines():
        fields = line.split()
        if len(fields) < 3:
            continue
        tid, when = fields[0], float(fields[1].rstrip(":"))
        # perf names a return probe EVENT_ret__return.
        event = re.sub(r"__return$", "", fields[2].rstrip(":").split(":")[-1])
        if event.endswith("_ret"):
            start = open_calls.pop((tid, event[:-4]), None)
            if start is not None:
                took.setdefault(event[:-4], []).append((when - start) * 1000)
        else:
            open_calls[(tid, event)] = when
    return took

# ---- the documents

docs = {}
pdf = os.path.join(work, "label.pdf")
subprocess.run([os.path.join(tree, "tools/make-label-pdf"), "4x6in", pdf], check=True)
for kind, args in (("pwg8", ["-dcupsColorSpace=18", "-dcupsBitsPerColor=8"]),
                   ("pwg1", ["-dcupsColorSpace=3", "-dcupsBitsPerColor=1"])):
    path = os.path.join(work, f"label-{kind}.pwg")
    subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pwgraster",
                    "-r203"] + args + [f"-sOutputFile={path}", pdf], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    docs[kind] = path
docs["pdf"] = pdf
png = os.path.join(work, "label.png")
subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pnggray", "-r203",
                f"-sOutputFile={png}", pdf], check=True, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)
docs["png"] = png

load_start = loadavg()
try:
    for s in servers:
        s.start()
        s.note_memory("idle")
        s.smaps = smaps_by_file(s.process.pid)

    # Each document in turn, so that the memory after each kind of job shows: one untimed
    # job, then the timed rounds.
    for doc, path in docs.items():
        for s in servers:
            s.job(doc, path, f"{doc}-warm")
            s.failed.pop(doc, None)
            s.cpu.pop(doc, None)
        for r in range(runs):
            for s in servers[r % len(servers):] + servers[:r % len(servers)]:
                result = s.job(doc, path, f"{doc}-{r + 1}")
                if result is not None:
                    s.times.setdefault(doc, []).append(result[0])
                    s.client.setdefault(doc, []).append(result[1])
        for s in servers:
            s.note_memory(f"after {doc}")

    # The client alone: start-up and the dynamic loader.
    starts = {}
    for s in servers:
        took = []
        for _ in range(max(runs, 5)):
            t = time.monotonic()
            subprocess.run([s.binary, "--version"], env=s.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=deadline_s)
            took.append((time.monotonic() - t) * 1000)
        done = subprocess.run([s.binary, "--version"], env=dict(s.env, LD_DEBUG="statistics"),
                              capture_output=True, text=True, timeout=deadline_s)
        stats = {}
        for line in done.stderr.splitlines():
            m = re.search(r"total startup time in dynamic loader: ([0-9]+)", line)
            if m:
                stats["loader cycles"] = int(m.group(1))
            m = re.search(r"time needed for relocation: ([0-9]+)", line)
            if m:
                stats["relocation cycles"] = int(m.group(1))
            m = re.search(r"number of relocations: ([0-9]+)", line)
            if m:
                stats["relocations"] = int(m.group(1))
            m = re.search(r"number of relocations from cache: ([0-9]+)", line)
            if m:
                stats["from cache"] = int(m.group(1))
            m = re.search(r"number of loaded objects: ([0-9]+)", line) or \
                re.search(r"final number of loaded objects: ([0-9]+)", line)
            if m:
                stats["objects"] = int(m.group(1))
        starts[s.name] = (took, stats)
    for s in servers:
        s.note_memory("end")

    # Where a job's time goes, seen from the client: strace stops it only at execve, connect
    # and exit_group (a seccomp filter lets every other call through untouched).
    phases = {}
    if trace:
        for doc, path in docs.items():
            for r in range(runs):
                for s in servers[r % len(servers):] + servers[:r % len(servers)]:
                    log = os.path.join(work, f"client-{s.name}-{doc}-{r + 1}.txt")
                    result = s.job(doc, path, f"{doc}-phases-{r + 1}",
                                   ["strace", "-f", "-ttt", "-qq", "--seccomp-bpf", "-o", log,
                                    "-e", "trace=execve,connect,exit_group"])
                    stamps = {}
                    for line in open(log, errors="replace"):
                        m = re.match(r"\d+ +(\d+\.\d+) (\w+)\(", line)
                        if m and m.group(2) in ("execve", "connect", "exit_group"):
                            stamps.setdefault(m.group(2), float(m.group(1)))
                    if result is None or len(stamps) < 3:
                        continue
                    p = phases.setdefault((s.name, doc), {"start": [], "server": [], "exit": []})
                    p["start"].append((stamps["connect"] - stamps["execve"]) * 1000)
                    p["server"].append((result[2] - stamps["connect"]) * 1000)
                    p["exit"].append((stamps["exit_group"] - stamps["connect"]) * 1000)

    # Our server under strace (every call, so everything is slower), one job of each document.
    timelines = {}
    if server_trace and shutil.which("strace"):
        for doc, path in docs.items():
            log = os.path.join(work, f"strace-{doc}.txt")
            watch = Watch(work, IN_MODIFY)
            tracer = subprocess.Popen(["strace", "-f", "-tt", "-T", "-qq", "-o", log,
                                       "-p", str(ours.process.pid)],
                                      stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # strace writes its first line (the server's interrupted poll) once it has
            # attached.
            watch.wait(os.path.basename(log), time.monotonic() + deadline_s)
            watch.close()
            result = ours.job(doc, path, f"{doc}-traced")
            tracer.send_signal(signal.SIGINT)
            tracer.wait(timeout=deadline_s)
            timelines[doc] = (log, result)
    # Our server's own callbacks, timed by uprobes at their entries and returns.
    calls = {}
    if probes and shutil.which("perf"):
        calls = probe_jobs(ours)
finally:
    for s in servers:
        s.stop()

# ---- the report

def ms(values):
    return f"{statistics.median(values):.1f}" if values else "-"

def spread(values):
    return f"{min(values):.1f}–{max(values):.1f}" if values else "-"

def mb(kb):
    return f"{kb / 1024:.1f}" if kb else "-"

print(f"# label-printer-app vs LPrint, {runs} timed jobs each (after one untimed), "
      f"log level {level}")
print(f"load average at start {' '.join(load_start)}, at the end {' '.join(loadavg())}; "
      f"{os.cpu_count()} CPUs")
for s in ourServers:
    print(f"{s.name}: {s.binary}")
ver = subprocess.run([lprint, "--version"], capture_output=True, text=True).stdout.strip()
print(f"peer: {lprint} {ver}")
print()
print("| Document | Server | submit -> device closed, median ms | spread | client ran, median ms "
      "| server CPU ms/job (10 ms ticks, mean) | failed |")
print("|---|---|---:|---:|---:|---:|---:|")
for doc in docs:
    for s in servers:
        t = s.times.get(doc, [])
        cpu = s.cpu.get(doc, [])
        print(f"| {doc} | {s.name} | {ms(t)} | {spread(t)} | {ms(s.client.get(doc, []))} | "
              f"{10 * sum(cpu) / len(cpu) if cpu else 0:.1f} | {s.failed.get(doc, 0)} |")
print()
print("| Server | When | VmHWM MB | VmRSS MB | Pss MB | private MB |")
print("|---|---|---:|---:|---:|---:|")
for s in servers:
    for when, m in s.memory.items():
        private = m.get("Private_Clean", 0) + m.get("Private_Dirty", 0)
        print(f"| {s.name} | {when} | {mb(m.get('VmHWM'))} | {mb(m.get('VmRSS'))} | "
              f"{mb(m.get('Pss'))} | {mb(private)} |")
print()
print("| Client | --version median ms | spread | loader cycles | relocation cycles "
      "| relocations | objects |")
print("|---|---:|---:|---:|---:|---:|---:|")
for s in servers:
    took, stats = starts[s.name]
    print(f"| {s.name} | {ms(took)} | {spread(took)} | {stats.get('loader cycles', '-')} | "
          f"{stats.get('relocation cycles', '-')} | {stats.get('relocations', '-')} | "
          f"{stats.get('objects', '-')} |")

# Where the idle memory is: resident kB by mapped file, the libraries only one server maps.
print()
print("| Resident at idle, MB | " + " | ".join(s.name for s in servers) + " |")
print("|---|" + "---:|" * len(servers))
def group(sizes):
    g = {"heap and anonymous": 0, "executable": 0, "shared libraries": 0, "other": 0}
    for name, kb in sizes.items():
        if name in ("[heap]", "[anonymous]") or name.startswith("[anon"):
            g["heap and anonymous"] += kb
        elif ".so" in name:
            g["shared libraries"] += kb
        elif name.startswith("/"):
            g["executable"] += kb
        else:
            g["other"] += kb
    return g
groups = [group(s.smaps) for s in servers]
for key in groups[0]:
    print(f"| {key} | " + " | ".join(mb(g[key]) for g in groups) + " |")
for s in ourServers:
    only = {k: v for k, v in s.smaps.items() if ".so" in k and k not in peer.smaps}
    print()
    print(f"Libraries only {s.name} maps: {mb(sum(only.values()))} MB resident at idle"
          + (f", Poppler's own {mb(sum(v for k, v in only.items() if 'poppler' in k))} MB"
             if only else ""))
    for name, kb in sorted(only.items(), key=lambda kv: -kv[1]):
        print(f"  {kb:6d} kB  {name}")

if calls:
    print()
    print(f"Our server's functions under uprobes, {runs} jobs of each document "
          "(each probe adds a few µs):")
    print()
    print("| Function | calls | median ms | max ms | total ms |")
    print("|---|---:|---:|---:|---:|")
    for name, took in sorted(calls.items(), key=lambda kv: -sum(kv[1])):
        print(f"| {name} | {len(took)} | {statistics.median(took):.3f} | {max(took):.3f} | "
              f"{sum(took):.1f} |")

if phases:
    print()
    print("Where the time goes, from the client's strace (execve, connect, exit_group only):")
    print()
    print("| Document | Server | client start: exec -> connect, ms | connect -> device closed, ms "
          "| connect -> client exit, ms |")
    print("|---|---|---:|---:|---:|")
    for (name, doc), p in phases.items():
        print(f"| {doc} | {name} | {ms(p['start'])} | {ms(p['server'])} | {ms(p['exit'])} |")

for doc, (log, result) in timelines.items():
    print()
    took = f"{result[0]:.1f} ms" if result else "failed"
    print(f"## strace of our server, one {doc} job ({took} under strace)")
    first = None
    counts = {}
    for line in open(log, errors="replace"):
        m = re.match(r"(\d+) +(\d+):(\d+):(\d+\.\d+) (\w+)\((.*)", line)
        if not m:
            continue
        t = int(m.group(2)) * 3600 + int(m.group(3)) * 60 + float(m.group(4))
        first = t if first is None else first
        name = m.group(5)
        counts[name] = counts.get(name, 0) + 1
    print("syscalls: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items(),
                                                                  key=lambda kv: -kv[1])))
    print(f"(trace in {log})" if keep else "")

if not keep:
    shutil.rmtree(work, ignore_errors=True)
else:
    print()
    print(f"logs and outputs kept in {work}")
PYTHON

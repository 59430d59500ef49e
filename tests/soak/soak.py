#!/usr/bin/env python3
"""Crash-consistency soak for the strandel daemon.

A one-way and a two-way task run in one daemon while a generator creates,
appends to, rewrites in place, renames, moves and deletes files (0 bytes to
64 MiB), links and directories. The daemon is killed with SIGKILL at salted
random moments, some of them just after a 64 MiB file was written so that the
kill lands in its copy, and started again. Then:

  settle  the generator stops, the daemon starts a last time, and the trees
          are polled until they agree;
  tail    the generator runs again against the live daemon with no kill, stops,
          and the trees are polled until they agree once more;
  check   no temporary copy is left, the history of the tail tells the truth
          about the final trees, a full sync finds nothing to do, and the
          database passes its integrity check (it is also checked after every
          kill, on a copy, as the next start would find it).

What "the trees agree" means:
  * one-way: the source holds exactly what the generator made (the daemon never
    writes a one-way source); the destination holds every item of the source
    with the same type and contents. A full sync copies but never deletes, so
    the destination may keep items that the source lost unseen, while no
    daemon ran (or in the moment a kill cut short). An extra item in the
    destination is accepted only when the generator removed it from the source
    (directly, or through a directory renamed away) before the phase began;
    an item the source lost during the tail must be gone from the
    destination. The report counts the extras accepted.
  * two-way: both sides are equal. Each side's generator writes only below its
    own top-level directory (A/ on the source side, B/ on the destination
    side): a file changed on both sides in one instant has no right answer, so
    the soak never makes one. Each owner's side holds what its generator made;
    items it lost unseen may come back from the other side (a full sync copies
    both ways and never deletes), under the same rule as one-way extras.

The history check replays the tail's successful rows in order (adds,
modifications, removals and renames, a directory's carrying its contents)
and requires every item they leave claimed present to exist on both sides and
every item claimed removed to be absent. Rows written while kills were still
coming are not held to this: a kill loses the rows of work that was done but
not yet recorded. Over the whole run, no row may name a temporary, and every
successful row must name an item the generator made.

Two-way rows from the side that does not own their item are counted as
echoes (the daemon taking its own write for a user's change): directories
make some; a file's echo could carry an older version over a newer one,
which the content checks would catch.

The salt fixes the generator's operations and the kill schedule; timing still
varies, so a failure is reproduced by running the same salt again, usually
more than once. A kept scratch directory holds operations.log (every
operation, UTC times, to read against the history), logs/daemon-NN.log (each
start's output; --trace adds the module's trace) and data/Strandel.db.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import tempfile
import threading
import time

TEMP_PREFIX = ".strandel-part-"
MiB = 1 << 20
BIG = 64 * MiB


class SoakFailure(Exception):
    pass


def now():
    return time.monotonic()


# ---------------------------------------------------------------- trees


def walk(root):
    """relpath -> ('d',) | ('f', size, mtime_ns) | ('l', target) | ('?',);
    temporaries are listed apart."""
    items, temps = {}, []

    def visit(directory, rel):
        try:
            entries = list(os.scandir(directory))
        except (FileNotFoundError, NotADirectoryError):
            return
        for entry in entries:
            path_rel = rel + entry.name
            if entry.name.startswith(TEMP_PREFIX):
                temps.append(path_rel)
                continue
            try:
                st = entry.stat(follow_symlinks=False)
            except FileNotFoundError:
                continue
            if stat.S_ISDIR(st.st_mode):
                items[path_rel] = ("d",)
                visit(entry.path, path_rel + "/")
            elif stat.S_ISREG(st.st_mode):
                items[path_rel] = ("f", st.st_size, st.st_mtime_ns)
            elif stat.S_ISLNK(st.st_mode):
                try:
                    items[path_rel] = ("l", os.readlink(entry.path))
                except FileNotFoundError:
                    continue
            else:
                items[path_rel] = ("?",)

    visit(root, "")
    return items, temps


def file_hash(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MiB)
            if not block:
                return digest.hexdigest()
            digest.update(block)


def identity(root, rel, described):
    """What an item is, contents included: comparable across trees."""
    if described[0] == "f":
        try:
            return ("f", file_hash(os.path.join(root, rel)))
        except FileNotFoundError:
            return ("gone",)
    return described


# ---------------------------------------------------------------- the generator


def join(directory, name):
    return directory + "/" + name if directory else name


def under(rel, prefix):
    if not prefix:
        return True
    return rel == prefix or rel.startswith(prefix + "/")


class Actor:
    """One writer: a physical root and the part of its task's namespace it
    owns (prefix "" is the whole tree)."""

    def __init__(self, name, task, root, prefix, weight):
        self.name, self.task, self.root, self.prefix, self.weight = (
            name, task, root, prefix, weight)
        self.files = {}  # relpath -> ('f', sha1, size) | ('l', target)
        self.dirs = {prefix}

    def path(self, rel):
        return os.path.join(self.root, rel) if rel else self.root

    def bytes(self):
        return sum(w[2] for w in self.files.values() if w[0] == "f")

    def big_files(self):
        return sum(1 for w in self.files.values() if w[0] == "f" and w[2] >= BIG)


class Generator:
    """Salted operations on the actors' trees. run() loops while started;
    every operation holds the lock, so the controller may slip in one of its
    own (a big file right before a kill)."""

    MAX_FILES = 250
    MAX_DIRS = 30
    MAX_DEPTH = 4
    MAX_BIG = 1

    OPS = [
        ("create", 24), ("append", 14), ("rewrite", 12), ("rename", 10), ("move", 9),
        ("delete", 15), ("mkdir", 5), ("rmdir", 3), ("move_dir", 3), ("rmtree", 1),
        ("link", 3),
    ]

    def __init__(self, salt, actors, byte_cap):
        self.rng = random.Random(salt)
        self.actors = actors
        self.byte_cap = byte_cap
        self.lock = threading.Lock()
        self.running = threading.Event()
        self.idle = threading.Event()
        self.idle.set()
        self.quit = False
        self.serial = 0
        self.counts = {}
        self.errors = []
        self.failure = None
        self.removed = {}  # task -> relpath -> [times it left its owner's tree]
        self.moves = {}  # task -> [(time, old, new)] directories renamed or moved
        self.made = {}  # task -> every relpath an item was made at
        for actor in actors:  # the soak makes each owner's own directory
            if actor.prefix:
                self.made.setdefault(actor.task, set()).add(actor.prefix)
        self.journal = None
        self.touched = []
        self.thread = threading.Thread(target=self.run, daemon=True)

    # -- bookkeeping

    def note_removed(self, actor, rel, when):
        self.removed.setdefault(actor.task, {}).setdefault(rel, []).append(when)
        self.touched.append("-" + rel)

    def note_made(self, actor, rel):
        self.made.setdefault(actor.task, set()).add(rel)
        self.touched.append("+" + rel)

    def write_journal(self, actor, op):
        """One line per operation, for reading a failure against the history."""
        if self.journal:
            wall = time.time()
            self.journal.write("%s.%03d %s %s %s\n" % (
                time.strftime("%H:%M:%S", time.gmtime(wall)), int(wall * 1000) % 1000,
                actor.name.replace(" ", "-"), op, " ".join(self.touched[:8])))
        self.touched = []

    def physical_paths(self, actor, rel):
        """The directory and everything in it now, items that came back from
        the other side included."""
        items, _ = walk(actor.path(rel))
        return [rel] + [join(rel, sub) for sub in items]

    # -- contents

    def content(self, size):
        """Salted bytes, different for every write: a serial leads each MiB."""
        self.serial += 1
        head = self.serial.to_bytes(8, "little")
        if size <= MiB:
            return (head + self.rng.randbytes(max(0, size - 8)))[:size]
        block = self.rng.randbytes(MiB)
        whole = b"".join(head + i.to_bytes(8, "little") + block[16:] for i in range(size // MiB))
        return whole + block[: size % MiB]

    def pick_size(self, actor):
        r = self.rng.random()
        if r < 0.05:
            return 0
        if r < 0.45:
            return self.rng.randrange(1, 4096)
        if r < 0.80:
            return self.rng.randrange(4096, 256 * 1024)
        if r < 0.96:
            return self.rng.randrange(256 * 1024, 4 * MiB)
        if r < 0.995 or actor.big_files() >= self.MAX_BIG:
            return self.rng.randrange(4 * MiB, 16 * MiB)
        return BIG

    def write_new(self, actor, rel, size):
        data = self.content(size)
        digest = hashlib.sha1(data).hexdigest()  # before: a kill may follow the close closely
        with open(actor.path(rel), "wb") as f:
            step = max(1, len(data) // self.rng.randint(1, 4))  # saved in a few writes
            for start in range(0, len(data), step):
                f.write(data[start:start + step])
        actor.files[rel] = ("f", digest, size)
        self.note_made(actor, rel)

    def rehash(self, actor, rel):
        self.touched.append("~" + rel)
        path = actor.path(rel)
        actor.files[rel] = ("f", file_hash(path), os.lstat(path).st_size)

    # -- choices

    def free_name(self, actor, directory, letter):
        """A name the generator does not hold; names come from a small pool,
        so they are used again after a delete. Files, links and directories
        draw from pools of their own: a name never changes its type."""
        for _ in range(8):
            rel = join(directory, "%s%03d" % (letter, self.rng.randrange(60)))
            if rel not in actor.files and rel not in actor.dirs and not os.path.lexists(
                    actor.path(rel)):
                return rel
        return None

    def some_file(self, actor, regular=False):
        names = sorted(r for r, w in actor.files.items() if not regular or w[0] == "f")
        return self.rng.choice(names) if names else None

    def some_dir(self, actor, movable=False):
        names = sorted(d for d in actor.dirs if not movable or d != actor.prefix)
        return self.rng.choice(names) if names else None

    def depth(self, rel):
        return rel.count("/") + 1 if rel else 0

    # -- operations: each returns whether it did something

    def op_create(self, actor):
        rel = self.free_name(actor, self.some_dir(actor), "f")
        if rel is None:
            return False
        self.write_new(actor, rel, self.pick_size(actor))
        return True

    def op_link(self, actor):
        rel = self.free_name(actor, self.some_dir(actor), "l")
        if rel is None:
            return False
        target = "../" * self.rng.randrange(3) + "t%04d" % self.rng.randrange(10000)
        os.symlink(target, actor.path(rel))
        actor.files[rel] = ("l", target)
        self.note_made(actor, rel)
        return True

    def op_append(self, actor):
        rel = self.some_file(actor, regular=True)
        if rel is None:
            return False
        with open(actor.path(rel), "ab") as f:
            f.write(self.content(self.rng.choice([1, 100, 4096, 65536, MiB])))
        self.rehash(actor, rel)
        return True

    def op_rewrite(self, actor):
        """In place, the same inode: a range overwritten (the size often
        unchanged), or the file truncated and written anew."""
        rel = self.some_file(actor, regular=True)
        if rel is None:
            return False
        length = actor.files[rel][2]
        with open(actor.path(rel), "r+b") as f:
            if length == 0 or self.rng.random() < 0.3:
                f.truncate(0)
                f.write(self.content(self.rng.randrange(0, 65536)))
            else:
                offset = self.rng.randrange(length)
                f.seek(offset)
                f.write(self.content(min(length - offset, self.rng.randrange(1, 65536))))
        self.rehash(actor, rel)
        return True

    def move_file(self, actor, rel, to):
        when = now()
        os.rename(actor.path(rel), actor.path(to))
        actor.files[to] = actor.files.pop(rel)
        self.note_removed(actor, rel, when)
        self.note_made(actor, to)
        return True

    def op_rename(self, actor):
        rel = self.some_file(actor)
        if rel is None:
            return False
        directory, _, name = rel.rpartition("/")
        if self.rng.random() < 0.2:
            # Over another item of its kind in the same directory.
            others = sorted(r for r in actor.files if r != rel and r.rpartition("/")[0] ==
                            directory and actor.files[r][0] == actor.files[rel][0])
            if others:
                return self.move_file(actor, rel, self.rng.choice(others))
        to = self.free_name(actor, directory, name[0])
        return to is not None and self.move_file(actor, rel, to)

    def op_move(self, actor):
        rel = self.some_file(actor)
        directory = self.some_dir(actor)
        if rel is None or rel.rpartition("/")[0] == directory:
            return False
        name = rel.rpartition("/")[2]
        to = join(directory, name)
        if to in actor.files or os.path.lexists(actor.path(to)):
            to = self.free_name(actor, directory, name[0])
        return to is not None and self.move_file(actor, rel, to)

    def op_delete(self, actor):
        rel = self.some_file(actor)
        if rel is None:
            return False
        when = now()
        os.unlink(actor.path(rel))
        del actor.files[rel]
        self.note_removed(actor, rel, when)
        return True

    def op_mkdir(self, actor):
        parent = self.some_dir(actor)
        if len(actor.dirs) >= self.MAX_DIRS or self.depth(parent) + 1 > self.MAX_DEPTH:
            return False
        rel = self.free_name(actor, parent, "d")
        if rel is None:
            return False
        os.mkdir(actor.path(rel))
        actor.dirs.add(rel)
        self.note_made(actor, rel)
        return True

    def op_rmdir(self, actor):
        held = list(actor.files) + list(actor.dirs)
        empty = sorted(d for d in actor.dirs if d != actor.prefix and
                       not any(under(x, d) and x != d for x in held))
        if not empty:
            return False
        rel = self.rng.choice(empty)
        when = now()
        os.rmdir(actor.path(rel))  # fails if something came back into it
        actor.dirs.discard(rel)
        self.note_removed(actor, rel, when)
        return True

    def op_rmtree(self, actor):
        rel = self.some_dir(actor, movable=True)
        if rel is None:
            return False
        gone = self.physical_paths(actor, rel)
        when = now()
        shutil.rmtree(actor.path(rel))
        for path in gone:
            self.note_removed(actor, path, when)
        actor.files = {f: w for f, w in actor.files.items() if not under(f, rel)}
        actor.dirs = {d for d in actor.dirs if not under(d, rel)}
        return True

    def op_move_dir(self, actor):
        rel = self.some_dir(actor, movable=True)
        parent = self.some_dir(actor)
        if rel is None or under(parent, rel):
            return False
        height = max(self.depth(d) for d in actor.dirs if under(d, rel)) - self.depth(rel)
        if self.depth(parent) + 1 + height > self.MAX_DEPTH:
            return False
        to = self.free_name(actor, parent, "d")
        if to is None:
            return False
        gone = self.physical_paths(actor, rel)
        when = now()
        os.rename(actor.path(rel), actor.path(to))
        for path in gone:
            self.note_removed(actor, path, when)
            self.note_made(actor, to + path[len(rel):])
        self.moves.setdefault(actor.task, []).append((when, rel, to))
        moved = lambda p: to + p[len(rel):] if under(p, rel) else p
        actor.files = {moved(f): w for f, w in actor.files.items()}
        actor.dirs = {moved(d) for d in actor.dirs}
        return True

    # -- the loop

    def step(self):
        actor = self.rng.choices(self.actors, [a.weight for a in self.actors])[0]
        names = [n for n, _ in self.OPS]
        weights = [w for _, w in self.OPS]
        if len(actor.files) >= self.MAX_FILES or actor.bytes() >= self.byte_cap:
            weights = [w * 6 if n in ("delete", "rmtree") else 0 if n in ("create", "append")
                       else w for n, w in self.OPS]
        op = self.rng.choices(names, weights)[0]
        with self.lock:
            try:
                done = getattr(self, "op_" + op)(actor)
            except OSError as error:
                # Only a two-way owner's tree changes under the generator
                # (items coming back from the other side); the model holds.
                self.errors.append("%s %s: %s" % (actor.name, op, error))
                done = False
            if done:
                self.write_journal(actor, op)
            self.touched = []
        if done:
            self.counts[op] = self.counts.get(op, 0) + 1

    def big_file(self, actor):
        """A 64 MiB file now, for a kill in the middle of its copy."""
        with self.lock:
            rel = self.free_name(actor, self.some_dir(actor), "f")
            if rel is not None:
                self.write_new(actor, rel, BIG)
                self.write_journal(actor, "create-64MiB")
                self.counts["create 64 MiB"] = self.counts.get("create 64 MiB", 0) + 1
            return rel

    def run(self):
        try:
            while True:
                if not self.running.is_set():
                    self.idle.set()
                    self.running.wait()
                if self.quit:
                    return
                self.idle.clear()
                if not self.running.is_set():
                    continue
                self.step()
                time.sleep(self.rng.random() * 0.03)
        except Exception as error:  # the soak reports it rather than hang
            self.failure = "generator: %r" % error
            self.idle.set()

    def start(self):
        self.running.set()
        if not self.thread.is_alive():
            self.thread.start()

    def pause(self):
        """Returns once no operation is under way."""
        self.running.clear()
        self.idle.wait()
        if self.failure:
            raise SoakFailure(self.failure)

    def stop(self):
        self.quit = True
        self.running.set()
        if self.thread.is_alive():
            self.thread.join()


# ---------------------------------------------------------------- the daemon


class Daemon:
    def __init__(self, exe, data_dir, log_dir, trace):
        self.exe, self.data_dir, self.log_dir, self.trace = exe, data_dir, log_dir, trace
        self.proc = None
        self.starts = 0

    def cli(self, *args, check=True):
        result = subprocess.run([self.exe, "--data-dir", self.data_dir, *args],
                                capture_output=True, text=True, timeout=600)
        if check and result.returncode != 0:
            raise SoakFailure("strandel %s: status %d\n%s%s" % (
                " ".join(args), result.returncode, result.stdout, result.stderr))
        return result

    def start(self):
        self.starts += 1
        env = dict(os.environ)
        if self.trace:
            env["STRANDEL_TRACE"] = os.path.join(self.log_dir, "trace-%02d.log" % self.starts)
        log = open(os.path.join(self.log_dir, "daemon-%02d.log" % self.starts), "wb")
        self.proc = subprocess.Popen([self.exe, "--data-dir", self.data_dir, "run"],
                                     stdout=log, stderr=subprocess.STDOUT, env=env)
        log.close()

    def listening(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(os.path.join(self.data_dir, "strandel.sock"))
                return True
            except OSError:
                return False

    def wait_ready(self, timeout=120):
        """Its socket answers: the module has started and its watches stand."""
        deadline = now() + timeout
        while now() < deadline:
            if self.proc.poll() is not None:
                raise SoakFailure("the daemon ended with status %d at start %d" % (
                    self.proc.returncode, self.starts))
            if self.listening():
                return
            time.sleep(0.05)
        raise SoakFailure("the daemon did not listen within %ds" % timeout)

    def kill(self):
        if self.proc.poll() is not None:
            raise SoakFailure("the daemon had ended by itself (status %d, start %d)" % (
                self.proc.returncode, self.starts))
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise SoakFailure("the daemon did not stop within 120 s of SIGTERM")
        if status != 0:
            raise SoakFailure("the daemon stopped with status %d" % status)


# ---------------------------------------------------------------- the database


def copy_database(data_dir, into):
    """Strandel.db and its journal as a start would find them."""
    os.makedirs(into, exist_ok=True)
    for name in os.listdir(into):
        os.unlink(os.path.join(into, name))
    for suffix in ("", "-journal", "-wal", "-shm"):
        source = os.path.join(data_dir, "Strandel.db" + suffix)
        if os.path.exists(source):
            shutil.copy2(source, into)
    return os.path.join(into, "Strandel.db")


def integrity(path):
    db = sqlite3.connect(path)
    try:
        return [row[0] for row in db.execute("PRAGMA integrity_check")]
    finally:
        db.close()


def history(path, after_sn=0):
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        db.execute("PRAGMA busy_timeout = 5000")
        return db.execute(
            "SELECT SN, lTaskName, lChangedFile, lNewFile, lAction, lSourceDirChanged, "
            "lOperation, lErrorNO, lFromFile, lToFile, lInfo FROM SyncLog WHERE SN > ? "
            "ORDER BY SN", (after_sn,)).fetchall()
    except sqlite3.OperationalError as error:
        if "no such table" in str(error):
            return []
        raise
    finally:
        db.close()


def last_sn(path):
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        db.execute("PRAGMA busy_timeout = 5000")
        return db.execute("SELECT MAX(SN) FROM SyncLog").fetchone()[0] or 0
    except sqlite3.OperationalError as error:
        if "no such table" in str(error):
            return 0
        raise
    finally:
        db.close()


# ---------------------------------------------------------------- the soak


class Soak:
    ONE, TWO = "soak-one-way", "soak-two-way"

    def __init__(self, args):
        self.args = args
        self.scratch = tempfile.mkdtemp(prefix="strandel-soak-", dir=args.scratch)
        self.data = os.path.join(self.scratch, "data")
        self.logs = os.path.join(self.scratch, "logs")
        self.dbcheck = os.path.join(self.scratch, "dbcheck")
        self.roots = {}  # task -> (source, destination)
        actors = []
        if args.one_way:
            src, dst = self.tree("one/src"), self.tree("one/dst")
            self.roots[self.ONE] = (src, dst)
            actors.append(Actor("one-way source", self.ONE, src, "", 2))
        if args.two_way:
            a, b = self.tree("two/a"), self.tree("two/b")
            self.roots[self.TWO] = (a, b)
            os.mkdir(os.path.join(a, "A"))
            os.mkdir(os.path.join(b, "B"))
            actors.append(Actor("two-way source side", self.TWO, a, "A", 1))
            actors.append(Actor("two-way destination side", self.TWO, b, "B", 1))
        self.actors = actors
        self.gen = Generator(args.salt, actors, args.cap_mib * MiB)
        self.gen.journal = open(os.path.join(self.scratch, "operations.log"), "w", buffering=1)
        self.kill_rng = random.Random("kills %d" % args.salt)
        os.makedirs(self.logs)
        os.mkdir(self.data, 0o700)
        self.daemon = Daemon(args.strandel, self.data, self.logs, args.trace)
        self.decoys = self.plant_decoys()
        self.stats = {"kills": 0, "kills with a temporary standing after them": 0,
                      "... one of 4 MiB or more (a copy cut short)": 0, "database checks": 0}
        self.notes = []

    def tree(self, rel):
        path = os.path.join(self.scratch, rel)
        os.makedirs(path)
        return path

    def plant_decoys(self):
        """Files a start must leave alone: a user's file that merely begins
        with the prefix, and a temporary's name outside every task."""
        decoys = {}
        places = [os.path.join(self.scratch, "outside", TEMP_PREFIX + "0123456789abcdef")]
        for src, dst in self.roots.values():
            places += [os.path.join(src, TEMP_PREFIX + "notes.txt"),
                       os.path.join(dst, TEMP_PREFIX + "notes.txt")]
        for path in places:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"not the module's\n")
            decoys[path] = file_hash(path)
        return decoys

    def log(self, text):
        print("[%7.1fs %s UTC] %s" % (now() - self.t0, time.strftime("%H:%M:%S", time.gmtime()),
                                      text), flush=True)

    def check_generator(self):
        if self.gen.failure:
            raise SoakFailure(self.gen.failure)

    def sleep(self, seconds):
        end = now() + seconds
        while now() < end:
            self.check_generator()
            time.sleep(min(0.1, max(0, end - now())))

    # -- trees

    def temporaries(self):
        """Temporaries in the task trees, decoys aside: [(path, size)]."""
        found = []
        for roots in self.roots.values():
            for root in roots:
                _, temps = walk(root)
                for rel in temps:
                    path = os.path.join(root, rel)
                    if path in self.decoys:
                        continue
                    try:
                        found.append((path, os.lstat(path).st_size))
                    except FileNotFoundError:
                        pass
        return found

    def explained(self, task, rel, boundary, limit=float("inf")):
        """Whether an item that the generator does not hold may still stand
        here: its owner's tree lost it before the daemon was watching (the
        last loss before limit), or it was carried here inside a directory
        that moved, from a place where it could stand."""
        times = [t for t in self.gen.removed.get(task, {}).get(rel, []) if t < limit]
        if times and max(times) < boundary:
            return True
        for when, old, new in reversed(self.gen.moves.get(task, [])):
            if when < limit and under(rel, new) and rel != new:
                if self.explained(task, old + rel[len(new):], boundary, when):
                    return True
        return False

    def same(self, a_root, b_root, rel, a, b, full):
        if a[0] != b[0]:
            return False
        if a[0] == "f":
            if a[1] != b[1]:
                return False
            return not full or identity(a_root, rel, a) == identity(b_root, rel, b)
        return a == b

    def owner_problems(self, actor, items, boundary, full):
        problems = []
        for rel in sorted(actor.dirs - {""}):
            if items.get(rel, ("missing",))[0] != "d":
                problems.append("%s: directory %s is %s" % (actor.name, rel, items.get(rel)))
        for rel, what in sorted(actor.files.items()):
            have = items.get(rel)
            if have is None:
                problems.append("%s: lost %s" % (actor.name, rel))
            elif what[0] == "l":
                if have != what:
                    problems.append("%s: link %s is %s, was made %s" % (actor.name, rel, have, what))
            elif have[0] != "f" or have[1] != what[2] or (
                    full and file_hash(actor.path(rel)) != what[1]):
                problems.append("%s: %s does not hold what was written last" % (actor.name, rel))
        for rel in sorted(items):
            if under(rel, actor.prefix) and rel not in actor.files and rel not in actor.dirs:
                if actor.task == self.ONE:
                    problems.append("%s: %s appeared (the daemon wrote into a one-way source)"
                                    % (actor.name, rel))
                elif not self.explained(actor.task, rel, boundary):
                    problems.append("%s: %s is back although it was removed while watched"
                                    % (actor.name, rel))
                else:
                    self.tolerated.add((actor.task, rel))
        return problems

    def tree_problems(self, boundary, full):
        problems = []
        self.tolerated = set()
        for task, (src_root, dst_root) in self.roots.items():
            src, _ = walk(src_root)
            dst, _ = walk(dst_root)
            for actor in self.actors:
                if actor.task == task:
                    problems += self.owner_problems(actor, src if actor.root == src_root else dst,
                                                    boundary, full)
            for rel in sorted(src):
                if rel not in dst:
                    problems.append("%s: %s is missing from the destination" % (task, rel))
                elif not self.same(src_root, dst_root, rel, src[rel], dst[rel], full):
                    problems.append("%s: %s differs: %s / %s" % (task, rel, src[rel], dst[rel]))
            for rel in sorted(dst):
                if rel in src:
                    continue
                if task == self.TWO:
                    problems.append("%s: %s is missing from the source" % (task, rel))
                elif not self.explained(task, rel, boundary):
                    problems.append("%s: %s is still in the destination although the source "
                                    "lost it while watched" % (task, rel))
                else:
                    self.tolerated.add((task, rel))
            if task == self.TWO:
                strays = sorted(r for r in list(src) + list(dst) if "/" not in r and
                                r not in ("A", "B"))
                problems += ["%s: stray item %s at the top" % (task, r) for r in strays]
        return problems

    def settle(self, boundary, what):
        """Polls until the trees agree (sizes first, then contents)."""
        deadline = now() + self.args.settle_timeout
        problems = []
        started = now()
        while now() < deadline:
            problems = self.tree_problems(boundary, full=False)
            if not problems:
                problems = self.tree_problems(boundary, full=True)
                if not problems:
                    self.stats["items kept or brought back, lost unseen (%s)" % what] = len(
                        self.tolerated)
                    self.log("%s: the trees agree after %.1f s" % (what, now() - started))
                    return
            time.sleep(0.5)
        raise SoakFailure("%s: the trees did not agree within %d s:\n  %s" % (
            what, self.args.settle_timeout, "\n  ".join(problems[:40])))

    # -- history

    def history_problems(self, rows, tail_from):
        """Every row: no temporary named, and a successful row names an item
        the generator made. Rows of the tail: replayed, they must describe
        the final trees."""
        problems = []
        claims = {}  # (task, relpath) -> present?
        for sn, task, changed, new, action, _, operation, error, *_ in rows:
            if any(TEMP_PREFIX in (text or "") for text in (changed, new)):
                problems.append("row %d names a temporary: %s %s" % (sn, changed, new))
            if operation != "SyncFinish" or not changed or task not in self.roots:
                continue
            named = new if action == 5 else changed
            if error == 0 and action in (1, 3, 5) and named not in self.gen.made.get(task, ()):
                problems.append("row %d claims %s, which was never made" % (sn, named))
            if sn <= tail_from:
                continue
            inside = lambda key, rel: key[0] == task and under(key[1], rel)
            if error != 0:
                for key in [k for k in claims if inside(k, changed) or (new and inside(k, new))]:
                    del claims[key]
            elif action in (1, 3):
                claims[(task, changed)] = True
            elif action == 2:
                for key in [k for k in claims if inside(k, changed)]:
                    claims[key] = False
                claims[(task, changed)] = False
            elif action == 5:
                carried = {k: v for k, v in claims.items() if inside(k, changed)}
                for key in carried:
                    claims[key] = False
                for key, present in carried.items():
                    claims[(task, new + key[1][len(changed):])] = present
                claims[(task, changed)] = False
                claims[(task, new)] = True
            else:
                for key in [k for k in claims if inside(k, changed)]:
                    del claims[key]
        trees = {task: [walk(root)[0] for root in roots] for task, roots in self.roots.items()}
        for (task, rel), present in sorted(claims.items()):
            where = [rel in items for items in trees[task]]
            if present and not all(where):
                problems.append("%s: the history's last word on %s is a success, but it is not "
                                "on both sides" % (task, rel))
            if not present and any(where):
                problems.append("%s: the history says %s was removed, but it is there"
                                % (task, rel))
        self.stats["history rows"] = len(rows)
        self.stats["tail rows replayed"] = sum(1 for r in rows if r[0] > tail_from)
        self.stats["tail claims checked"] = len(claims)
        self.stats["failed rows"] = sum(1 for r in rows if r[6] == "SyncFinish" and r[7] != 0)
        # A two-way row from the side that does not own the item: the daemon
        # took its own write for a user's change. Directories do this (their
        # creation on the other side is found again by a scan); a file's echo
        # could carry an older version back over a newer one, which the
        # content checks would catch.
        echoes = [r for r in rows if r[0] > tail_from and r[1] == self.TWO and r[6] == "SyncFinish"
                  and r[2] and r[2].split("/")[0] != ("A" if r[5] else "B")]
        files = [r for r in echoes if (r[3] or r[2]).rpartition("/")[2][:1] in ("f", "l")]
        self.stats["tail echo rows (directories)"] = len(echoes) - len(files)
        self.stats["tail echo rows (files, links)"] = len(files)
        self.notes += ["echo: row %d %s %s" % (r[0], r[2], r[3] or "") for r in files[:5]]
        return problems

    def full_sync_problems(self):
        """A full sync of settled trees finds nothing to do and nothing fails."""
        out = self.daemon.cli("sync", "--all", "--json", check=False)
        try:
            summary = json.loads(out.stdout)
        except ValueError:
            return ["strandel sync --all: status %d, no summary:\n%s%s" % (
                out.returncode, out.stdout, out.stderr)]
        problems = []
        for task in summary["tasks"]:
            if not task["completed"] or task["failed"] or task["synchronised"]:
                problems.append("strandel sync --all on settled trees: %s" % json.dumps(task))
        if out.returncode != 0 and not problems:
            problems.append("strandel sync --all: status %d" % out.returncode)
        return problems

    def database_problems(self, when):
        result = integrity(copy_database(self.data, self.dbcheck))
        self.stats["database checks"] += 1
        return [] if result == ["ok"] else ["%s: integrity_check says %s" % (when, result[:5])]

    # -- the run

    def kill_once(self, index):
        rng = self.kill_rng
        lo, hi = self.args.interval
        self.sleep(rng.uniform(lo, hi))
        # The last kill too: what it leaves, only the last start can clear.
        big = index % 4 == 1 or index == self.args.kills or rng.random() < 0.15
        actor = rng.choice(self.actors)
        delay = rng.uniform(0, 0.15)
        dead = rng.uniform(0, self.args.dead)
        if big:
            self.gen.big_file(actor)
            time.sleep(delay)
        self.daemon.kill()
        self.stats["kills"] += 1
        temps = self.temporaries()
        if temps:
            self.stats["kills with a temporary standing after them"] += 1
        if any(size >= 4 * MiB for _, size in temps):
            self.stats["... one of 4 MiB or more (a copy cut short)"] += 1
        problems = self.database_problems("after kill %d" % index)
        if problems:
            raise SoakFailure("\n".join(problems))
        self.log("kill %d%s: %d temporar%s left%s" % (
            index, " (64 MiB file %.0f ms before, %s)" % (delay * 1000, actor.name) if big else "",
            len(temps), "y" if len(temps) == 1 else "ies",
            "".join("\n      %s (%d bytes)" % (os.path.relpath(p, self.scratch), n)
                    for p, n in temps)))
        self.sleep(dead)
        self.daemon.start()

    def run(self):
        self.t0 = now()
        args = self.args
        for task, (src, dst) in self.roots.items():
            self.daemon.cli("add", task, src, dst, *(["--two-way"] if task == self.TWO else []))
        self.log("scratch %s, salt %d, %d kills" % (self.scratch, args.salt, args.kills))
        self.gen.start()
        self.daemon.start()
        for index in range(1, args.kills + 1):
            self.kill_once(index)
        problems = []

        # The last start: nothing changes until it watches and its trees agree.
        self.gen.pause()
        self.daemon.wait_ready()
        self.settle(now(), "after the last start")
        problems += self.full_sync_problems()  # also waits out the start's own full sync

        # The tail: changes under a daemon that nobody kills.
        tail_from = last_sn(os.path.join(self.data, "Strandel.db"))
        boundary = now()
        self.gen.start()
        self.sleep(args.tail)
        self.gen.pause()
        self.settle(boundary, "after the tail")
        problems += self.full_sync_problems()
        rows = history(os.path.join(self.data, "Strandel.db"))
        problems += self.history_problems(rows, tail_from)
        problems += ["temporary left: %s (%d bytes)" % t for t in self.temporaries()]

        self.daemon.stop()
        problems += ["temporary left after the stop: %s (%d bytes)" % t
                     for t in self.temporaries()]
        problems += self.database_problems("after the stop")
        for path, digest in self.decoys.items():
            if not os.path.exists(path) or file_hash(path) != digest:
                problems.append("a file that is not the module's was touched: %s" % path)
        self.gen.stop()
        return problems

    def report(self):
        self.stats["operations"] = sum(self.gen.counts.values())
        self.stats["daemon starts"] = self.daemon.starts
        self.stats["minutes"] = round((now() - self.t0) / 60, 1)
        for key, value in self.stats.items():
            print("  %-40s %s" % (key, value))
        print("  operations by kind: " + ", ".join(
            "%s %d" % kv for kv in sorted(self.gen.counts.items())))
        for note in self.notes:
            print("  " + note)
        if self.gen.errors:
            print("  generator operations refused by the file system: %d (first: %s)" % (
                len(self.gen.errors), self.gen.errors[0]))


def parse():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "build", "src", "entry", "strandel")
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--salt", type=int, default=None, help="default: random, printed")
    p.add_argument("--kills", type=int, default=50)
    p.add_argument("--minutes", type=float, default=None,
                   help="spread the kills over about this long (default: 2-10 s apart)")
    p.add_argument("--interval", type=float, nargs=2, default=(2.0, 10.0), metavar=("MIN", "MAX"),
                   help="seconds between a start and the next kill")
    p.add_argument("--dead", type=float, default=1.5,
                   help="at most this many seconds without a daemon after a kill")
    p.add_argument("--tail", type=float, default=20.0,
                   help="seconds of changes under the last daemon")
    p.add_argument("--settle-timeout", type=int, default=300)
    p.add_argument("--cap-mib", type=int, default=96, help="bytes each writer keeps, at most")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--one-way", dest="two_way", action="store_false", help="the one-way task only")
    g.add_argument("--two-way", dest="one_way", action="store_false", help="the two-way task only")
    p.add_argument("--keep", action="store_true", help="keep the scratch directory on failure")
    p.add_argument("--trace", action="store_true", help="STRANDEL_TRACE per start, in logs/")
    p.add_argument("--scratch", default=os.environ.get("TMPDIR"),
                   help="where the scratch directory goes (default: $TMPDIR)")
    p.add_argument("--strandel", default=os.path.normpath(default))
    args = p.parse_args()
    if args.salt is None:
        args.salt = random.SystemRandom().randrange(1 << 31)
    if args.minutes is not None:
        mean = args.minutes * 60 / max(1, args.kills)
        args.interval = (0.25 * mean, 1.75 * mean)
    return args


def main():
    args = parse()
    soak = Soak(args)
    problems = []
    try:
        problems = soak.run()
    except SoakFailure as failure:
        problems = [str(failure)]
    except KeyboardInterrupt:
        problems = ["interrupted"]
    finally:
        soak.gen.stop()
        try:
            soak.daemon.stop()
        except SoakFailure as failure:
            problems.append(str(failure))
    soak.report()
    if problems:
        print("FAILED (salt %d):\n  %s" % (args.salt, "\n  ".join(problems)))
        print("scratch directory: %s (%s)" % (
            soak.scratch, "kept" if args.keep else "removed; --keep keeps it"))
        again = sys.argv + ([] if "--salt" in sys.argv else ["--salt", str(args.salt)])
        print("again: " + " ".join(again))
        if not args.keep:
            shutil.rmtree(soak.scratch, ignore_errors=True)
        return 1
    print("PASSED (salt %d): %d kills survived, nothing lost" % (args.salt, soak.stats["kills"]))
    shutil.rmtree(soak.scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

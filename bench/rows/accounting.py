"""CPU accounting from /proc: a process's, its threads', and a run's lines sampled with them."""

import os
import re
import resource

import harness

CLK_TCK = os.sysconf("SC_CLK_TCK")


def process_cpu(pid):
    """utime + stime of a process in seconds (all its threads, living and ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def children_cpu():
    """CPU seconds of this process's ended children (curl's, once it has been waited for)."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def thread_files(pid, name):
    """(thread id, text of /proc/PID/task/TID/NAME) for each living thread of a process."""
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/{name}") as f:
                yield tid, f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue


def run_time_by_thread(pid):
    """Nanoseconds each living thread of a process has run, by thread id, from the scheduler's own
    accounting (schedstat): exact, where utime and stime move in steps of 1/CLK_TCK s, which over a
    few seconds of an idle program is several per cent of the figure."""
    return {(pid, tid): int(text.split()[0]) for tid, text in thread_files(pid, "schedstat")}


def run_time_between(before, after):
    """Seconds run between two run_time_by_thread() readings (merged over processes). A thread that
    ended in between loses what it ran after the first reading."""
    return sum(ns - before.get(tid, 0) for tid, ns in after.items()) / 1e9


def thread_cpu(pid):
    """CPU seconds of each living thread of a process, summed by thread name (numbers dropped, so
    that "blocking-3" and "blocking-4" count together)."""
    out = {}
    for _, stat in thread_files(pid, "stat"):
        name = re.sub(r"-\d+$", "-N", stat[stat.index("(") + 1:stat.rindex(")")])
        fields = stat.rsplit(")", 1)[1].split()
        out[name] = out.get(name, 0.0) + (int(fields[11]) + int(fields[12])) / CLK_TCK
    return out


def breakdown(threads):
    """CPU seconds by thread, the busiest first."""
    return ", ".join(f"{name} {seconds:.2f} s"
                     for name, seconds in sorted(threads.items(), key=lambda kv: -kv[1]))


def grown(before, after):
    """What each entry of a thread_cpu() reading gained since an earlier one."""
    return {k: v - before.get(k, 0.0) for k, v in after.items() if v - before.get(k, 0.0) > 0}


class Sampled(harness.Run):
    """A program run whose lines also carry the CPU seconds (process + wineserver, and per thread)
    read when each line arrived."""

    def __init__(self, args, prefix, server_pid):
        self.server_pid = server_pid  # before the readers start sampling
        super().__init__(args[0], prefix, args=args[1:])

    def cpu(self):
        own = process_cpu(self.proc.pid)
        server = process_cpu(self.server_pid)
        if own is None or server is None:
            return None
        return own + server

    def threads(self):
        """thread_cpu() of the process, with the wineserver's CPU seconds as one more entry."""
        threads = thread_cpu(self.proc.pid)
        threads["wineserver"] = process_cpu(self.server_pid)
        return threads

    def sample(self):
        return self.cpu(), self.threads()

    def _sample_of(self, text):
        with self.lock:
            for (_, _, t), sample in zip(self.lines, self.samples):
                if t.startswith(text):
                    return sample
        return None

    def line(self, text):
        """(time, cpu) of the first line that starts with text, or None."""
        at = self.when(text)
        sample = self._sample_of(text)
        return None if at is None or sample is None else (at, sample[0])

    def threads_between(self, first, last):
        """CPU seconds per thread name (and the wineserver's) between two lines."""
        return grown(self._sample_of(first)[1], self._sample_of(last)[1])

"""A long run of one control loop on the simulated torso, to find leaks and lost ticks that
short tests cannot: a 500 Hz loop, four threads sending commands, for ten minutes by default.
Not part of CI; run it with scripts/soak.sh [MINUTES].

At the start, at the end and after closing it prints the process's resident memory, descriptors and threads;
at the end, the ticks delivered against those the schedule called for, the commands sent, and
the stored errors seen."""

import datetime
import os
import subprocess
import sys
import threading
import time

import kestro_motor_controller as k

PERIOD = datetime.timedelta(milliseconds=2)


def resources():
    with open("/proc/self/status", encoding="ascii") as status:
        fields = dict(line.split(":", 1) for line in status)
    rss = int(fields["VmRSS"].split()[0]) / 1024
    return f"rss={rss:.1f} MiB fds={len(os.listdir('/proc/self/fd'))} threads={fields['Threads'].strip()}"


class Simulator:
    def __init__(self, program, can_socket):
        self.process = subprocess.Popen(
            [program, "--can-socket", can_socket], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True, bufsize=1, env={n: v for n, v in os.environ.items() if n != "LD_PRELOAD"})
        self.serial = self.process.stdout.readline().strip().removeprefix("ready serial=")

    def command(self, line):
        self.process.stdin.write(line + "\n")
        return self.process.stdout.readline().strip()

    def take_sync_reads(self):
        """Group reads since the last call (the simulator keeps the last 10,000 requests)."""
        counts = dict(item.split("=") for item in self.command("requests").split()[1:])
        self.command("requests clear")
        return int(counts["sync_read"])


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    can_bus, _, can_socket = os.environ["KESTRO_CAN_PRELOAD"].partition("=")
    sim = Simulator(os.environ["KESTRO_TORSO_SIM"], can_socket)
    loop = k.KestroPyControlLoop(sim.serial, PERIOD, can_bus, stats_pub_period=datetime.timedelta(seconds=1))
    print("start: ", resources(), flush=True)
    sim.take_sync_reads()
    begun = time.monotonic()
    stop = threading.Event()
    sent = [0] * 4
    errors = {}
    failed_requests = [0]

    def commands(n):
        while not stop.is_set():
            x = 0.1 * ((sent[n] % 10) / 10.0)
            try:
                (loop.set_arms_position, loop.set_nose_position, loop.set_neck_position,
                 lambda _: loop.async_read_pid_gains(1))[n]([x] * (4, 3, 3, 0)[n])
            except RuntimeError:
                # A request waits at most 1 s, also behind a full queue of commands.
                failed_requests[0] += 1
            sent[n] += 1
            time.sleep(0.005)

    workers = [threading.Thread(target=commands, args=(n,)) for n in range(4)]
    for worker in workers:
        worker.start()
    sync_reads = 0
    while time.monotonic() - begun < minutes * 60:
        time.sleep(1.0)
        sync_reads += sim.take_sync_reads()
        try:
            loop.get_last_position()
        except RuntimeError as error:
            errors[str(error)] = errors.get(str(error), 0) + 1
    stop.set()
    for worker in workers:
        worker.join()
    elapsed = time.monotonic() - begun
    stats = loop.get_stats()
    print("end:   ", resources(), flush=True)
    loop.close()
    sync_reads += sim.take_sync_reads()
    sim.command("quit")
    periods = sorted(stats.period)
    print("closed:", resources())
    print(f"ran {elapsed:.0f} s: ticks delivered {sync_reads // 2} of {elapsed / PERIOD.total_seconds():.0f} "
          f"scheduled; commands sent {sum(sent)} ({', '.join(map(str, sent))})")
    print(f"last {len(periods)} tick periods: p50 {periods[len(periods) // 2] * 1e3:.3f} ms, "
          f"p99 {periods[int(len(periods) * 0.99)] * 1e3:.3f} ms, max {periods[-1] * 1e3:.3f} ms")
    print("stored errors seen:", errors or "none")
    print("requests not answered within their 1 s:", failed_requests[0])


if __name__ == "__main__":
    main()

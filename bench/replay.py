"""The native replay server as a child process that exits with us."""

import os
import subprocess


def stat_cpu_seconds(path):
    """User plus system CPU of the process or thread whose /proc stat file PATH is; None when unreadable."""
    try:
        with open(path) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


class ReplayProcess:
    """Runs `exe --table TABLE ...`; its first stdout line is the bound port."""

    def __init__(self, exe, table, max_seconds, extra=(), env=None):
        # stdin is a pipe that only we hold: the server exits when we do.
        self.proc = subprocess.Popen(
            [exe, "--table", table, *extra, "--exit-on-stdin-eof", "--max-seconds", str(max_seconds)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=env,
            text=True,
        )
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"replay server did not report its port (got {line!r})")
        self.port = int(line)

    def cpu_seconds(self):
        """User plus system CPU the server has used so far (clock-tick resolution)."""
        return stat_cpu_seconds(f"/proc/{self.proc.pid}/stat")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

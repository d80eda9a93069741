"""The raw floor: what one request/reply costs in Python with no per-byte work.

One sendall, recv with a large buffer until the line feed, json.loads. No
flush, no time-outs, no record: nothing a real client could do less of.
"""

import json
import socket

_BUFSIZE = 1 << 16


class FloorClient:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)

    def connect(self, host, port):
        self.sock.connect((host, port))
        return True

    def close(self):
        self.sock.close()
        return True

    def request(self, line):
        sock = self.sock
        sock.sendall(line)
        chunk = sock.recv(_BUFSIZE)
        if chunk.endswith(b"\n"):
            return json.loads(chunk)
        chunks = [chunk]
        while b"\n" not in chunk:
            chunk = sock.recv(_BUFSIZE)
            if not chunk:
                raise ConnectionResetError("connection closed by peer")
            chunks.append(chunk)
        return json.loads(b"".join(chunks))

    def cnc_start(self):
        return self.request(b'{"cmd":"cnc.start"}\n')

    def get_cnc_info(self):
        return self.request(b'{"get":"cnc.info"}\n')

    def get_axes_info(self):
        return self.request(b'{"get":"axes.info"}\n')

    def get_programmed_points(self):
        return self.request(b'{"get":"programmed.points"}\n')

"""A raw-socket test peer for client tests.

RawServer listens on 127.0.0.1 with a port chosen by the system and runs a
script for each accepted connection on a thread of its own. Scripts read the
exact bytes that the client sent and answer with exact bytes (see wire), so
tests fix the wire form on both sides. Every blocking step is bounded by
TIMEOUT.
"""

import queue
import socket
import threading

from wire import TIMEOUT, framed, recv_frame


class RawServer:
    """Runs `script(conn, server)` for every accepted connection.

    Whatever a script returns is put on `server.results`; an exception it
    raises is put there too, so that tests see failures of the peer.
    """

    def __init__(self, script):
        self.script = script
        self.results = queue.Queue()
        self.accepted = queue.Queue()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._closed = False
        self._threads = []
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()

    def _accept_loop(self):
        while not self._closed:
            try:
                conn, _ = self._listener.accept()
            except OSError:  # the listener was shut down by close()
                return
            conn.settimeout(TIMEOUT)
            self.accepted.put(conn)
            t = threading.Thread(target=self._run, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _run(self, conn):
        try:
            self.results.put(self.script(conn, self))
        except BaseException as e:  # reported to the test through `results`
            self.results.put(e)
        finally:
            conn.close()

    def result(self):
        """The next script result (re-raising a script's exception)."""
        r = self.results.get(timeout=TIMEOUT)
        if isinstance(r, BaseException):
            raise r
        return r

    def close(self):
        self._closed = True
        try:
            # Wakes the accept loop: accept() on a shut-down listener fails.
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._accept_thread.join(TIMEOUT)
        self._listener.close()
        for t in self._threads:
            t.join(TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def replying(*replies, framing=framed):
    """A script that answers each Framed request with the next reply (framed
    by `framing`, or sent as it is when `framing` is None) and returns the
    request bodies it read."""

    def script(conn, server):
        seen = []
        for reply in replies:
            body = recv_frame(conn)
            if body is None:
                break
            seen.append(body)
            conn.sendall(framing(reply) if framing else reply)
        return seen

    return script

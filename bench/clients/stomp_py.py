"""One case of the end-to-end comparison with stomp.py (Debian python3-stomp), STOMP 1.0
without content-length. Same arguments and output as vqstomp_e2e_bench:
    stomp_py.py send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]
"""
import resource
import sys
import threading
import time

import stomp

LAST_RECEIPT = "bench-last"
TIMEOUT_S = 60


class Timer:
    def __init__(self):
        self.usage = resource.getrusage(resource.RUSAGE_SELF)
        self.start = time.monotonic()

    def report(self):
        usage = resource.getrusage(resource.RUSAGE_SELF)
        user = usage.ru_utime - self.usage.ru_utime
        system = usage.ru_stime - self.usage.ru_stime
        print(f"elapsed={time.monotonic() - self.start:.6f} cpu={user + system:.6f} user={user:.6f}", flush=True)


class Listener(stomp.ConnectionListener):
    """Counts messages, acknowledging each when asked to; signals the receipt and the last message."""

    def __init__(self, conn, expected, client_ack):
        self.conn, self.expected, self.client_ack = conn, expected, client_ack
        self.count = 0
        self.done = threading.Event()
        self.receipt = threading.Event()

    def on_message(self, frame):
        if self.client_ack:
            self.conn.ack(frame.headers["message-id"])
        self.count += 1
        if self.count == self.expected:
            self.done.set()

    def on_receipt(self, frame):
        if frame.headers.get("receipt-id") == LAST_RECEIPT:
            self.receipt.set()


def await_event(event, what):
    if not event.wait(TIMEOUT_S):
        raise RuntimeError(f"no {what} within {TIMEOUT_S} s")


def send(conn, listener, case, count, queue):
    bulk = "x" * 100
    timer = Timer()
    for number in range(1, count + 1):
        body = f"This is test message {number}" if case == "send-text" else bulk
        headers = {"receipt": LAST_RECEIPT} if number == count else None
        conn.send(queue, body, headers=headers)
    await_event(listener.receipt, "receipt")
    timer.report()


def receive(conn, listener, case, queue):
    timer = Timer()
    conn.subscribe(queue, ack="client" if case == "receive-client" else "auto")
    await_event(listener.done, "last message")
    timer.report()


def main():
    case, count, queue = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    host, port = (sys.argv[4] if len(sys.argv) > 4 else "127.0.0.1:61613").rsplit(":", 1)
    conn = stomp.Connection10([(host, int(port))], auto_content_length=False)
    listener = Listener(conn, count, case == "receive-client")
    conn.set_listener("bench", listener)
    conn.connect(wait=True)
    if case.startswith("send-"):
        send(conn, listener, case, count, queue)
    else:
        receive(conn, listener, case, queue)
    conn.disconnect()


if __name__ == "__main__":
    main()

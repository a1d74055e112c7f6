#!/usr/bin/python3
"""A second STOMP 1.0 client, stomp.py, to send to or receive from the same broker as VQStomp.

  stomp_py_peer.py send HOST PORT DESTINATION
  stomp_py_peer.py receive HOST PORT DESTINATION TIMEOUT_SECONDS
"""

import argparse
import sys
import threading

import stomp

BODY = "from stomp.py"
# One property of each kind that VQStomp reads back typed; the long one is beyond the exact
# integers of a double.
HEADERS = {
    "str-prop": "text value",
    "int-prop": "42",
    "long-prop": "9007199254740993",
    "double-prop": "0.1",
    "bool-prop": "true",
}
DISCONNECT_RECEIPT = "stomp-py-peer-disconnect"


class FirstMessage(stomp.ConnectionListener):
    def __init__(self):
        self.arrived = threading.Event()
        self.frame = None

    def on_message(self, frame):
        if not self.arrived.is_set():
            self.frame = frame
            self.arrived.set()


def connect(host, port, listener=None):
    connection = stomp.Connection10([(host, port)])
    if listener is not None:
        connection.set_listener("peer", listener)
    connection.connect(wait=True)
    return connection


def disconnect(connection):
    # With a receipt, stomp.py waits for the broker to take the DISCONNECT before closing.
    connection.disconnect(receipt=DISCONNECT_RECEIPT)


def send(arguments):
    connection = connect(arguments.host, arguments.port)
    connection.send(arguments.destination, BODY, headers=dict(HEADERS))
    disconnect(connection)
    return 0


def receive(arguments):
    listener = FirstMessage()
    connection = connect(arguments.host, arguments.port, listener)
    connection.subscribe(arguments.destination, id="1", ack="auto")
    arrived = listener.arrived.wait(arguments.timeout)
    disconnect(connection)
    if not arrived:
        print(f"No message arrived at {arguments.destination} within {arguments.timeout} s", file=sys.stderr)
        return 1
    for name in sorted(listener.frame.headers):
        print(f"{name}={listener.frame.headers[name]}")
    print(f"body={listener.frame.body}")
    return 0


def parse_arguments():
    parser = argparse.ArgumentParser(description="Sends or receives one message with stomp.py over STOMP 1.0.")
    commands = parser.add_subparsers(dest="command", required=True)
    send_command = commands.add_parser("send", help=f"send {BODY!r} with one header of each property kind")
    receive_command = commands.add_parser("receive", help="print the headers and body of the first message")
    for command in (send_command, receive_command):
        command.add_argument("host")
        command.add_argument("port", type=int)
        command.add_argument("destination")
    receive_command.add_argument("timeout", type=float, metavar="TIMEOUT_SECONDS")
    send_command.set_defaults(run=send)
    receive_command.set_defaults(run=receive)
    return parser.parse_args()


if __name__ == "__main__":
    ARGUMENTS = parse_arguments()
    sys.exit(ARGUMENTS.run(ARGUMENTS))

#!/usr/bin/env python3
"""Opens COUNT keep-alive connections to HOST:PORT and keeps them open without traffic.

Half of them first send one GET of PATH and read its answer (a connection that has served a request), the
other half never send a byte (a connection that was only accepted). With --tls every connection completes
its handshake first. Prints "ready <count>" once all are open and idle, then holds them until standard input
closes. Usage: idle_clients.py HOST PORT COUNT [--tls] [--path /api/this/heart]
"""
import argparse
import socket
import ssl
import sys


def read_answer(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed before the answer")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed inside the body")
        body += chunk


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("count", type=int)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--path", default="/api/this/heart")
    args = parser.parse_args()

    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    request = ("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (args.path, args.host)).encode()
    held = []
    for i in range(args.count):
        sock = socket.create_connection((args.host, args.port), timeout=10)
        if context is not None:
            sock = context.wrap_socket(sock)
        if i % 2 == 0:
            sock.sendall(request)
            read_answer(sock)
        held.append(sock)
    print("ready %d" % len(held), flush=True)
    sys.stdin.read()
    for sock in held:
        sock.close()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Mixed steady load for the soak run: keep-alive clients asking for the heartbeat, Redis set/get/order, MySQL
selects and WebSocket echoes, plus clients that vanish mid-request (half a request, or a whole one and gone
before the answer).

Usage: soak_load.py HOST PORT SECONDS STATUS_FILE [--clients N]

Every answer is checked (status 200, and for the gateways a JSON envelope with errcode 200; the WebSocket echo
must return the same payload). STATUS_FILE is rewritten every second with one line of counters:
"sent=N answered=N wrong=N unanswered=N vanished=N ws=N". A request that gets no answer within 10 s on a live
connection counts as unanswered. Loopback only; the loop ends by itself after SECONDS.
"""
import argparse
import base64
import json
import os
import random
import socket
import struct
import threading
import time

ANSWER_TIMEOUT = 10.0


class Counters:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = {"sent": 0, "answered": 0, "wrong": 0, "unanswered": 0, "vanished": 0, "ws": 0}

    def add(self, name, count=1):
        with self.lock:
            self.values[name] += count

    def line(self):
        with self.lock:
            return " ".join(f"{k}={v}" for k, v in self.values.items())


class Connection:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=ANSWER_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def fill(self, count):
        while len(self.buffer) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk

    def take(self, count):
        self.fill(count)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def read_response(self):
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        status = int(lines[0].split()[1])
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        return status, self.take(length)

    def request(self, method, path, body=b"", extra=b""):
        head = f"{method} {path} HTTP/1.1\r\nHost: soak\r\n".encode() + extra
        if body or method == "POST":
            head += f"Content-Length: {len(body)}\r\nContent-Type: application/json\r\n".encode()
        self.sock.sendall(head + b"\r\n" + body)
        return self.read_response()


def envelope_ok(body):
    text = body.decode("utf-8", "replace").lstrip("\ufeff")
    try:
        return json.loads(text).get("errcode") == 200
    except ValueError:
        return False


def http_client(host, port, stop, counters, kind, index):
    rng = random.Random(index)
    conn = None
    while not stop.is_set():
        try:
            if conn is None:
                conn = Connection(host, port)
            key = f"soak:{index}:{rng.randrange(100)}"
            if kind == "heart":
                counters.add("sent")
                status, body = conn.request("GET", "/api/this/heart")
                good = status == 200 and body.endswith(b"da da da ...")
            elif kind == "redis":
                which = rng.randrange(3)
                if which == 0:
                    payload = {"db": 0, "key": key, "value": "v" * rng.randrange(1, 200), "outtime": 60000}
                    path = "/api/redis/set"
                elif which == 1:
                    payload, path = {"db": 0, "key": key}, "/api/redis/get"
                else:
                    payload, path = {"db": 0, "order": f"INCR soak:counter:{index}"}, "/api/redis/order"
                counters.add("sent")
                status, body = conn.request("POST", path, json.dumps(payload).encode())
                good = status == 200 and envelope_ok(body)
            else:
                counters.add("sent")
                sql = rng.choice(["select * from kv", "select id, name from kv where id = 1", "select now()"])
                status, body = conn.request("POST", "/api/mysql", json.dumps({"sql": sql}).encode())
                good = status == 200 and envelope_ok(body)
            counters.add("answered")
            if not good:
                counters.add("wrong")
            # Now and then a client goes and a new one comes.
            if rng.random() < 0.02:
                conn.close()
                conn = None
        except socket.timeout:
            counters.add("unanswered")
            if conn:
                conn.close()
            conn = None
        except (OSError, ConnectionError, ValueError, IndexError):
            counters.add("wrong")
            if conn:
                conn.close()
            conn = None
            time.sleep(0.05)
    if conn:
        conn.close()


def ws_client(host, port, stop, counters, index):
    rng = random.Random(1000 + index)
    conn = None
    while not stop.is_set():
        try:
            if conn is None:
                conn = Connection(host, port)
                key = base64.b64encode(os.urandom(16)).decode()
                head = (f"GET /ws/soak HTTP/1.1\r\nHost: soak\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode()
                conn.sock.sendall(head)
                status, _ = conn.read_response()
                if status != 101:
                    raise ConnectionError("no upgrade")
            payload = os.urandom(rng.randrange(1, 500)).hex().encode()
            mask = os.urandom(4)
            masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            if len(payload) < 126:
                frame = struct.pack("!BB", 0x81, 0x80 | len(payload))
            else:
                frame = struct.pack("!BBH", 0x81, 0x80 | 126, len(payload))
            counters.add("sent")
            conn.sock.sendall(frame + mask + masked)
            first, second = conn.take(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack("!H", conn.take(2))[0]
            elif length == 127:
                length = struct.unpack("!Q", conn.take(8))[0]
            echoed = conn.take(length)
            counters.add("answered")
            counters.add("ws")
            if echoed != payload or (first & 0x0F) != 1:
                counters.add("wrong")
            time.sleep(0.002)
        except socket.timeout:
            counters.add("unanswered")
            conn.close()
            conn = None
        except (OSError, ConnectionError, ValueError):
            counters.add("wrong")
            if conn:
                conn.close()
            conn = None
            time.sleep(0.05)
    if conn:
        conn.close()


def vanishing_client(host, port, stop, counters, index):
    rng = random.Random(2000 + index)
    while not stop.is_set():
        try:
            sock = socket.create_connection((host, port), timeout=ANSWER_TIMEOUT)
            body = json.dumps({"db": 0, "key": f"soak:gone:{index}"}).encode()
            request = (f"POST /api/redis/get HTTP/1.1\r\nHost: soak\r\nContent-Length: {len(body)}\r\n\r\n"
                       .encode() + body)
            if rng.random() < 0.5:
                sock.sendall(request[:rng.randrange(1, len(request))])  # half a request
            else:
                sock.sendall(request)  # a whole one, gone before the answer
            if rng.random() < 0.5:
                # Reset instead of an orderly close.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
            counters.add("vanished")
        except OSError:
            counters.add("wrong")
        time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("seconds", type=float)
    parser.add_argument("status_file")
    parser.add_argument("--clients", type=int, default=4, help="clients of each kind")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        raise SystemExit("loopback only")

    stop = threading.Event()
    counters = Counters()
    threads = []
    for i in range(args.clients):
        for kind in ("heart", "redis", "mysql"):
            threads.append(threading.Thread(target=http_client,
                                            args=(args.host, args.port, stop, counters, kind, len(threads))))
        threads.append(threading.Thread(target=ws_client, args=(args.host, args.port, stop, counters, i)))
    for i in range(max(1, args.clients // 2)):
        threads.append(threading.Thread(target=vanishing_client, args=(args.host, args.port, stop, counters, i)))
    for thread in threads:
        thread.daemon = True
        thread.start()

    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        time.sleep(1)
        with open(args.status_file + ".tmp", "w") as out:
            out.write(counters.line() + "\n")
        os.replace(args.status_file + ".tmp", args.status_file)
    stop.set()
    for thread in threads:
        thread.join(ANSWER_TIMEOUT + 2)
    with open(args.status_file, "w") as out:
        out.write(counters.line() + "\n")
    print(counters.line())


if __name__ == "__main__":
    main()

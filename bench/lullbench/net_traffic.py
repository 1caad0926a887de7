"""The network figure's traffic, run inside the figure's own namespaces:

    net_traffic.py serve PORT SECONDS
        a TCP sink on PORT, a TCP source on PORT+1 and a UDP echo on PORT+2
    net_traffic.py bulk up|down HOST PORT SECONDS LOG [--tos N] [--cap-mbit N] [--buffer-kib N]
        one TCP transfer for SECONDS; every 0.1 s a line "time bytes" in LOG
    net_traffic.py ping HOST PORT SECONDS LOG
        a UDP probe every 50 ms; a line "time rtt_ms" in LOG per answer

Every loop is bounded in time; nothing here ever addresses anything but
the HOST it is given, which the figure keeps inside its namespaces."""

import socket
import sys
import threading
import time

CHUNK = 64 * 1024
# Every socket sends with the common default, cubic, whatever this machine's
# default is (a namespace may not choose a restricted one for itself).
CONGESTION = b"cubic"


def tcp_socket():
    made = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    made.setsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, CONGESTION)
    return made


def serve(port, seconds):
    end = time.monotonic() + seconds

    def sink(connection):
        with connection:
            connection.settimeout(1.0)
            while time.monotonic() < end:
                try:
                    if not connection.recv(CHUNK):
                        return
                except socket.timeout:
                    continue
                except OSError:
                    return

    def source(connection):
        block = b"\0" * CHUNK
        with connection:
            connection.settimeout(1.0)
            while time.monotonic() < end:
                try:
                    connection.sendall(block)
                except socket.timeout:
                    continue
                except OSError:
                    return

    def listen(offset, handle):
        listener = tcp_socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("", port + offset))
        listener.listen()
        listener.settimeout(0.5)
        while time.monotonic() < end:
            try:
                connection, _ = listener.accept()
            except socket.timeout:
                continue
            threading.Thread(target=handle, args=(connection,), daemon=True).start()

    def echo():
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("", port + 2))
        udp.settimeout(0.5)
        while time.monotonic() < end:
            try:
                data, peer = udp.recvfrom(2048)
                udp.sendto(data, peer)
            except socket.timeout:
                continue

    for target, args in [(listen, (0, sink)), (listen, (1, source)), (echo, ())]:
        threading.Thread(target=target, args=args, daemon=True).start()
    print("ready", flush=True)
    time.sleep(max(0.0, end - time.monotonic()))


def bulk(direction, host, port, seconds, log, tos=0, cap_mbit=0.0, buffer_kib=0):
    connection = tcp_socket()
    if buffer_kib:
        for option in (socket.SO_SNDBUF, socket.SO_RCVBUF):
            connection.setsockopt(socket.SOL_SOCKET, option, buffer_kib * 1024)
    if tos:
        connection.setsockopt(socket.IPPROTO_IP, socket.IP_TOS, tos)
    connection.connect((host, port + (0 if direction == "up" else 1)))
    connection.settimeout(0.2)
    start = time.monotonic()
    end = start + seconds
    moved, next_line = 0, start
    block = b"\0" * (16 * 1024)
    # Written as it goes: the figure times its phases from the first line.
    with open(log, "w") as out:
        while time.monotonic() < end:
            if cap_mbit and moved * 8 / 1e6 > cap_mbit * (time.monotonic() - start):
                time.sleep(0.002)
            else:
                try:
                    moved += (connection.send(block) if direction == "up"
                              else len(connection.recv(16 * 1024)))
                except socket.timeout:
                    pass
            now = time.monotonic()
            if now >= next_line:
                out.write(f"{now:.4f} {moved}\n")
                out.flush()
                next_line = now + 0.1
        out.write(f"{time.monotonic():.4f} {moved}\n")
    connection.close()


def ping(host, port, seconds, log):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.connect((host, port + 2))
    udp.settimeout(0.05)
    end = time.monotonic() + seconds
    lines, sequence = [], 0
    while time.monotonic() < end:
        sequence += 1
        sent = time.monotonic()
        udp.send(sequence.to_bytes(8, "little") + b"\0" * 56)
        deadline = sent + 1.0
        while time.monotonic() < deadline:
            try:
                data = udp.recv(2048)
            except socket.timeout:
                continue
            if int.from_bytes(data[:8], "little") == sequence:
                lines.append(f"{sent:.4f} {(time.monotonic() - sent) * 1000:.3f}\n")
                break
        time.sleep(max(0.0, sent + 0.05 - time.monotonic()))
    with open(log, "w") as out:
        out.writelines(lines)


def main(argv):
    mode = argv[1]
    if mode == "serve":
        serve(int(argv[2]), float(argv[3]))
    elif mode == "bulk":
        options = dict(zip(argv[7::2], argv[8::2]))
        bulk(argv[2], argv[3], int(argv[4]), float(argv[5]), argv[6],
             int(options.get("--tos", 0)), float(options.get("--cap-mbit", 0)),
             int(options.get("--buffer-kib", 0)))
    elif mode == "ping":
        ping(argv[2], int(argv[3]), float(argv[4]), argv[5])
    else:
        sys.exit(f"net_traffic: no mode {mode}")


if __name__ == "__main__":
    main(sys.argv)

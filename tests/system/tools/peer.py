#!/usr/bin/env python3
"""The far end of Zelkor's system tests: builds and reads SNTP datagrams, sends broadcasts and requests,
catches what arrives.

Used two ways:
  * as a module (import peer): the packet builders and readers the tests share;
  * as a command, run inside a network namespace by hand when chasing a failure, e.g.
      ip netns exec NS python3 peer.py broadcast --to 255.255.255.255 --source 10.77.0.3 --stratum 2 --error 0.5
      ip netns exec NS python3 peer.py send --to 10.77.0.1 --hex 23000600...   (prints the reply)
      ip netns exec NS python3 peer.py recv --bind 0.0.0.0:123 --timeout 70  (prints what arrives)

Standard library only. Timestamps here are full-precision NTP timestamps; the daemon's own carry whole
milliseconds, which the tests check separately.
"""

import argparse
import hashlib
import select
import socket
import struct
import sys
import time

NTP_PORT = 123
PACKET_SIZE = 48
SECONDS_1900_TO_1970 = 2208988800

# Field offsets in a 48-byte SNTP message.
FLAGS, STRATUM, POLL, PRECISION = 0, 1, 2, 3
ROOT_DELAY, ROOT_DISPERSION, REFERENCE_ID = 4, 8, 12
REFERENCE, ORIGINATE, RECEIVE, TRANSMIT = 16, 24, 32, 40


def timestamp(unix_seconds):
    """8-byte NTP timestamp (seconds since 1900, 32-bit binary fraction) of a Unix time."""
    ntp = unix_seconds + SECONDS_1900_TO_1970
    seconds = int(ntp // 1)
    fraction = int((ntp - seconds) * 2**32)
    return struct.pack("!II", seconds & 0xFFFFFFFF, min(fraction, 0xFFFFFFFF))


def unix_time(ts):
    """Unix time of an 8-byte NTP timestamp (era 0)."""
    seconds, fraction = struct.unpack("!II", bytes(ts))
    return seconds - SECONDS_1900_TO_1970 + fraction / 2**32


def field(message, offset, size=8):
    return bytes(message[offset:offset + size])


def mode(message):
    return message[0] & 7 if message else 0


def message(flags, stratum=0, poll=0, precision=0, reference_id=b"\0\0\0\0", reference=b"\0" * 8,
            originate=b"\0" * 8, receive=b"\0" * 8, transmit=b"\0" * 8):
    """A 48-byte SNTP message from its fields (timestamps as 8 raw bytes)."""
    out = bytearray(PACKET_SIZE)
    out[FLAGS], out[STRATUM], out[POLL], out[PRECISION] = flags, stratum, poll, precision
    out[REFERENCE_ID:REFERENCE_ID + 4] = reference_id
    out[REFERENCE:REFERENCE + 8] = reference
    out[ORIGINATE:ORIGINATE + 8] = originate
    out[RECEIVE:RECEIVE + 8] = receive
    out[TRANSMIT:TRANSMIT + 8] = transmit
    return bytes(out)


def request(transmit, flags=0x23, poll=6):
    """A client request (default: leap 0, version 4, mode 3) carrying the given 8 transmit bytes."""
    return message(flags, poll=poll, precision=0xEC, transmit=transmit)


def broadcast(stratum, transmit_unix=None, error=0.0, flags=0x1D):
    """A mode-5 broadcast (version 3) whose transmit time is now + error seconds, or transmit_unix."""
    t = time.time() + error if transmit_unix is None else transmit_unix
    ts = timestamp(t)
    return message(flags, stratum=stratum, poll=6, precision=0xEC, reference_id=b"TEST", reference=ts,
                   transmit=ts)


def reply(originate, receive_unix, transmit_unix, stratum=2, flags=0x1C):
    """A server reply (mode 4, version 3) to a request whose transmit field was `originate`."""
    return message(flags, stratum=stratum, poll=6, precision=0xEC, reference_id=b"TEST",
                   reference=timestamp(transmit_unix), originate=originate,
                   receive=timestamp(receive_unix), transmit=timestamp(transmit_unix))


def signed(message, key_id=1, secret=b"zelkor-md5-key", flip=False):
    """The message with an MD5 MAC (RFC 5905) under key_id; its last digest bit flipped when asked."""
    digest = bytearray(hashlib.md5(secret + message).digest())
    if flip:
        digest[-1] ^= 1
    return message + key_id.to_bytes(4, "big") + bytes(digest)


def spoofed(source, destination, payload, sport=NTP_PORT, dport=NTP_PORT):
    """An IPv4 datagram with a UDP payload from any source address, for a raw socket (IP_HDRINCL): what
    an attacker on the LAN can send. The UDP checksum is left 0 (none, for IPv4)."""
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(source), socket.inet_aton(destination))
    words = struct.unpack("!10H", header)
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return header[:10] + struct.pack("!H", ~total & 0xFFFF) + header[12:] + udp


def raw_socket():
    """A socket that sends what spoofed() builds (needs CAP_NET_RAW)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_HDRINCL, 1)
    return s


def udp_socket(source="0.0.0.0", port=0, broadcast_ok=True, reuse=False):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if reuse:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if broadcast_ok:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind((source, port))
    return s


def receive(sock, timeout):
    """(data, (address, port)) of the next datagram within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        left = max(deadline - time.monotonic(), 0)
        ready, _, _ = select.select([sock], [], [], left)
        if ready:
            return sock.recvfrom(65535)
        if time.monotonic() >= deadline:
            return None


def drain(sock):
    """Every datagram already queued on sock."""
    out = []
    for _ in range(100000):
        got = receive(sock, 0)
        if got is None:
            break
        out.append(got)
    return out


def _address(text, default_port=NTP_PORT):
    host, _, port = text.partition(":")
    return host, int(port) if port else default_port


def _main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("broadcast", help="send mode-5 broadcasts")
    b.add_argument("--to", default="255.255.255.255", help="ADDR[:PORT], default port 123")
    b.add_argument("--source", default="0.0.0.0", help="local address to send from")
    b.add_argument("--stratum", type=int, default=2)
    b.add_argument("--error", type=float, default=0.0, help="seconds added to the real time sent")
    b.add_argument("--count", type=int, default=1)
    b.add_argument("--interval", type=float, default=1.0)
    s = sub.add_parser("send", help="send one datagram and print any replies")
    s.add_argument("--to", required=True, help="ADDR[:PORT], default port 123")
    s.add_argument("--source", default="0.0.0.0")
    s.add_argument("--hex", help="payload; default a version-4 request stamped now")
    s.add_argument("--wait", type=float, default=1.0, help="seconds to wait for replies")
    r = sub.add_parser("recv", help="print datagrams arriving on a port")
    r.add_argument("--bind", default="0.0.0.0:123")
    r.add_argument("--timeout", type=float, default=10.0)
    r.add_argument("--count", type=int, default=1)
    args = parser.parse_args(argv)

    if args.command == "broadcast":
        with udp_socket(args.source) as sock:
            for i in range(max(args.count, 0)):
                if i:
                    time.sleep(args.interval)
                sock.sendto(broadcast(args.stratum, error=args.error), _address(args.to))
        return 0
    if args.command == "send":
        payload = bytes.fromhex(args.hex) if args.hex else request(timestamp(time.time()))
        with udp_socket(args.source) as sock:
            sock.sendto(payload, _address(args.to))
            deadline = time.monotonic() + args.wait
            while True:
                got = receive(sock, max(deadline - time.monotonic(), 0))
                if got is None:
                    break
                print(f"{got[1][0]}:{got[1][1]} {got[0].hex()}", flush=True)
        return 0
    host, port = _address(args.bind)
    with udp_socket(host, port) as sock:
        deadline = time.monotonic() + args.timeout
        for _ in range(max(args.count, 0)):
            got = receive(sock, max(deadline - time.monotonic(), 0))
            if got is None:
                return 1
            print(f"{got[1][0]}:{got[1][1]} {got[0].hex()}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))

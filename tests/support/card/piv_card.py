#!/usr/bin/env python3
"""A PIV smart card for tests, inserted in vpcd's virtual reader (vsmartcard-vpcd in pcscd).

It holds one RSA-2048 key and its certificate in the PIV Authentication slot (9A), its
issuer's certificate (in the Key Management slot's certificate object), a CHUID
(the card's serial) and the application PIN with a retry counter. What OpenSC's PIV driver
uses is answered: SELECT of the PIV application, GET DATA of the data objects, VERIFY (with
and without a PIN), GENERAL AUTHENTICATE (a raw RSA operation on the padded block OpenSC
sends), GET RESPONSE for long answers and command chaining for long commands.

Standard input takes one command a line: "remove" (the card leaves the reader), "insert"
(it comes back, its PIN counter as it was), "state" (prints the tries left and how many PINs
were presented while the PIN was locked), "quit". "ready" is printed once the card is in.
"""
import argparse
import socket
import struct
import sys
import threading
import time

from cryptography.hazmat.primitives import serialization

PIV_AID = bytes.fromhex("A000000308000010000100")
ATR = bytes.fromhex("3BF81300008131FE154A434F5076323431B7")
SW_OK = b"\x90\x00"
SW_NOT_FOUND = b"\x6a\x82"
SW_INS = b"\x6d\x00"
SW_COND = b"\x69\x85"
SW_SECURITY = b"\x69\x82"
SW_LOCKED = b"\x69\x83"
SW_WRONG_DATA = b"\x6a\x80"


def tlv(tag, value):
    """BER-TLV with the tag as bytes."""
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82, n >> 8, n & 0xFF])
    return tag + length + value


def read_tlv(data, pos):
    """(tag byte, value, next position) of the BER-TLV at pos (one-byte tags)."""
    tag = data[pos]
    n = data[pos + 1]
    pos += 2
    if n == 0x81:
        n = data[pos]
        pos += 1
    elif n == 0x82:
        n = (data[pos] << 8) | data[pos + 1]
        pos += 2
    return tag, data[pos:pos + n], pos + n


class PivCard:
    def __init__(self, cert_der, key, pin, tries, serial, ca_der=None):
        self.key = key
        self.pin = pin.encode().ljust(8, b"\xff")
        self.max_tries = 3
        self.tries = tries
        self.verified = False
        self.pins_while_locked = 0  # PINs presented to the locked card (a program must send none)
        guid = serial.encode().ljust(16, b"\x00")[:16]
        fascn = bytes.fromhex("D4E739DA739CED39CE739D836858210842108421C84210C3EB")
        chuid = tlv(b"\x30", fascn) + tlv(b"\x34", guid) + tlv(b"\x35", b"20301231") + tlv(b"\x3e", b"") + b"\xfe\x00"
        cert = tlv(b"\x70", cert_der) + tlv(b"\x71", b"\x00") + b"\xfe\x00"
        self.objects = {
            bytes.fromhex("5FC102"): tlv(b"\x53", chuid),
            bytes.fromhex("5FC105"): tlv(b"\x53", cert),
        }
        if ca_der:  # the issuer's certificate, as e-CPF cards carry their chain (the Key Management slot)
            self.objects[bytes.fromhex("5FC10B")] = tlv(b"\x53", tlv(b"\x70", ca_der) + tlv(b"\x71", b"\x00") + b"\xfe\x00")
        self.pending = b""  # the rest of a long answer, for GET RESPONSE
        self.chained = b""  # the data of a chained command so far

    def power_on(self):
        self.verified = False
        self.pending = b""
        self.chained = b""

    def answer(self, data):
        """The whole answer to an answer chunk of at most 256 bytes, with its status."""
        if len(data) <= 256:
            self.pending = b""
            return data + SW_OK
        self.pending = data[256:]
        rest = len(self.pending)
        return data[:256] + bytes([0x61, rest if rest < 256 else 0])

    def apdu(self, command):
        cla, ins, p1, p2 = command[:4]
        body = command[4:]
        data = b""
        if len(body) > 1:
            lc = body[0]
            data = body[1:1 + lc]
        elif len(body) == 1 and ins == 0x20:
            data = b""
        if ins == 0xC0:  # GET RESPONSE
            return self.answer(self.pending) if self.pending else SW_COND
        if cla & 0x10:  # command chaining: more to come
            self.chained += data
            return SW_OK
        data = self.chained + data
        self.chained = b""
        if ins == 0xA4:
            return self.select(p1, data)
        if ins == 0xCB:
            return self.get_data(data)
        if ins == 0x20:
            return self.verify(p1, p2, data)
        if ins == 0x87:
            return self.authenticate(p1, p2, data)
        return SW_INS

    def select(self, p1, data):
        if p1 != 0x04 or not PIV_AID.startswith(data[:len(PIV_AID)]) or len(data) < 5:
            return SW_NOT_FOUND
        self.verified = False
        apt = tlv(b"\x4f", bytes.fromhex("0000100001 00".replace(" ", ""))) + tlv(b"\x79", tlv(b"\x4f", PIV_AID[:5]))
        return self.answer(tlv(b"\x61", apt))

    def get_data(self, data):
        _, tag, _ = read_tlv(data, 0)
        found = self.objects.get(tag)
        return self.answer(found) if found else SW_NOT_FOUND

    def verify(self, p1, p2, data):
        if p2 != 0x80:
            return SW_NOT_FOUND
        if p1 == 0xFF:  # the PIN is let go
            self.verified = False
            return SW_OK
        if self.tries == 0:
            self.pins_while_locked += 1 if data else 0
            return SW_LOCKED
        if not data:
            return SW_OK if self.verified else bytes([0x63, 0xC0 | self.tries])
        if data == self.pin:
            self.tries = self.max_tries
            self.verified = True
            return SW_OK
        self.tries -= 1
        self.verified = False
        return SW_LOCKED if self.tries == 0 else bytes([0x63, 0xC0 | self.tries])

    def authenticate(self, algorithm, key_ref, data):
        if algorithm != 0x07 or key_ref != 0x9A:
            return SW_NOT_FOUND
        if not self.verified:
            return SW_SECURITY
        _, template, _ = read_tlv(data, 0)
        pos, challenge = 0, None
        while pos < len(template):
            tag, value, pos = read_tlv(template, pos)
            if tag == 0x81:
                challenge = value
        if challenge is None or len(challenge) != 256:
            return SW_WRONG_DATA
        numbers = self.key.private_numbers()
        n = numbers.public_numbers.n
        m = int.from_bytes(challenge, "big")
        if m >= n:
            return SW_WRONG_DATA
        signature = pow(m, numbers.d, n).to_bytes(256, "big")
        return self.answer(tlv(b"\x7c", tlv(b"\x82", signature)))


class Reader:
    """The connection to vpcd: the card is in the reader while it is connected."""

    def __init__(self, card, host, port):
        self.card, self.host, self.port = card, host, port
        self.sock = None
        self.lock = threading.Lock()

    def insert(self, ceiling=60.0):
        deadline = time.monotonic() + ceiling
        while True:
            try:
                sock = socket.create_connection((self.host, self.port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        sock.settimeout(None)
        with self.lock:
            self.sock = sock
        threading.Thread(target=self.serve, args=(sock,), daemon=True).start()

    def remove(self):
        with self.lock:
            sock, self.sock = self.sock, None
        if sock:
            sock.shutdown(socket.SHUT_RDWR)
            sock.close()

    def serve(self, sock):
        try:
            while True:
                head = self.receive(sock, 2)
                (length,) = struct.unpack(">H", head)
                message = self.receive(sock, length)
                with self.lock:
                    if sock is not self.sock:
                        return
                    if length == 1:
                        reply = self.control(message[0])
                    else:
                        reply = self.card.apdu(message)
                if reply is not None:
                    sock.sendall(struct.pack(">H", len(reply)) + reply)
        except (OSError, EOFError):
            return

    def control(self, code):
        if code in (1, 2):  # power on, reset
            self.card.power_on()
        if code == 4:  # the ATR
            return ATR
        return None

    @staticmethod
    def receive(sock, n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True, help="the certificate, DER")
    parser.add_argument("--key", required=True, help="its private key, PEM")
    parser.add_argument("--ca-cert", help="the issuer's certificate, DER, also held by the card")
    parser.add_argument("--pin", default="1234")
    parser.add_argument("--tries", type=int, default=3, help="PIN tries left")
    parser.add_argument("--serial", default="NORVANE-PIV-0001")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=35963)
    args = parser.parse_args()
    with open(args.cert, "rb") as f:
        cert = f.read()
    with open(args.key, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), password=None)
    ca = None
    if args.ca_cert:
        with open(args.ca_cert, "rb") as f:
            ca = f.read()
    reader = Reader(PivCard(cert, key, args.pin, args.tries, args.serial, ca), args.host, args.port)
    reader.insert()
    print("ready", flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command == "remove":
            reader.remove()
        elif command == "insert":
            reader.insert()
        elif command == "quit":
            break
        elif command == "state":
            with reader.lock:
                print("state tries=%d pins-while-locked=%d" % (reader.card.tries, reader.card.pins_while_locked),
                      flush=True)
            continue
        print("ok " + command, flush=True)
    reader.remove()


if __name__ == "__main__":
    main()

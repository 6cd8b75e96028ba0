#!/usr/bin/python3
"""A LAC with one PPP user, for tests and the login benchmark.

Opens a tunnel and a call to an LNS on loopback, negotiates LCP, logs the user in with CHAP or
PAP, gets an address with IPCP and sends UDP packets from it through the session. The PPP
packets are built and read with scapy's layers; the L2TP control messages are written here.
Prints one line per event on standard output and exits 0 when the script ran to its end (what
the LNS answered is for the caller to judge).
"""

import argparse
import hashlib
import socket
import struct
import sys
import time

from scapy.layers.inet import IP, UDP
from scapy.layers.ppp import (PPP, PPP_CHAP, PPP_CHAP_ChallengeResponse, PPP_IPCP,
                              PPP_IPCP_Option_IPAddress, PPP_LCP, PPP_LCP_Configure,
                              PPP_LCP_Magic_Number_Option, PPP_LCP_MRU_Option,
                              PPP_LCP_Terminate, PPP_PAP_Request, PPP_PAP_Response)

SCCRQ, SCCRP, SCCCN, STOPCCN, ICRQ, ICRP, ICCN, CDN = 1, 2, 3, 4, 10, 11, 12, 14
LCP, PAP, CHAP, IPCP = 0xC021, 0xC023, 0xC223, 0x8021


def avp(kind, value):
    return struct.pack("!HHH", 0x8000 | (6 + len(value)), 0, kind) + value


def u16(value):
    return struct.pack("!H", value)


def u32(value):
    return struct.pack("!I", value)


class Lac:
    """The tunnel and the one call; reliable delivery just far enough for a test run."""

    def __init__(self, port, local_tunnel, local_session):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.lns = ("127.0.0.1", port)
        self.ns = self.nr = 0
        self.tunnel = self.session = 0
        self.local_tunnel, self.local_session = local_tunnel, local_session

    def control(self, kind, avps, session=0):
        body = avp(0, u16(kind)) + b"".join(avps)
        header = struct.pack("!HHHHHH", 0xC802, 12 + len(body), self.tunnel, session, self.ns,
                             self.nr)
        self.ns += 1
        self.sock.sendto(header + body, self.lns)

    def acknowledge(self):
        self.sock.sendto(struct.pack("!HHHHHH", 0xC802, 12, self.tunnel, 0, self.ns, self.nr),
                         self.lns)

    def ppp(self, packet):
        header = struct.pack("!HHH", 0x0002, self.tunnel, self.session)
        self.sock.sendto(header + b"\xff\x03" + bytes(packet), self.lns)

    def receive(self, deadline):
        """('control', type, {avp: value}) or ('data', PPP) or None at the deadline."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                datagram, _ = self.sock.recvfrom(65536)
            except socket.timeout:
                return None
            flags = struct.unpack("!H", datagram[:2])[0]
            if flags & 0x8000:
                message = self.parse_control(datagram)
                if message:
                    return message
                continue
            at = 4 if flags & 0x4000 else 2
            at += 4 + (4 if flags & 0x0800 else 0)
            if flags & 0x0200:
                at += 2 + struct.unpack("!H", datagram[at:at + 2])[0]
            frame = datagram[at:]
            if frame[:2] == b"\xff\x03":
                frame = frame[2:]
            return ("data", PPP(frame))

    def parse_control(self, datagram):
        length, _, _, ns, _ = struct.unpack("!HHHHH", datagram[2:12])
        if length == 12:
            return None  # an acknowledgement
        self.nr = (ns + 1) & 0xFFFF
        avps, at = {}, 12
        while at + 6 <= length:
            size = struct.unpack("!H", datagram[at:at + 2])[0] & 0x3FF
            kind = struct.unpack("!H", datagram[at + 4:at + 6])[0]
            avps[kind] = datagram[at + 6:at + size]
            at += max(size, 6)
        kind = struct.unpack("!H", avps.get(0, b"\0\0"))[0]
        if kind == SCCRP and 9 in avps:
            self.tunnel = struct.unpack("!H", avps[9])[0]
        self.acknowledge()
        return ("control", kind, avps)

    def open_call(self, deadline):
        self.control(SCCRQ, [avp(2, u16(0x0100)), avp(7, b"lac"), avp(3, u32(3)),
                             avp(9, u16(self.local_tunnel))])
        reply = self.expect(SCCRP, deadline)
        if not reply:
            return False
        self.control(SCCCN, [])
        self.control(ICRQ, [avp(14, u16(self.local_session)), avp(15, u32(1))])
        reply = self.expect(ICRP, deadline)
        if not reply:
            return False
        self.session = struct.unpack("!H", reply[14])[0]
        self.control(ICCN, [avp(24, u32(10000000)), avp(19, u32(1))], session=self.session)
        return True

    def expect(self, kind, deadline):
        while True:
            message = self.receive(deadline)
            if message is None:
                print("timeout waiting for control message %d" % kind)
                return None
            if message[0] == "control" and message[1] == kind:
                return message[2]


def result_text(avps):
    value = avps.get(1, b"\0\0\0\0")
    result, error = struct.unpack("!HH", value[:4].ljust(4, b"\0"))
    return "%d %d %s" % (result, error, value[4:].decode(errors="replace"))


class User:
    """The PPP side of the call: one login and the traffic that follows."""

    def __init__(self, lac, args):
        self.lac, self.args = lac, args
        self.ipcp_acked = self.ipcp_peer_acked = False
        self.address = args.ask
        self.done = self.terminated = False

    def start(self):
        self.lac.ppp(PPP(proto=LCP) / PPP_LCP_Configure(code=1, id=1, options=[
            PPP_LCP_MRU_Option(max_recv_unit=1400),
            PPP_LCP_Magic_Number_Option(magic_number=0x11223344)]))

    def handle(self, frame):
        handler = {LCP: self.on_lcp, CHAP: self.on_chap, PAP: self.on_pap,
                   IPCP: self.on_ipcp}.get(frame.proto)
        if handler:
            handler(frame)

    def on_lcp(self, frame):
        lcp = frame[PPP_LCP] if PPP_LCP in frame else frame.payload
        code = lcp.code
        if code == 1:
            self.answer_lcp_request(frame[PPP_LCP_Configure])
        elif code == 2:
            print("LCP acked")
        elif code == 5:
            print("LCP terminate: %s" % bytes(frame[PPP_LCP_Terminate].data).decode())
            self.terminated = True
            self.lac.ppp(PPP(proto=LCP) / PPP_LCP_Terminate(code=6, id=lcp.id))

    def answer_lcp_request(self, request):
        options = bytes(request)[4:request.len]
        auth = [o for o in request.options if o.type == 3]
        if auth and self.args.auth == "reject":
            self.lac.ppp(PPP(proto=LCP) / PPP_LCP_Configure(code=4, id=request.id,
                                                            options=auth))
        elif auth and self.args.auth == "pap" and auth[0].auth_protocol != PAP:
            nak = bytes([3, 4, 0xC0, 0x23])
            self.lac.ppp(PPP(proto=LCP) / bytes([3, request.id, 0, 4 + len(nak)]) / nak)
        else:
            self.lac.ppp(PPP(proto=LCP) / bytes([2, request.id, 0, 4 + len(options)]) /
                         options)
            if auth and self.args.auth == "pap":
                self.send_pap()

    def send_pap(self):
        user, password = self.args.user.encode(), self.args.password.encode()
        self.lac.ppp(PPP(proto=PAP) / PPP_PAP_Request(
            code=1, id=1, username_len=len(user), username=user, passwd_len=len(password),
            password=password))

    def on_chap(self, frame):
        chap = frame[PPP_CHAP] if PPP_CHAP in frame else frame[PPP_CHAP_ChallengeResponse]
        if chap.code == 1:
            challenge = frame[PPP_CHAP_ChallengeResponse]
            digest = hashlib.md5(bytes([challenge.id]) + self.args.password.encode() +
                                 bytes(challenge.value)).digest()
            self.lac.ppp(PPP(proto=CHAP) / PPP_CHAP_ChallengeResponse(
                code=2, id=challenge.id, value_size=16, value=digest,
                optional_name=self.args.user.encode()))
        elif chap.code in (3, 4):
            word = "success" if chap.code == 3 else "failure"
            print("CHAP %s: %s" % (word, bytes(chap.data).decode()))
            if chap.code == 3:
                self.request_address()

    def on_pap(self, frame):
        response = frame[PPP_PAP_Response]
        word = "ack" if response.code == 2 else "nak"
        print("PAP %s: %s" % (word, bytes(response.message).decode()))
        if response.code == 2:
            self.request_address()

    def request_address(self):
        self.lac.ppp(PPP(proto=IPCP) / PPP_IPCP(code=1, id=1, options=[
            PPP_IPCP_Option_IPAddress(data=self.address)]))

    def on_ipcp(self, frame):
        ipcp = frame[PPP_IPCP]
        if ipcp.code == 1:
            self.lac.ppp(PPP(proto=IPCP) / bytes([2, ipcp.id]) / bytes(ipcp)[2:ipcp.len])
            self.ipcp_peer_acked = True
        elif ipcp.code == 3:
            self.address = ipcp.options[0].data
            print("IPCP nak: %s" % self.address)
            self.request_address()
        elif ipcp.code == 2:
            print("IPCP address: %s" % self.address)
            self.ipcp_acked = True
        elif ipcp.code == 4:
            print("IPCP reject")
        if self.ipcp_acked and self.ipcp_peer_acked and not self.done:
            self.done = True
            self.send_traffic()

    def send_traffic(self):
        if not self.args.send_to:
            return
        host, port = self.args.send_to.split(":")
        for n in range(self.args.packets):
            payload = ("velmora %d " % n).encode().ljust(self.args.size, b".")
            packet = IP(src=self.address, dst=host) / UDP(sport=4000, dport=int(port)) / payload
            self.lac.ppp(PPP(proto=0x0021) / packet)
        print("sent %d" % self.args.packets)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="ann")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--auth", choices=["chap", "pap", "reject"], default="chap")
    parser.add_argument("--ask", default="0.0.0.0")
    parser.add_argument("--send-to", default="")
    parser.add_argument("--packets", type=int, default=1)
    parser.add_argument("--size", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--stay", action="store_true", help="keep the tunnel open at the end")
    args = parser.parse_args()
    deadline = time.monotonic() + args.seconds
    lac = Lac(args.port, 7, 9)
    if not lac.open_call(deadline):
        return 0
    print("call open")
    user = User(lac, args)
    user.start()
    while not user.done:
        if user.terminated:  # a CDN may follow
            deadline = min(deadline, time.monotonic() + 1.0)
        message = lac.receive(deadline)
        if message is None:
            print("end" if user.terminated else "timeout")
            break
        if message[0] == "data":
            user.handle(message[1])
        elif message[1] in (CDN, STOPCCN):
            print("%s %s" % ("CDN" if message[1] == CDN else "StopCCN", result_text(message[2])))
            break
    if not args.stay:
        lac.control(STOPCCN, [avp(9, u16(lac.local_tunnel)), avp(1, u16(1) + u16(0))])
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())

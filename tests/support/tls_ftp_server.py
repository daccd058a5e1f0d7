#!/usr/bin/python3
"""A small FTP-over-TLS server for the engine's TLS tests, on Python's ssl.

Usage: tls_ftp_server.py ROOT CERT KEY WIRE [OPTION]...

Serves the files of ROOT (RETR, STOR, SIZE, LIST) on 127.0.0.1, a port the
system chooses, printed on standard output as the first line. Any user and
password log in. WIRE receives every byte the clients sent on their control
connections as it crossed the network (ciphertext once TLS is on), then a
line "COMMAND: ..." per command as the server understood it.

Options that make it misbehave the way real servers do:
  --implicit        TLS from the first byte
  --refuse-auth     answers AUTH TLS with 534
  --refuse-prot     answers PROT P with 536
  --require-reuse   a data connection must resume the control connection's
                    TLS session, else 522 and the control connection ends
                    (what vsftpd does)
  --cut-download N  RETR sends nothing beyond byte N of the file, then drops
                    the connection without close_notify, and still answers 226
  --no-close-notify RETR sends the whole file without close_notify
Runs until SIGTERM.
"""
import os
import socket
import ssl
import sys
import threading


class Control:
    """The control connection: plain at first, then TLS through memory BIOs
    so that the raw bytes can be recorded."""

    def __init__(self, sock, context, wire):
        self.sock = sock
        self.context = context
        self.wire = wire
        self.tls = None
        self.buffer = b""

    def record(self, data, stream=0):
        with self.wire[2]:
            self.wire[stream].write(data)
            self.wire[stream].flush()

    def raw_recv(self):
        data = self.sock.recv(65536)
        self.record(data)
        return data

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def start_tls(self):
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = self.context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return
            except ssl.SSLWantReadError:
                self.flush()
                data = self.raw_recv()
                if not data:
                    raise ConnectionError("closed during handshake")
                self.incoming.write(data)

    def recv(self):
        if self.tls is None:
            return self.raw_recv()
        while True:
            try:
                data = self.tls.read(65536)
                self.flush()
                return data
            except ssl.SSLWantReadError:
                self.flush()
                data = self.raw_recv()
                if not data:
                    return b""
                self.incoming.write(data)
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                return b""

    def send(self, text):
        data = (text + "\r\n").encode()
        if self.tls is None:
            self.sock.sendall(data)
        else:
            self.tls.write(data)
            self.flush()

    def lines(self):
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                yield line.rstrip(b"\r").decode("utf-8", "replace")
            data = self.recv()
            if not data:
                return
            self.buffer += data


def serve(sock, options, context, wire):
    control = Control(sock, context, wire)
    protected = False
    listener = None
    rest = 0
    try:
        if "--implicit" in options:
            control.start_tls()
        control.send("220 tls test server")
        for line in control.lines():
            control.record((line + "\n").encode(), 1)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "AUTH":
                if "--refuse-auth" in options:
                    control.send("534 TLS not available")
                    continue
                control.send("234 AUTH TLS ok")
                control.start_tls()
            elif verb == "USER":
                control.send("331 password please")
            elif verb == "PASS":
                control.send("230 logged in")
            elif verb == "PBSZ":
                control.send("200 PBSZ=0")
            elif verb == "PROT":
                if "--refuse-prot" in options:
                    control.send("536 PROT P not accepted")
                else:
                    protected = arg.upper() == "P"
                    control.send("200 PROT ok")
            elif verb in ("TYPE", "OPTS", "NOOP", "MODE", "STRU"):
                control.send("200 ok")
            elif verb == "PWD":
                control.send('257 "/" is the current folder')
            elif verb == "CWD":
                control.send("250 ok")
            elif verb == "SYST":
                control.send("215 UNIX Type: L8")
            elif verb == "SIZE":
                path = os.path.join(options["root"], arg.lstrip("/"))
                if os.path.isfile(path):
                    control.send("213 %d" % os.path.getsize(path))
                else:
                    control.send("550 no such file")
            elif verb == "REST":
                rest = int(arg)
                control.send("350 restarting at %d" % rest)
            elif verb == "PASV":
                if listener:
                    listener.close()
                listener = socket.socket()
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
                port = listener.getsockname()[1]
                control.send("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port // 256, port % 256))
            elif verb in ("RETR", "STOR", "LIST", "APPE"):
                if not listener:
                    control.send("425 use PASV first")
                    continue
                data, _ = listener.accept()
                listener.close()
                listener = None
                control.send("150 opening data connection")
                if protected:
                    data = context.wrap_socket(data, server_side=True)
                    if "--require-reuse" in options and not data.session_reused:
                        control.send("522 SSL connection failed: session reuse required")
                        data.close()
                        return
                transfer(control, data, verb, arg, options, protected, rest)
                rest = 0
            elif verb == "QUIT":
                control.send("221 bye")
                return
            else:
                control.send("502 not implemented")
    except (OSError, ssl.SSLError, ConnectionError):
        pass
    finally:
        sock.close()


def finish(data, protected, clean):
    if protected and clean:
        try:
            data = data.unwrap()
        except (OSError, ssl.SSLError):
            pass
    data.close()


def transfer(control, data, verb, arg, options, protected, rest):
    path = os.path.join(options["root"], arg.lstrip("/"))
    if verb == "LIST":
        lines = ""
        for name in sorted(os.listdir(options["root"])):
            size = os.path.getsize(os.path.join(options["root"], name))
            lines += "-rw-r--r-- 1 u g %d Jan 01 2026 %s\r\n" % (size, name)
        data.sendall(lines.encode())
        finish(data, protected, True)
        control.send("226 done")
    elif verb == "RETR":
        with open(path, "rb") as f:
            content = f.read()
        clean = True
        if "--cut-download" in options:
            # The file never gets past the cut, whatever REST asked for.
            content = content[: int(options["--cut-download"])]
            clean = False
        content = content[rest:]
        if "--no-close-notify" in options:
            clean = False
        data.sendall(content)
        finish(data, protected, clean)
        control.send("226 done")
    else:
        received = b""
        while True:
            try:
                chunk = data.recv(65536)
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                break
            if not chunk:
                break
            received += chunk
        with open(path, "ab" if verb == "APPE" else "wb") as f:
            f.write(received)
        finish(data, protected, True)
        control.send("226 stored")


def main(argv):
    if len(argv) < 5:
        sys.stderr.write(__doc__)
        return 2
    root, cert, key, wire_path = argv[1:5]
    options = {"root": root}
    rest = argv[5:]
    i = 0
    while i < len(rest):
        if rest[i] == "--cut-download":
            options[rest[i]] = rest[i + 1]
            i += 2
        else:
            options[rest[i]] = True
            i += 1
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    wire = (open(wire_path, "ab"), open(wire_path + ".commands", "ab"), threading.Lock())
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    sys.stdout.write("%d\n" % server.getsockname()[1])
    sys.stdout.flush()
    while True:
        sock, _ = server.accept()
        threading.Thread(target=serve, args=(sock, options, context, wire), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main(sys.argv))

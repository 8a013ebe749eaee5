"""A stream server for the network layer's tests, plain or TLS.

Prints "READY <port>" when it listens. Each connection sends one command
line, then:
  ECHO        every byte comes back until the client closes; the log then
              says "echo ended cleanly" or, for a TLS stream cut without a
              close alert, "connection ended: ... unexpected eof ..."
  SOURCE n    n bytes of the test pattern follow, then an orderly close
  SINK n      n bytes are read and checked against the test pattern; the
              answer is "OK n" or "BAD <offset>"
  STARTTLS    "GO" and a TLS handshake (needs --cert), then one more command
  DROP        the connection is closed at once (no TLS close alert)
"""
import argparse
import socket
import ssl
import sys
import threading

PATTERN_BLOCK = 65521  # a prime, so no chunk size lines up with it


def pattern_block():
    out = bytearray(PATTERN_BLOCK)
    x = 12345
    for i in range(PATTERN_BLOCK):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


BLOCK = pattern_block()


def pattern_at(offset, size):
    out = bytearray()
    while len(out) < size:
        start = (offset + len(out)) % PATTERN_BLOCK
        out += BLOCK[start:start + size - len(out)]
    return bytes(out)


def read_line(sock):
    # Byte by byte: nothing after the line may be taken from the socket
    # before a STARTTLS handshake.
    line = b""
    while not line.endswith(b"\n"):
        b = sock.recv(1)
        if not b:
            return None
        line += b
    return line.decode("ascii", "replace").strip()


def serve(sock, context, tls_now):
    if tls_now:
        sock = context.wrap_socket(sock, server_side=True, suppress_ragged_eofs=False)
    while True:
        line = read_line(sock)
        if line is None:
            return
        word, _, arg = line.partition(" ")
        if word == "STARTTLS" and context is not None and not isinstance(sock, ssl.SSLSocket):
            sock.sendall(b"GO\r\n")
            sock = context.wrap_socket(sock, server_side=True, suppress_ragged_eofs=False)
            continue
        if word == "ECHO":
            while True:
                data = sock.recv(65536)
                if not data:
                    print("echo ended cleanly", file=sys.stderr)
                    return
                sock.sendall(data)
        elif word == "SOURCE":
            total = int(arg)
            sent = 0
            while sent < total:
                piece = pattern_at(sent, min(65536, total - sent))
                sock.sendall(piece)
                sent += len(piece)
            if isinstance(sock, ssl.SSLSocket):
                try:
                    sock = sock.unwrap()  # sends the close alert
                except (OSError, ssl.SSLError):
                    pass
            return
        elif word == "SINK":
            total = int(arg)
            got = 0
            bad = -1
            while got < total:
                data = sock.recv(min(65536, total - got))
                if not data:
                    break
                if bad < 0 and data != pattern_at(got, len(data)):
                    bad = got
                got += len(data)
            answer = f"BAD {bad}" if bad >= 0 else f"OK {got}"
            sock.sendall(answer.encode() + b"\r\n")
        elif word == "DROP":
            return
        else:
            sock.sendall(b"ERR " + line.encode() + b"\r\n")


def handle(sock, context, tls_now):
    try:
        serve(sock, context, tls_now)
    except (OSError, ssl.SSLError) as e:
        print(f"connection ended: {e}", file=sys.stderr)
    finally:
        sock.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--implicit", action="store_true", help="TLS from the first byte")
    parser.add_argument("--max-tls", choices=["1.2", "1.3"], default="1.3")
    args = parser.parse_args()

    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        # Python ignores a missing close alert by default; the tests need to
        # see it.
        context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
        if args.max_tls == "1.2":
            context.maximum_version = ssl.TLSVersion.TLSv1_2

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind((args.host, 0))
    listener.listen(16)
    print(f"READY {listener.getsockname()[1]}", flush=True)
    sys.stdout = sys.stderr
    while True:
        sock, _ = listener.accept()
        # Echoed pieces are small writes awaited by the client; with Nagle's
        # delay each would wait for a delayed acknowledgement.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=handle, args=(sock, context, args.implicit), daemon=True).start()


if __name__ == "__main__":
    main()

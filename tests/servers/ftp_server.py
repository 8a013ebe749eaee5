"""An FTP server (pyftpdlib) on 127.0.0.1 for the client's tests.

Prints "READY <port>" when it listens. One user with full rights on --root;
--anonymous adds a read-only anonymous login. With --cert and --key the
server offers AUTH TLS (explicit FTPS); --require-tls refuses plain logins.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-tls", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.anonymous:
        authorizer.add_anonymous(args.root)

    if args.cert:
        handler = TLS_FTPHandler
        handler.certfile = args.cert
        handler.keyfile = args.key
        handler.tls_control_required = args.require_tls
        handler.tls_data_required = args.require_tls
    else:
        handler = FTPHandler
    handler.authorizer = authorizer

    server = FTPServer(("127.0.0.1", 0), handler)
    print(f"READY {server.socket.getsockname()[1]}", flush=True)
    sys.stdout = sys.stderr
    server.serve_forever()


if __name__ == "__main__":
    main()

"""An SMTP server (aiosmtpd) on 127.0.0.1 for the client's tests.

Prints "READY <port>" when it listens. Every message is written to --spool
as NNNN.eml (the data as received) beside NNNN.env (the envelope: a
"MAIL FROM:" line, then one "RCPT TO:" line per recipient). --user and
--password turn on AUTH (LOGIN and PLAIN); --cert and --key offer STARTTLS.
"""
import argparse
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Spool:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, f"{self.count:04d}")
        with open(base + ".env", "w") as f:
            f.write(f"MAIL FROM:{envelope.mail_from}\n")
            for rcpt in envelope.rcpt_tos:
                f.write(f"RCPT TO:{rcpt}\n")
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spool", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    options = {"hostname": "test.invalid"}
    if args.user:
        def check(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword)
                  and auth_data.login.decode() == args.user
                  and auth_data.password.decode() == args.password)
            return AuthResult(success=ok)
        options["authenticator"] = check
        options["auth_require_tls"] = False
    if args.cert:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        options["tls_context"] = context

    handler = Spool(args.spool)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, **options), "127.0.0.1", 0))
    print(f"READY {server.sockets[0].getsockname()[1]}", flush=True)
    sys.stdout = sys.stderr
    loop.run_forever()


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A real SMTP server for the tests, on loopback only.

Prints the port it listens on as the first line of standard output, then serves until it
gets SIGTERM or SIGINT (or, with --exit-on-eof, until its standard input closes).

Every accepted message becomes one line of JSON, written and flushed before the server
answers the end of the data, so a client that saw its 250 finds the line already there:
  {"helo": ..., "auth_user": ... or null, "mail_from": ..., "rcpt_tos": [...],
   "data": ...}
"data" holds the raw message bytes after dot-unstuffing, one character per byte
(Latin-1), with every non-ASCII character as a \\u escape.

  smtp_server.py [--host 127.0.0.1] [--port 0] [--auth-user U --auth-password P
                 --tls-cert PEM --tls-key PEM] [--refuse-rcpt ADDR]... [--output FILE|-]
                 [--exit-on-eof]
"""

import argparse
import asyncio
import json
import logging
import os
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    """aiosmtpd handler: refuses chosen recipients and records every message."""

    def __init__(self, refused, output):
        self.refused = set(refused)
        self.output = output

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        user = None
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            user = session.auth_data.login.decode("latin-1")
        record = {
            "helo": session.host_name,
            "auth_user": user,
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "data": envelope.original_content.decode("latin-1"),
        }
        line = json.dumps(record, ensure_ascii=True) + "\n"
        if self.output == "-":
            sys.stdout.write(line)
            sys.stdout.flush()
        else:
            with open(self.output, "a", encoding="ascii") as f:
                f.write(line)
                f.flush()
                os.fsync(f.fileno())
        return "250 OK message accepted"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (
            mechanism == "LOGIN"
            and isinstance(auth_data, LoginPassword)
            and auth_data.login == user.encode("utf-8")
            and auth_data.password == password.encode("utf-8")
        )
        # handled=False: the server itself answers 535 at once for a wrong password.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    return authenticate


def main():
    parser = argparse.ArgumentParser(description="Loopback SMTP server for the tests.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--auth-user", help="offer and require AUTH LOGIN as this user")
    parser.add_argument("--auth-password", default="")
    parser.add_argument("--tls-cert", help="STARTTLS with this certificate (the login needs it)")
    parser.add_argument("--tls-key")
    parser.add_argument("--refuse-rcpt", action="append", default=[], metavar="ADDR",
                        help="answer RCPT TO for this address with 550 (repeatable)")
    parser.add_argument("--output", default="-", help="file that receives the JSON lines")
    parser.add_argument("--exit-on-eof", action="store_true",
                        help="stop when standard input reaches its end")
    args = parser.parse_args()

    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)

    if args.host not in ("127.0.0.1", "::1", "localhost") and not args.host.startswith("127."):
        parser.error("the test server listens on loopback only")

    handler = Recorder(args.refuse_rcpt, args.output)
    options = {"decode_data": False, "hostname": "velmora-test"}
    if args.auth_user is not None:
        options.update(
            authenticator=make_authenticator(args.auth_user, args.auth_password),
            auth_required=True,
            auth_exclude_mechanism=["PLAIN"],
        )
    if args.tls_cert is not None:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        options.update(tls_context=context)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, loop=loop, **options), args.host, args.port)
    )
    port = server.sockets[0].getsockname()[1]
    print(port, flush=True)

    stop = loop.stop
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop)
    if args.exit_on_eof:
        def on_input():
            if not os.read(sys.stdin.fileno(), 4096):
                stop()
        loop.add_reader(sys.stdin.fileno(), on_input)

    try:
        loop.run_forever()
    finally:
        server.close()
        loop.run_until_complete(server.wait_closed())
        loop.close()


if __name__ == "__main__":
    main()

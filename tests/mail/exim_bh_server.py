#!/usr/bin/python3
"""Debian's stock mail server behind a loopback listener, for the tests.

Each connection gets its own `exim4 -bh 127.0.0.1`: one SMTP session with the stock
configuration's checks that delivers nothing. Its comment lines ("**** ...") and blank lines
are not SMTP and never reach the client. Prints the port first, like smtp_server.py, and
writes one JSON line per message that exim answered after the final dot, in smtp_server.py's
form plus "reply" (exim's answer to the data) and "parsed" (what Python's mail parser reads).

  exim_bh_server.py [--port 0] [--output FILE] [--exit-on-eof]
"""

import argparse
import email
import email.policy
import email.utils
import json
import os
import socket
import subprocess
import sys
import threading


def latin1(text):
    return text.encode("utf-8", "surrogateescape").decode("latin-1")


def parse(data):
    msg = email.message_from_bytes(data, policy=email.policy.default)
    date = msg["Date"]
    parsed = {
        "from": str(msg["From"]), "to": str(msg["To"]), "subject": str(msg["Subject"]),
        "message_id": str(msg["Message-ID"]), "body": msg.get_content(),
        "date_zone": str(date.datetime.utcoffset()) if date and date.datetime else "",
        "from_count": str(len(msg.get_all("From", []))),
        "defects": " ".join(type(d).__name__ for part in msg.walk() for d in part.defects),
    }
    return {k: latin1(v) for k, v in parsed.items()}


def session(conn, output):
    # A session on pipes cannot take TLS: STARTTLS is not offered (the macros only say so).
    exim = subprocess.Popen(["/usr/sbin/exim4", "-DMAIN_TLS_ENABLE=yes",
                             "-DMAIN_TLS_ADVERTISE_HOSTS=!*", "-bh", "127.0.0.1"],
                            stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    replies, sent = [], []

    def to_exim():
        try:
            while (chunk := conn.recv(65536)):
                sent.append(chunk)
                exim.stdin.write(chunk)
                exim.stdin.flush()
            exim.stdin.close()
        except OSError:  # either side went away: the session is over
            pass

    threading.Thread(target=to_exim, daemon=True).start()
    for line in exim.stdout:
        if line.startswith(b"**** ") or not line.strip():
            continue
        replies.append(line.rstrip().decode("latin-1"))
        try:
            conn.sendall(line)
        except OSError:
            pass
    conn.close()
    exim.wait()
    # Pair each command with its reply (the client does not pipeline): a 354 opens the data.
    lines, answers = b"".join(sent).split(b"\r\n"), [r for r in replies if r[3:4] != "-"][1:]
    record, i = {"helo": "", "mail_from": "", "rcpt_tos": []}, 0
    while i < len(lines) and answers:
        command, answer = lines[i].decode("latin-1"), answers.pop(0)
        i += 1
        if command[:4].upper() in ("HELO", "EHLO"):
            record["helo"] = command[5:]
        elif command.upper().startswith("MAIL FROM:"):
            record["mail_from"] = command[11:-1]
        elif command.upper().startswith("RCPT TO:") and answer.startswith("250"):
            record["rcpt_tos"].append(command[9:-1])
        elif command.upper() == "DATA" and answer.startswith("354") and answers:
            end = lines.index(b".", i)
            data = b"".join(l[1:] + b"\r\n" if l.startswith(b".") else l + b"\r\n"
                            for l in lines[i:end])
            record.update(data=data.decode("latin-1"), reply=answers.pop(0), parsed=parse(data))
            with open(output, "a", encoding="ascii") as f:
                f.write(json.dumps(record) + "\n")
            i = end + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1"])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--output", required=True)
    parser.add_argument("--exit-on-eof", action="store_true")
    args = parser.parse_args()
    listener = socket.create_server((args.host, args.port))
    print(listener.getsockname()[1], flush=True)
    if args.exit_on_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=session, args=(conn, args.output), daemon=True).start()


if __name__ == "__main__":
    main()

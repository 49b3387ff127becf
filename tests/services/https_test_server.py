#!/usr/bin/env python3
"""HTTPS server on 127.0.0.1 for the update-check and event-report tests.

Every GET is logged as one JSON line (path, User-Agent, Cache-Control,
Pragma) to --log before it is answered; the answer's body is the current
content of --reply (empty when the file is missing). Prints the port it
listens on, then serves until its standard input closes (the test ended,
even by a crash).
"""
import argparse
import http.server
import json
import os
import ssl
import sys
import threading


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--reply", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            record = {
                "path": self.path,
                "agent": self.headers.get("User-Agent", ""),
                "cache_control": self.headers.get("Cache-Control", ""),
                "pragma": self.headers.get("Pragma", ""),
            }
            with lock:
                with open(args.log, "a", encoding="utf-8") as log:
                    log.write(json.dumps(record) + "\n")
            try:
                with open(args.reply, "rb") as reply:
                    body = reply.read()
            except FileNotFoundError:
                body = b""
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()
